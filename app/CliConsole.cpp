#include "app/CliConsole.h"

#include <QJsonArray>

#include "app/RunReport.h"
#include "app/Unit_1_client.h"

namespace {

QJsonValue OptionalInt(const std::optional<int>& v) { return v ? QJsonValue(*v) : QJsonValue(QJsonValue::Null); }

// {"new": {...}, "busy": {...}, "inbound_refresh": ..., "idle_seconds_tested": [...]}; null
// when the time-out test did not run.
QJsonValue NatTimeoutJson(const std::optional<TNatTimeoutResult>& r) {
  if (!r) return QJsonValue(QJsonValue::Null);
  const auto bracket = [](const TTimeoutBracket& b) {
    return QJsonObject{{"held_seconds", OptionalInt(b.HeldSecs)}, {"gone_by_seconds", OptionalInt(b.GoneBySecs)}};
  };
  QJsonArray tested;
  for (int secs : r->IdleSecsTested) tested.append(secs);
  return QJsonObject{{"new", bracket(r->New)},
                     {"busy", bracket(r->Busy)},
                     {"inbound_refresh", r->InboundRefresh ? QJsonValue(*r->InboundRefresh) : QJsonValue()},
                     {"idle_seconds_tested", tested}};
}

QJsonArray Strings(const std::vector<std::string>& lines) {
  QJsonArray out;
  for (const std::string& l : lines) out.append(QString::fromLatin1(l.data(), static_cast<qsizetype>(l.size())));
  return out;
}

const char* ServerName(TServerReach r) {
  switch (r) {
    case TServerReach::Reached: return "reached";
    case TServerReach::NoUdp: return "no_udp";
    case TServerReach::NoTcp: return "no_tcp";
    case TServerReach::Unreachable: return "not_reached";
    case TServerReach::Busy: return "busy";
    case TServerReach::NotTried: break;
  }
  return "not_tested";
}

const char* AlgName(TAlgFinding::TVerdict v) {
  using V = TAlgFinding::TVerdict;
  switch (v) {
    case V::Active: return "active";
    case V::None: return "none";
    case V::NoneSoFar: return "none_so_far";
    case V::NotChecked: break;
  }
  return "not_checked";
}

const char* NatStateName(TNatBracket::TState s) {
  using S = TNatBracket::TState;
  switch (s) {
    case S::Measured: return "measured";
    case S::NoReport: return "no_report";
    case S::NotRunAlg: return "not_run_alg";
    case S::NotRun: break;
  }
  return "not_run";
}

std::vector<std::string> ResultTexts(const TRunSummary& summary, int exitStatus) {
  std::vector<std::string> lines = SummaryLines(summary);
  lines.push_back("Exit status " + std::to_string(exitStatus) + ": " + CliExitMeaning(exitStatus, summary.End));
  return lines;
}

}  // namespace

std::string CliExitMeaning(int exitStatus, TRunEnd end) {
  switch (exitStatus) {
    case kExitClean: return "the checks ran and none saw an ALG";
    case kExitAlg: return "a check saw an ALG";
    case kExitUnreachable:
      return end == TRunEnd::ServerBusy ? "the echo server is busy" : "the echo server was not reached";
    case kExitNoNatReport: return "no NAT report came back: UDP from the server does not get through the router";
    case kExitLost:
      return "a probe was lost on the way, and so was the one sent to check the link (or, over TCP, every resend): "
             "no verdict for it";
    default: break;
  }
  if (end == TRunEnd::Stopped) return "the run was stopped before its checks were done";
  if (end == TRunEnd::TimeLimit) return "the time limit ran out before the run ended";
  return "the run did not complete (an error, or no port to bind)";
}

std::vector<TCliLine> CliSummaryLines(const TForm1& form, int exitStatus) {
  const TRunSummary summary = SummariseLastRun(form);
  std::vector<TCliLine> out;
  for (const std::string& l : ResultTexts(summary, exitStatus)) out.push_back({"RESULT", l});
  for (const std::string& l : AdviceLines(summary)) out.push_back({"ADVICE", l});
  return out;
}

