#include "app/CliConsole.h"

#include "app/RunEnd.h"
#include "app/Unit_1_client.h"

TCliConsole::TCliConsole(TForm1& form, std::ostream& out, bool terminal, TShown shown)
    : out_(out),
      terminal_(terminal),
      quiet_(shown == TShown::Nothing),
      waitsOnly_(shown == TShown::WaitsOnly),
      waits_(terminal) {
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
