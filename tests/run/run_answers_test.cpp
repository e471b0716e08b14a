// The result card's answers from a run's summary: one row per way each answer decides.
#include <gtest/gtest.h>

#include <functional>

#include "run/RunAnswers.h"

namespace {

using TTone = TRunAnswer::TTone;
using TTopic = TRunAnswer::TTopic;
using V = TAlgFinding::TVerdict;

TAlgFinding Alg(int port, V verdict) {
  TAlgFinding f;
  f.Port = port;
  f.Verdict = verdict;
  return f;
}

TNatBracket Held(int port, int heldSecs, std::optional<int> goneBySecs = std::nullopt) {
  TNatBracket b;
  b.Port = port;
  b.State = TNatBracket::TState::Measured;
  b.HeldSecs = heldSecs;
  b.GoneBySecs = goneBySecs;
  return b;
}

// A run that reached the server and saw no ALG on either port; no NAT figure, no call.
TRunSummary Clean() {
  TRunSummary s;
  s.Server = TServerReach::Reached;
  s.End = TRunEnd::CountdownRanOut;
  s.Alg = {Alg(5060, V::None), Alg(5058, V::None)};
  return s;
}

TCallResult Call(TCallAudio audio, double upMos, double downMos) {
  TCallResult c;
  c.Seconds = 15;
  c.Audio = audio;
  c.Up = TCallDirection{};
  c.Up->Mos = upMos;
  c.Down = TCallDirection{};
  c.Down->Mos = downMos;
  return c;
}

TEST(RunAnswers, one_per_topic_from_the_summary) {
  struct Row {
    const char* name;
    std::function<void(TRunSummary&)> setUp;
    TTopic topic;
    TTone tone;
    std::string text;
  };
  const Row rows[] = {
      {"no ALG", [](TRunSummary&) {}, TTopic::Alg, TTone::Good, "SIP ALG: none seen"},
      {"ALG over UDP and over TCP, with what it did",
       [](TRunSummary& s) {
         s.Alg[0].Verdict = V::Active;
         s.Alg[0].Probes = {"REGISTER: 2 header(s) changed", "INVITE: 1 header(s) changed"};
         s.AlgTcp = {Alg(5060, V::None), Alg(5058, V::Active)};
         s.AlgTcp[1].Probes = {"REGISTER over TCP unchanged", "INVITE over TCP swallowed"};
       },
       TTopic::Alg, TTone::Problem,
       "SIP ALG: active on port 5060 (rewrites REGISTER and INVITE), TCP port 5058 (drops INVITE)"},
      {"ALG whose deeds are not known", [](TRunSummary& s) { s.Alg[1].Verdict = V::Active; }, TTopic::Alg,
       TTone::Problem, "SIP ALG: active on port 5058"},
      {"server not reached", [](TRunSummary& s) { s = TRunSummary(); s.Server = TServerReach::Unreachable; },
       TTopic::Alg, TTone::Unknown, "SIP ALG: not checked (the echo server was not reached)"},
      {"stopped before the checks",
       [](TRunSummary& s) { s = TRunSummary(); s.End = TRunEnd::Stopped; }, TTopic::Alg, TTone::Unknown,
       "SIP ALG: not checked (the run was stopped first)"},
      {"no router on the way",
       [](TRunSummary& s) { s.OwnAddress = true; }, TTopic::Alg, TTone::Unknown,
       "SIP ALG: no router tested (the server saw this computer's own address)"},
      {"no NAT figure", [](TRunSummary&) {}, TTopic::NatKeepAlive, TTone::Unknown, "NAT keep-alive: not measured"},
      {"no NAT figure: the ALG in the way on both ports",
       [](TRunSummary& s) {
         s.Nat = {Held(5060, 0), Held(5058, 0)};
         for (TNatBracket& b : s.Nat) b.State = TNatBracket::TState::NotRunAlg;
       },
       TTopic::NatKeepAlive, TTone::Unknown, "NAT keep-alive: not measured (the SIP ALG is in the way on both ports)"},
      {"no NAT report at all", [](TRunSummary& s) { s.End = TRunEnd::NoNatReport; }, TTopic::NatKeepAlive,
       TTone::Problem, "NAT keep-alive: not measured, UDP from the server does not come back through the router"},
      {"a short time-out of the tester's own mapping",
       [](TRunSummary& s) {
         s.NatTimeout = TNatTimeoutResult{};
         s.NatTimeout->New.HeldSecs = 25;
         s.NatTimeout->New.GoneBySecs = 35;
         s.NatTimeout->New.Measured = true;
       },
       TTopic::NatKeepAlive, TTone::Warning,
       "NAT keep-alive: below 25 s (the router forgets an idle UDP mapping after 25 to 35 s)"},
      {"a report's port gone sooner than the other held",
       [](TRunSummary& s) {
         s.Nat = {Held(5060, 40), Held(5058, 7, 15)};
       },
       TTopic::NatKeepAlive, TTone::Warning,
       "NAT keep-alive: below 7 s (the router forgets an idle UDP mapping after 7 to 15 s)"},
      {"a mapping gone only past a quarter of an hour",
       [](TRunSummary& s) { s.Nat = {Held(5060, 901, 961)}; }, TTopic::NatKeepAlive,
       TTone::Good, "NAT keep-alive: no short time-out seen (idle UDP mappings went after 901 to 961 s)"},
      {"nothing expired", [](TRunSummary& s) { s.Nat = {Held(5060, 30)}; },
       TTopic::NatKeepAlive, TTone::Good, "NAT keep-alive: no short time-out seen (idle UDP mappings held at least 30 s)"},
      {"no call", [](TRunSummary&) {}, TTopic::CallQuality, TTone::Unknown,
       "Call quality: not tested (the run ended before the test call)"},
      {"no call: server not reached", [](TRunSummary& s) { s.Server = TServerReach::Unreachable; },
       TTopic::CallQuality, TTone::Unknown, "Call quality: not tested (the echo server was not reached)"},
      {"no call offered",
       [](TRunSummary& s) {
         s.Call = Call(TCallAudio::None, 0, 0);
         s.Call->NotTested = TCallNotTested::NoCallOffered;
       },
       TTopic::CallQuality, TTone::Unknown, "Call quality: not tested (the server offers no test call)"},
      {"a call both ways, both good (rounded)",
       [](TRunSummary& s) { s.Call = Call(TCallAudio::BothWays, 4.36, 4.04); }, TTopic::CallQuality, TTone::Good,
       "Call quality: MOS 4.4 sending, 4.0 receiving (of 5: clear)"},
      {"a call that sounds poor one way",
       [](TRunSummary& s) { s.Call = Call(TCallAudio::BothWays, 4.4, 3.56); }, TTopic::CallQuality, TTone::Warning,
       "Call quality: MOS 4.4 sending, 3.6 receiving (of 5: callers will notice)"},
      {"audio out only", [](TRunSummary& s) { s.Call = Call(TCallAudio::OneWayOut, 4.4, 0); }, TTopic::CallQuality,
       TTone::Problem, "Call quality: one-way audio: the server heard this computer, none came back"},
      {"a call cut short",
       [](TRunSummary& s) {
         s.Call = Call(TCallAudio::None, 0, 0);
         s.Call->NotTested = TCallNotTested::CutShort;
       },
       TTopic::CallQuality, TTone::Unknown, "Call quality: not known (the test call was cut short)"},
      {"a server's report that does not add up",
       [](TRunSummary& s) {
         s.Call = Call(TCallAudio::BothWays, 4.4, 4.4);
         s.Call->ReportFault = "more packets than were sent";
       },
       TTopic::CallQuality, TTone::Unknown, "Call quality: not known (the server's report of the call does not add up)"},
      {"nothing to do", [](TRunSummary&) {}, TTopic::WhatToDo, TTone::Good, "What to do: nothing"},
      {"a keep-alive to set, and nothing broken",
       [](TRunSummary& s) {
         s.NatTimeout = TNatTimeoutResult{};
         s.NatTimeout->New.HeldSecs = 20;
         s.NatTimeout->New.GoneBySecs = 30;
         s.NatTimeout->New.Measured = true;
       },
       TTopic::WhatToDo, TTone::Warning,
       "What to do: The NAT forgets a new UDP mapping after 20 to 30 s idle: set the keep-alive (or re-registration) "
       "interval of the phone or softphone below 20 s, for example 15 s; a phone's mapping is new after every "
       "registration, so a longer interval loses it and incoming calls may not reach the phone."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TRunSummary s = Clean();
    row.setUp(s);
    const std::vector<TRunAnswer> answers = RunAnswers(s);
    ASSERT_EQ(answers.size(), 4u);
    const TRunAnswer& a = answers[static_cast<size_t>(row.topic)];
    EXPECT_EQ(a.Topic, row.topic);
    EXPECT_EQ(a.Tone, row.tone);
    EXPECT_EQ(a.Text, row.text);
  }
}

// Whatever the advice, its first line is what to do first; the rest is in the log.
TEST(RunAnswers, what_to_do_is_the_first_advice) {
  TRunSummary s = Clean();
  s.Alg[0].Verdict = V::Active;
  const std::vector<std::string> advice = AdviceLines(s);
  ASSERT_GT(advice.size(), 1u);
  const TRunAnswer a = RunAnswers(s).back();
  EXPECT_EQ(a.Tone, TTone::Problem);
  EXPECT_EQ(a.Text, "What to do: " + advice.front() + " (more in the log below)");
}

}  // namespace