void CliAddSummaryJson(QJsonObject& root, const TForm1& form, int exitStatus) {
  const TRunSummary s = SummariseLastRun(form);
  QJsonObject alg, algTcp, nat;
  for (const TAlgFinding& f : s.Alg) alg[QString::number(f.Port)] = AlgName(f.Verdict);
  for (const TAlgFinding& f : s.AlgTcp) algTcp[QString::number(f.Port)] = AlgName(f.Verdict);
  for (const TNatBracket& b : s.Nat) {
    const bool measured = b.State == TNatBracket::TState::Measured;
    nat[QString::number(b.Port)] = QJsonObject{{"state", NatStateName(b.State)},
                                               {"held_seconds", measured ? QJsonValue(b.HeldSecs) : QJsonValue()},
                                               {"gone_by_seconds", OptionalInt(b.GoneBySecs)}};
  }
  root.insert("summary", QJsonObject{{"lines", Strings(ResultTexts(s, exitStatus))},
                                     {"server", ServerName(s.Server)},
                                     {"alg", alg},
                                     {"alg_tcp", s.AlgTcp.empty() ? QJsonValue() : QJsonValue(algTcp)},
                                     {"nat_timeout", NatTimeoutJson(s.NatTimeout)},
                                     {"nat_timeout_by_port", nat},
                                     {"rtp_tested", s.RtpTested},
                                     {"exit_meaning", QString::fromStdString(CliExitMeaning(exitStatus, s.End))}});
  root.insert("advice", Strings(AdviceLines(s)));
}

TCliConsole::TCliConsole(TForm1& form, std::ostream& out, bool terminal, bool quiet)
    : out_(out), terminal_(terminal), quiet_(quiet), waits_(terminal) {
  if (quiet_) return;
  waits_.Printed(RunClockMs());
  connect(&form, &TForm1::NatInvitesSent, this, [this] {
    std::lock_guard<std::mutex> lock(mutex_);
    waits_.NatInvitesSent(kNoNatReportSeconds, RunClockMs());
  });
  connect(&form, &TForm1::RunEnded, this, [this] {
    std::lock_guard<std::mutex> lock(mutex_);
    waits_.Ended();
  });
  // The NAT time-out test's end, at each tick of the window's countdown.
  connect(form.Timer1, &TTimer::Tick, this, [this, &form] {
    const TNatTimeoutProgress p = form.NatTimeout->Progress();
    std::lock_guard<std::mutex> lock(mutex_);
    waits_.TimeoutTest(p.Started && !p.Done ? std::optional<int64_t>(p.EndsByMs) : std::nullopt);
  });
  connect(&form, &TForm1::WaitChanged, this, [this](const QString& what) {
    std::lock_guard<std::mutex> lock(mutex_);
    waits_.StepWaiting(FromDisplay(what));
  });
  ticker_ = std::thread([this] { Ticks(); });
}

TCliConsole::~TCliConsole() { Finish(); }

void TCliConsole::Line(const TCliLine& line) {
  if (quiet_) return;
  std::lock_guard<std::mutex> lock(mutex_);
  Write(line);
  if (line.Tag != "NAT") return;
  const int64_t now = RunClockMs();
  int port = 0, secs = 0;
  if (line.Text.rfind("NAT session on port ", 0) == 0) {
    waits_.NatReportCame(now);
  } else if (TCliWaits::ParseAnnouncement(line.Text, port, secs)) {
    if (const auto wait = waits_.NextReportAnnounced(port, secs, now)) Write({"WAIT", *wait});
  }
}

void TCliConsole::Finish() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    waits_.Ended();
  }
  wake_.notify_all();
  if (ticker_.joinable()) ticker_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  WipeInPlace();
  out_.flush();
}

void TCliConsole::Ticks() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!wake_.wait_for(lock, std::chrono::seconds(1), [this] { return stop_; })) {
    const TCliWaits::TTick t = waits_.Tick(RunClockMs());
    if (t.Line) Write({"WAIT", *t.Line});
    if (t.InPlace && terminal_) {
      out_ << "\r[WAIT] " << *t.InPlace << "\033[K" << std::flush;
      inPlaceShown_ = true;
    }
  }
}

void TCliConsole::Write(const TCliLine& line) {
  WipeInPlace();
  out_ << CliOutput(line) << std::flush;
  waits_.Printed(RunClockMs());
}

void TCliConsole::WipeInPlace() {
  if (!inPlaceShown_) return;
  out_ << "\r\033[K";
  inPlaceShown_ = false;
}
