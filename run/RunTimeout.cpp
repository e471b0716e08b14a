// The run's side of the NAT time-out test: the whole run's countdown, and the test's lines
// once its answer is known or the run ends.
#include <algorithm>

#include "run/TestRun.h"

bool TTestRun::NatTimeoutRunning() {
  const TNatTimeoutProgress p = io_->NatTimeoutProgress();
  return p.Started && !p.Done;
}

void TTestRun::ShowCountdown() {
  int secs = NatCountdown.value_or(0);
  const TNatTimeoutProgress p = io_->NatTimeoutProgress();
  if (p.Started && !p.Done) secs = std::max<int64_t>(secs, (p.EndsByMs - SteadyMs() + 999) / 1000);
  if (CallPending()) secs = std::max(secs, CallSecondsLeft());
  const std::string caption = std::to_string(secs);
  Tell([&](TRunObserver& o) { o.CountdownCaption(caption); });
  Enable(TRunControl::Countdown, true);
}

void TTestRun::FinishNatTimeout() {
  io_->StopNatTimeout();
  const TNatTimeoutProgress p = io_->NatTimeoutProgress();
  if (!p.Started || natTimeoutWritten_) return;
  natTimeoutWritten_ = true;
  Result.NatTimeout = p.Result;
  for (const std::string& line : NatTimeoutLines(p.Result)) Line(TPane::Nat, line);
  TellAnswer(TRunAnswer::TTopic::NatKeepAlive);
}
