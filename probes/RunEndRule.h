#pragma once
// When a run ends and why, from what it found: after the test sequence, and at each tick of
// the countdown of the NAT session reports. Plain code; the window acts on it.
#include <optional>

#include "probes/RunResult.h"

// How the run ends once the test sequence returned; nullopt: it goes on (a NAT session test, the
// NAT time-out test or the test call runs). testsRunning: the time-out test or the call has no
// answer yet.
std::optional<TRunEnd> RunEndAfterSequence(TSequenceReport::TOutcome outcome, bool natTestStarted,
                                           bool testsRunning);

// What a tick of the countdown does.
enum class TReportsTick {
  AwaitFirstReport,  // no report yet and nothing else running: the countdown waits, hidden
  Countdown,         // the countdown goes on
  CountdownRanOut,   // the run is over: its NAT session reports have run out
  NoNatTest,         // the run is over: no NAT session test ran
};
// countdownLeft: the countdown has time left after this tick; anyReport: a NAT session report
// came; testsRunning: the NAT time-out test or the call has no answer yet.
TReportsTick ReportsTickStep(bool countdownLeft, bool anyReport, bool natTestStarted, bool testsRunning);
