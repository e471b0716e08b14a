// The result of a run in one line, from summaries made up for each row.
#include <gtest/gtest.h>

#include "probes/RunHeadline.h"

namespace {

using V = TAlgFinding::TVerdict;

// A run that reached the server; per port its verdict and, when measured, held/gone-by seconds.
TRunSummary Reached(V on5060, V on5058, std::vector<std::pair<int, std::optional<int>>> held = {}) {
  TRunSummary s;
  s.Server = TServerReach::Reached;
  s.Alg = {{5060, on5060, {}, {}}, {5058, on5058, {}, {}}};
  for (const auto& [secs, goneBy] : held) {
    TNatBracket b;
    b.State = TNatBracket::TState::Measured;
    b.HeldSecs = secs;
    b.GoneBySecs = goneBy;
    s.Nat.push_back(b);
  }
  return s;
}

TEST(RunHeadline, one_line_per_kind_of_run) {
  TRunSummary tcp = Reached(V::Active, V::None);
  tcp.AlgTcp = {{5060, V::Active, {}, {}}};
  tcp.End = TRunEnd::NoNatReport;
  TRunSummary own = Reached(V::None, V::None, {{20, 30}});
  own.OwnAddress = true;
  TRunSummary unreached;
  unreached.Server = TServerReach::Unreachable;
  // The time-out test's new mapping, where it measured one, over the ports' reports.
  auto timeout = [](std::optional<int> held, std::optional<int> gone, bool measured, bool unsteady = false) {
    TRunSummary s = Reached(V::None, V::None, {{7, 15}});
    s.NatTimeout = TNatTimeoutResult{};
    s.NatTimeout->New.HeldSecs = held;
    s.NatTimeout->New.GoneBySecs = gone;
    s.NatTimeout->New.Measured = measured;
    s.NatTimeout->New.Unsteady = unsteady;
    return s;
  };
  const std::pair<TRunSummary, std::string> rows[] = {
      {Reached(V::Active, V::None, {{20, 30}}), "Result: SIP ALG on port 5060; NAT time-out 20 to 30 s; see the log below"},
      // The shortest closed bracket counts; without one, the longest idle time that held.
      {Reached(V::None, V::None, {{160, {}}, {7, 15}}), "Result: no SIP ALG seen; NAT time-out 7 to 15 s; see the log below"},
      {Reached(V::None, V::NoneSoFar, {{40, {}}, {60, {}}}),
       "Result: no SIP ALG seen; NAT time-out at least 60 s; see the log below"},
      {tcp, "Result: SIP ALG on port 5060, TCP port 5060; no NAT report came back; see the log below"},
      {own, "Result: no router tested (the server saw this computer's own address); see the log below"},
      {unreached, "Result: the echo server was not reached; see the log below"},
      {timeout(25, 35, true), "Result: no SIP ALG seen; NAT time-out 25 to 35 s; see the log below"},
      {timeout({}, 10, true), "Result: no SIP ALG seen; NAT time-out below 10 s; see the log below"},
      {timeout(190, {}, true), "Result: no SIP ALG seen; NAT time-out at least 190 s; see the log below"},
      {timeout({}, {}, false), "Result: no SIP ALG seen; NAT time-out 7 to 15 s; see the log below"},
      {timeout(20, 25, true, true), "Result: no SIP ALG seen; NAT time-out 20 to 25 s (unsteady); see the log below"},
  };
  for (const auto& [summary, line] : rows) EXPECT_EQ(RunHeadline(summary), line);
}

}  // namespace
