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
      {"no ALG", [](TRunSummary&) {}, TTopic::Alg, TTone::Good, "No SIP ALG seen"},
      {"ALG over UDP and over TCP",
       [](TRunSummary& s) {
         s.Alg[0].Verdict = V::Active;
         s.AlgTcp = {Alg(5060, V::None), Alg(5058, V::Active)};
       },
       TTopic::Alg, TTone::Problem, "SIP ALG active on port 5060, TCP port 5058"},
      {"server not reached", [](TRunSummary& s) { s = TRunSummary(); s.Server = TServerReach::Unreachable; },
       TTopic::Alg, TTone::Unknown, "SIP ALG not checked"},
      {"no router on the way",
       [](TRunSummary& s) { s.OwnAddress = true; }, TTopic::Alg, TTone::Unknown,
       "No router tested: the server saw this computer's own address"},
      {"no NAT figure", [](TRunSummary&) {}, TTopic::NatKeepAlive, TTone::Unknown, "NAT time-out not measured"},
      {"no NAT report at all", [](TRunSummary& s) { s.End = TRunEnd::NoNatReport; }, TTopic::NatKeepAlive,
       TTone::Problem, "No NAT report came back: UDP from the server is blocked"},
      {"a short time-out of the tester's own mapping",
       [](TRunSummary& s) {
         s.NatTimeout = TNatTimeoutResult{};
         s.NatTimeout->New.HeldSecs = 25;
         s.NatTimeout->New.GoneBySecs = 35;
         s.NatTimeout->New.Measured = true;
       },
       TTopic::NatKeepAlive, TTone::Problem, "NAT time-out 25 to 35 s: a phone needs a keep-alive below 25 s"},
      {"a report's port gone sooner than the other held",
       [](TRunSummary& s) {
         s.Nat = {Held(5060, 40), Held(5058, 7, 15)};
       },
       TTopic::NatKeepAlive, TTone::Problem, "NAT time-out 7 to 15 s: a phone needs a keep-alive below 7 s"},
      {"a mapping gone only past a quarter of an hour",
       [](TRunSummary& s) { s.Nat = {Held(5060, 901, 961)}; }, TTopic::NatKeepAlive,
       TTone::Good, "NAT time-out 901 to 961 s"},
      {"nothing expired", [](TRunSummary& s) { s.Nat = {Held(5060, 30)}; },
       TTopic::NatKeepAlive, TTone::Good, "NAT time-out at least 30 s"},
      {"no call", [](TRunSummary&) {}, TTopic::CallQuality, TTone::Unknown, "No test call"},
      {"a call both ways, both good (rounded)",
       [](TRunSummary& s) { s.Call = Call(TCallAudio::BothWays, 4.36, 4.04); }, TTopic::CallQuality, TTone::Good,
       "Call quality: MOS 4.4 sending, 4.0 receiving"},
      {"a call that sounds poor one way",
       [](TRunSummary& s) { s.Call = Call(TCallAudio::BothWays, 4.4, 3.4); }, TTopic::CallQuality, TTone::Problem,
       "Call quality: MOS 4.4 sending, 3.4 receiving"},
      {"audio out only", [](TRunSummary& s) { s.Call = Call(TCallAudio::OneWayOut, 4.4, 0); }, TTopic::CallQuality,
       TTone::Problem, "Test call: audio one way only, none came back"},
      {"a call cut short",
       [](TRunSummary& s) {
         s.Call = Call(TCallAudio::None, 0, 0);
         s.Call->NotTested = TCallNotTested::CutShort;
       },
       TTopic::CallQuality, TTone::Unknown, "Test call cut short"},
      {"a server's report that does not add up",
       [](TRunSummary& s) {
         s.Call = Call(TCallAudio::BothWays, 4.4, 4.4);
         s.Call->ReportFault = "more packets than were sent";
       },
       TTopic::CallQuality, TTone::Unknown, "Test call: the server's report does not add up"},
      {"nothing to do", [](TRunSummary&) {}, TTopic::WhatToDo, TTone::Good, "Nothing to do"},
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

// Whatever the advice, its first line is what to do first.
TEST(RunAnswers, what_to_do_is_the_first_advice) {
  TRunSummary s = Clean();
  s.Alg[0].Verdict = V::Active;
  const std::vector<std::string> advice = AdviceLines(s);
  ASSERT_FALSE(advice.empty());
  const TRunAnswer a = RunAnswers(s).back();
  EXPECT_EQ(a.Tone, TTone::Problem);
  EXPECT_EQ(a.Text, advice.front());
}

}  // namespace
