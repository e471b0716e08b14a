#include "probes/RunEndRule.h"

std::optional<TRunEnd> RunEndAfterSequence(TSequenceReport::TOutcome outcome, bool natTestStarted,
                                           bool testsRunning) {
  using O = TSequenceReport::TOutcome;
  switch (outcome) {
    case O::NoGreeting:
    case O::NoEcho: return TRunEnd::ServerNotReached;
    case O::TimeUp: return TRunEnd::TimeLimit;
    case O::ServerBusy: return TRunEnd::ServerBusy;
    case O::NotRun:
    case O::Completed: break;
  }
  if (!natTestStarted && !testsRunning) return TRunEnd::NoNatTest;
  return std::nullopt;
}

TReportsTick ReportsTickStep(bool countdownLeft, bool anyReport, bool natTestStarted, bool testsRunning) {
  const bool reportsOver = !countdownLeft && (anyReport || !natTestStarted);
  if (!countdownLeft && !reportsOver && !testsRunning) return TReportsTick::AwaitFirstReport;
  if (!reportsOver || testsRunning) return TReportsTick::Countdown;
  return natTestStarted ? TReportsTick::CountdownRanOut : TReportsTick::NoNatTest;
}
