// The result of a run in one line, from summaries made up for each row.
#include <gtest/gtest.h>

#include "probes/RunHeadline.h"

namespace {

using V = TAlgFinding::TVerdict;
using S = TNatBracket::TState;

TRunSummary Reached(V on5060, V on5058) {
  TRunSummary s;
  s.Server = TServerReach::Reached;
  s.Alg = {{5060, on5060, {}}, {5058, on5058, {}}};
  return s;
}
TNatBracket Unmeasured(int port, S state) {
  TNatBracket b;
  b.Port = port;
  b.State = state;
  return b;
}
TNatBracket Held(int port, int held, std::optional<int> goneBy) {
  TNatBracket b;
  b.Port = port;
  b.State = S::Measured;
  b.HeldSecs = held;
  b.GoneBySecs = goneBy;
  return b;
}

TEST(RunHeadline, one_line_per_kind_of_run) {
  struct Row {
    const char* name;
    TRunSummary summary;
    std::string line;
  };
  auto with = [](TRunSummary s, auto change) {
    change(s);
    return s;
  };
  const Row rows[] = {
      {"an ALG on 5060, 5058's mapping gone between two reports",
       with(Reached(V::Active, V::None), [](TRunSummary& s) { s.Nat = {Unmeasured(5060, S::NotRunAlg), Held(5058, 20, 30)}; }),
       "Result: SIP ALG on port 5060; NAT time-out 20 to 30 s; see the log below"},
      {"no ALG; the shorter bracket, and a held-at-least one beside it",
       with(Reached(V::None, V::None), [](TRunSummary& s) { s.Nat = {Held(5060, 160, {}), Held(5058, 7, 15)}; }),
       "Result: no SIP ALG seen; NAT time-out 7 to 15 s; see the log below"},
      {"no bracket closed: the longest idle time held",
       with(Reached(V::None, V::NoneSoFar), [](TRunSummary& s) { s.Nat = {Held(5060, 40, {}), Held(5058, 60, {})}; }),
       "Result: no SIP ALG seen; NAT time-out at least 60 s; see the log below"},
      {"ALG by UDP and over TCP; given up on NAT reports",
       with(Reached(V::Active, V::None), [](TRunSummary& s) {
         s.AlgTcp = {{5060, V::Active, {}}, {5058, V::None, {}}};
         s.Nat = {Unmeasured(5060, S::NotRunAlg), Unmeasured(5058, S::NoReport)};
         s.End = TRunEnd::NoNatReport;
       }),
       "Result: SIP ALG on port 5060, TCP port 5060; no NAT report came back; see the log below"},
      {"the echo server saw this computer's own address",
       with(Reached(V::None, V::None), [](TRunSummary& s) { s.OwnAddress = true; }),
       "Result: no router tested (the server saw this computer's own address); see the log below"},
      {"not reached", with(TRunSummary{}, [](TRunSummary& s) { s.Server = TServerReach::Unreachable; }),
       "Result: the echo server was not reached; see the log below"},
      {"no UDP back", with(TRunSummary{}, [](TRunSummary& s) { s.Server = TServerReach::NoUdp; }),
       "Result: no UDP probe got through to the echo server; see the log below"},
      {"stopped before the checks", with(TRunSummary{}, [](TRunSummary& s) { s.End = TRunEnd::Stopped; }),
       "Result: the run was stopped before its checks; see the log below"},
  };
  for (const Row& row : rows) EXPECT_EQ(RunHeadline(row.summary), row.line) << row.name;
}

}  // namespace
