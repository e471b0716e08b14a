#pragma once
// Shared by the tests that run the console front as a program, found beside the test program:
// a run to its end, or a live run that a test watches line by line and signals, and the JSON
// object it prints.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "tests/support/Loopback.h"
#include "tests/support/Process.h"

namespace cli {

// The folder of this test program; the programs under test are built into the same one.
inline std::string BinDir() {
  char path[4096];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  const std::string self(path, static_cast<size_t>(n));
  return self.substr(0, self.rfind('/'));
}

// The program ends with this test process, however that ends.
inline void EndWithTest(QProcess& p) {
  const pid_t test = ::getpid();
  p.setChildProcessModifier([test] { support::EndWithParent(test); });
}

inline QProcessEnvironment Offscreen() {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("QT_QPA_PLATFORM", "offscreen");
  return env;
}

// No display of any kind, and no platform named.
inline QProcessEnvironment NoDisplay() {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) env.remove(name);
  return env;
}

inline std::vector<std::string> SplitLines(const std::string& out) {
  std::vector<std::string> l;
  size_t from = 0;
  while (from < out.size()) {
    const size_t nl = out.find('\n', from);
    l.push_back(out.substr(from, nl == std::string::npos ? std::string::npos : nl - from));
    if (nl == std::string::npos) break;
    from = nl + 1;
  }
  return l;
}

struct CliRun {
  bool finished = false;
  int status = -1;
  std::string out, err;
  std::vector<std::string> Lines() const { return SplitLines(out); }
  bool Has(const std::string& line) const {
    const auto l = Lines();
    return std::find(l.begin(), l.end(), line) != l.end();
  }
};

// The console front, running in a folder of its own (for the vendor list file it may write)
// until the object goes (then killed, if need be).
class LiveCli {
 public:
  explicit LiveCli(const QStringList& args, const QProcessEnvironment& env = Offscreen()) {
    p_.setProgram(QString::fromStdString(BinDir() + "/nat-sip-alg-tester-cli"));
    p_.setArguments(args);
    p_.setWorkingDirectory(dir_.path());
    p_.setProcessEnvironment(env);
    EndWithTest(p_);
    p_.start();
    started_ = p_.waitForStarted(5000);
  }
  ~LiveCli() {
    if (p_.state() != QProcess::NotRunning) {
      p_.kill();
      p_.waitForFinished(3000);
    }
  }
  bool Started() const { return started_; }

  // Waits until the output holds `line` as a whole line; false after `deadline` or at the end.
  bool WaitForLine(const std::string& line, std::chrono::milliseconds deadline) {
    support::WaitUntil([&] { return Collect(), Has(line) || p_.state() == QProcess::NotRunning; }, deadline,
                       [&] { p_.waitForReadyRead(50); });
    Collect();
    return Has(line);
  }
  void Signal(int signal) {
    if (p_.state() == QProcess::Running) ::kill(static_cast<pid_t>(p_.processId()), signal);
  }
  // Waits for the end (killed after `deadline`).
  CliRun Finish(int deadlineMs) {
    CliRun r;
    r.finished = p_.waitForFinished(deadlineMs);
    if (!r.finished) {
      p_.kill();
      p_.waitForFinished(3000);
    }
    Collect();
    r.status = p_.exitStatus() == QProcess::NormalExit ? p_.exitCode() : -1;
    r.out = out_;
    r.err = err_;
    return r;
  }

 private:
  void Collect() {
    out_ += p_.readAllStandardOutput().toStdString();
    err_ += p_.readAllStandardError().toStdString();
  }
  bool Has(const std::string& line) const {
    const auto l = SplitLines(out_);
    return std::find(l.begin(), l.end(), line) != l.end();
  }

  QTemporaryDir dir_;
  QProcess p_;
  bool started_ = false;
  std::string out_, err_;
};

// Runs the console front to its end (killed after timeoutMs).
inline CliRun RunCli(const QStringList& args, int timeoutMs, const QProcessEnvironment& env = Offscreen()) {
  LiveCli cli(args, env);
  if (!cli.Started()) return CliRun();
  return cli.Finish(timeoutMs);
}

inline QJsonObject ParseJson(const std::string& out, std::string& error) {
  QJsonParseError e;
  const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(out), &e);
  if (e.error != QJsonParseError::NoError) error = e.errorString().toStdString();
  if (!doc.isObject()) error += " (not an object)";
  return doc.object();
}

inline std::vector<std::string> Strings(const QJsonValue& v) {
  std::vector<std::string> out;
  for (const QJsonValue& s : v.toArray()) out.push_back(s.toString().toStdString());
  return out;
}

}  // namespace cli
