// The window's side of the NAT time-out test: the whole run's countdown, and the test's lines
// once its answer is known or the run ends.
#include <algorithm>

#include "app/Unit_1_client.h"

bool TForm1::NatTimeoutRunning() const {
  const TNatTimeoutProgress p = NatTimeout->Progress();
  return p.Started && !p.Done;
}

void TForm1::ShowCountdown() {
  int secs = NatCountdown.value_or(0);
  const TNatTimeoutProgress p = NatTimeout->Progress();
  if (p.Started && !p.Done) secs = std::max<int64_t>(secs, (p.EndsByMs - SteadyMs() + 999) / 1000);
  if (CallPending()) secs = std::max(secs, CallSecondsLeft());
  LblCount->setText(QString::number(secs));
  Label1->setVisible(true);
  LblCount->setVisible(true);
}

void TForm1::FinishNatTimeout() {
  NatTimeout->Stop();
  const TNatTimeoutProgress p = NatTimeout->Progress();
  if (!p.Started || natTimeoutWritten_) return;
  natTimeoutWritten_ = true;
  Result.NatTimeout = p.Result;
  for (const std::string& line : NatTimeoutLines(p.Result)) Line(TPane::Nat, line);
}
