#include "app/CliConsole.h"

#include "probes/RunResult.h"
#include "run/TestRun.h"

TCliConsole::TCliConsole(std::ostream& out, bool terminal, TShown shown)
    : out_(out),
      terminal_(terminal),
      quiet_(shown == TShown::Nothing),
      waitsOnly_(shown == TShown::WaitsOnly),
      waits_(terminal) {
  if (quiet_) return;
  waits_.Printed(RunClockMs());
  ticker_ = std::thread([this] { Ticks(); });
}

void TCliConsole::Waiting(const std::string& what) {
  std::lock_guard<std::mutex> lock(mutex_);
  waits_.StepWaiting(what);
}

void TCliConsole::NatInvitesSent() {
  std::lock_guard<std::mutex> lock(mutex_);
  waits_.NatInvitesSent(kNoNatReportSeconds, RunClockMs());
}

void TCliConsole::TimeoutTestDue(std::optional<int64_t> endsByMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  waits_.TimeoutTest(endsByMs);
}

void TCliConsole::RunOver() {
  std::lock_guard<std::mutex> lock(mutex_);
  waits_.Ended();
}

TCliConsole::~TCliConsole() { Finish(); }

void TCliConsole::Line(const TCliLine& line) {
  if (quiet_) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!waitsOnly_) Write(line);
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
