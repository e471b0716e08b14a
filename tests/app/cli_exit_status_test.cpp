// The console front's exit status, as a table of run results.
#include <gtest/gtest.h>

#include "app/CliLines.h"

namespace {

// The ALG is the run's main finding: it decides the status whatever came after it.
TEST(CliExit, status_from_the_result) {
  using O = TSequenceReport::TOutcome;
  struct Row {
    const char* name;
    O outcome;
    TRunEnd end;
    int alg;  // 0 none, 1 changed lines, 2 a dropped probe, 3 a lost one, 4 changed lines and a lost one,
              // 5 a message over TCP swallowed, 6 one lost over TCP, 7 a TCP port not reachable
    bool errorShown, windowClosed;
    int status;
  };
  const Row rows[] = {
      {"completed, countdown ran out", O::Completed, TRunEnd::CountdownRanOut, 0, false, false, 0},
      {"completed, no port qualified", O::Completed, TRunEnd::NoNatTest, 0, false, false, 0},
      {"changed lines, then an error", O::NotRun, TRunEnd::Error, 1, true, false, 1},
      {"a dropped probe, then no NAT report", O::Completed, TRunEnd::NoNatReport, 2, false, false, 1},
      {"an ALG, then the time limit", O::Completed, TRunEnd::TimeLimit, 1, false, false, 1},
      {"an ALG on one port, a lost probe on the other", O::Completed, TRunEnd::CountdownRanOut, 4, false, false, 1},
      {"a message over TCP swallowed", O::Completed, TRunEnd::CountdownRanOut, 5, false, false, 1},
      {"a TCP port not reachable: no verdict, no ALG", O::Completed, TRunEnd::CountdownRanOut, 7, false, false, 0},
      {"a message over TCP lost on the way", O::Completed, TRunEnd::CountdownRanOut, 6, false, false, 5},
      {"no echo", O::NoEcho, TRunEnd::ServerNotReached, 0, false, false, 2},
      {"server busy", O::ServerBusy, TRunEnd::ServerBusy, 0, false, false, 2},
      {"no NAT report", O::Completed, TRunEnd::NoNatReport, 0, false, false, 4},
      {"a lost probe", O::Completed, TRunEnd::CountdownRanOut, 3, false, false, 5},
      {"a lost probe, then no NAT report", O::Completed, TRunEnd::NoNatReport, 3, false, false, 5},
      {"the connection refused", O::NotRun, TRunEnd::ServerNotReached, 0, true, false, 2},
      {"time limit", O::Completed, TRunEnd::TimeLimit, 0, false, false, 3},
      {"completed, then an error", O::Completed, TRunEnd::Error, 0, true, false, 3},
      {"bind limit", O::NotRun, TRunEnd::Error, 0, true, true, 3},
      {"completed, the window closed itself", O::Completed, TRunEnd::CountdownRanOut, 0, false, true, 3},
      {"stopped before the checks ended", O::NotRun, TRunEnd::Stopped, 0, false, false, 3},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TRunResult result;
    result.Sequence.Outcome = row.outcome;
    result.End = row.end;
    result.Sequence.Invite5058 = {row.alg > 0 && row.alg < 5, row.alg == 1 || row.alg == 4 ? -3 : 0, row.alg == 2,
                                  row.alg == 3};
    result.Sequence.TcpInvite5058 = {row.alg >= 5, 0, row.alg == 5, row.alg == 6, row.alg == 7};
    result.Sequence.Invite5060 = {row.alg == 4, 0, false, row.alg == 4};
    TCliRecord record;
    record.ErrorShown = row.errorShown;
    record.WindowClosed = row.windowClosed;
    EXPECT_EQ(CliExitStatus(result, record), row.status);
  }
}

}  // namespace
