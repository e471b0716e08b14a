// What a test call's figures mean: losses and their pattern, R and MOS of the E-model, the round
// trip's figures, and where the lines and the advice draw their limits.
#include <gtest/gtest.h>

#include "probes/CallQuality.h"
#include "probes/CallTest.h"

namespace {

std::vector<bool> Came(const std::string& pattern) {  // "x": came, ".": lost
  std::vector<bool> v;
  for (char c : pattern) v.push_back(c == 'x');
  return v;
}

TCallDirection Direction(double lossPercent, double jitterMs, double mos) {
  TCallDirection d;
  d.Sent = 750;
  d.Received = 740;
  d.LossPercent = lossPercent;
  d.JitterMs = jitterMs;
  d.Mos = mos;
  d.R = 80;  // unused by the advice
  return d;
}

bool Mentions(const std::vector<std::string>& lines, const std::string& what) {
  for (const std::string& l : lines)
    if (l.find(what) != std::string::npos) return true;
  return false;
}

}  // namespace

TEST(CallQuality, LossesTheirLongestRunAndPattern) {
  struct Row {
    const char* came;
    int sent;
    int lost;
    int longest;
    double burstR;
  } rows[] = {
      {"xxxxxxxxxx", 10, 0, 0, 1},
      {"xxxxxxxxxx", 12, 2, 2, 10},       // the last two never came: the tail counts, a burst never left
      {"x.x.x.x.x.", 10, 5, 1, 0.5},      // p = 1, q = 1: losses spread out more than at random
      {"xxxx....xx", 10, 4, 4, 1 / (1.0 / 5 + 1.0 / 4)},  // one burst: p = 1/5, q = 1/4
      {"..........", 10, 10, 10, 1},      // nothing came: the pattern is unknown
      {"", 3, 3, 3, 1},
  };
  for (const Row& r : rows) {
    const TLossStats s = LossOf(Came(r.came), r.sent);
    EXPECT_EQ(s.Lost, r.lost) << r.came;
    EXPECT_EQ(s.LongestRun, r.longest) << r.came;
    EXPECT_NEAR(s.BurstR, r.burstR, 1e-9) << r.came;
    EXPECT_NEAR(s.LossPercent, 100.0 * r.lost / r.sent, 1e-9) << r.came;
  }
  // Per second of 50 packets; the last second only as long as the stream.
  std::vector<bool> twoSeconds(75, true);
  twoSeconds[60] = false;
  EXPECT_EQ(LossOf(twoSeconds, 75).LossBySecondPercent, (std::vector<double>{0, 4}));
}

TEST(CallQuality, EModelForG711) {
  // d = RTT / 2 + 2 x jitter + 20 ms
  EXPECT_DOUBLE_EQ(OneWayDelayMs(42, 1.2), 43.4);
  struct Row {
    double delayMs, lossPercent, burstR, r;
  } rows[] = {
      {0, 0, 1, 93.2},
      {43.4, 0, 1, 93.2 - 0.024 * 43.4},
      {177.3, 0, 1, 93.2 - 0.024 * 177.3},  // the knee itself: no extra term yet
      {277.3, 0, 1, 93.2 - 0.024 * 277.3 - 0.11 * 100},
      {20, 1, 1, 93.2 - 0.48 - 95.0 / 26.1},
      {20, 10, 2, 93.2 - 0.48 - 950.0 / 30.1},  // bursts hurt more than random loss
      {20, 100, 1, 93.2 - 0.48 - 9500.0 / 125.1},
  };
  for (const Row& r : rows) EXPECT_NEAR(RFactor(r.delayMs, r.lossPercent, r.burstR), r.r, 1e-9) << r.delayMs;
  struct MosRow {
    double r, mos;
  } mos[] = {{-1, 1}, {0, 1}, {50, 1 + 1.75 - 7e-6 * 50 * 10 * 50}, {93.2, 4.41}, {100, 4.5}, {101, 4.5}};
  for (const MosRow& m : mos) EXPECT_NEAR(MosOf(m.r), m.mos, 0.005) << m.r;
}

TEST(CallQuality, CallLengthWithinWhatTheServerTakes) {
  const call_wire::TPlan upTo30{30, 5004};
  EXPECT_EQ(CallSeconds(15, std::nullopt), 0);  // an older server: no call
  EXPECT_EQ(CallSeconds(0, upTo30), 0);
  EXPECT_EQ(CallSeconds(30, upTo30), 30);
  EXPECT_EQ(CallSeconds(31, upTo30), 30);
}

TEST(CallQuality, RoundTripMedianAndNinetyFifthPercentile) {
  EXPECT_FALSE(RttFigures({}).has_value());
  EXPECT_EQ(RttFigures({7}), (std::pair<double, double>{7, 7}));
  std::vector<double> hundred;
  for (int i = 100; i >= 1; --i) hundred.push_back(i);
  EXPECT_EQ(RttFigures(hundred), (std::pair<double, double>{50, 95}));
}

TEST(CallQuality, LinesSayWhetherAudioGotThroughAndHowItSounds) {
  TCallResult c;
  c.Port = 5004;
  c.Audio = TCallAudio::BothWays;
  c.BurstCame = true;
  c.Up = CallDirection(std::vector<bool>(750, true), 750, 1200, {}, 42);
  c.Down = CallDirection(std::vector<bool>(750, true), 750, 7500, {}, 42);
  c.RttMedianMs = 42;
  c.RttP95Ms = 55;
  EXPECT_EQ(CallLines(c), (std::vector<std::string>{
                              "Audio both ways: the server's audio came back to port 5004 after this computer sent its own",
                              "Call quality sending: MOS 4.4 (R 92), 0.0 % lost, jitter 1.2 ms",
                              "Call quality receiving: MOS 4.4 (R 92), 0.0 % lost, jitter 7.5 ms",
                              "Round trip: 42 ms (95 % under 55 ms)"}));
  EXPECT_TRUE(CallAdvice(c).empty());
  c.RttMedianMs = 0.34;  // a LAN's: tenths below 10 ms
  c.RttP95Ms = 9.96;
  EXPECT_EQ(CallLines(c).back(), "Round trip: 0.3 ms (95 % under 10 ms)");
  c.BurstCame = false;  // audio gets in only in reply: the far end must latch
  EXPECT_TRUE(Mentions(CallLines(c), "only in reply"));
  EXPECT_TRUE(Mentions(CallAdvice(c), "symmetric RTP"));

  TCallResult oneWay;
  oneWay.Port = 5006;
  oneWay.Audio = TCallAudio::OneWayOut;
  oneWay.Up = CallDirection(std::vector<bool>(750, true), 750, 0, {}, 0);
  EXPECT_EQ(CallLines(oneWay)[0], "One-way audio: the server received 750 packets, none came back to port 5006");
  EXPECT_TRUE(Mentions(CallAdvice(oneWay), "One-way audio"));
  TCallResult none;
  none.Port = 5004;
  EXPECT_EQ(CallLines(none), std::vector<std::string>{"No audio reached the server from port 5004"});
  TCallResult cut = oneWay;
  cut.Started = true;
  cut.NotTested = TCallNotTested::CutShort;  // no report: whether audio got out is not known, and no advice claims it
  EXPECT_FALSE(Mentions(CallLines(cut), "One-way"));
  EXPECT_TRUE(CallAdvice(cut).empty());
}

TEST(CallQuality, WhyACallTellsNothingAboutTheWayOut) {
  struct Row {
    const char* name;
    TCallEnd end;  // Offered, Started, Stopped, Busy, Report, Refused, Whole, CameBack
    TCallNotTested why;
    const char* line;  // the first of its lines
  } rows[] = {
      {"not offered", {false, false, false, false, false, false, false, 0}, TCallNotTested::NoCallOffered,
       "Call not tested: the server offers no test call"},
      {"busy", {true, true, false, true, false, false, true, 0}, TCallNotTested::ServerBusy,
       "Call not tested: the server has no room for another call now"},
      {"its report came", {true, true, true, false, true, false, false, 0}, TCallNotTested::None, nullptr},
      {"stopped before it began", {true, false, true, false, false, false, false, 0}, TCallNotTested::Stopped,
       "Call not tested: the run was stopped before the call began"},
      {"stopped while it ran, audio back", {true, true, true, false, false, false, false, 40}, TCallNotTested::Stopped,
       "Test call cut short: the run was stopped before the server reported what it received"},
      {"the run ended before it began", {true, false, false, false, false, false, false, 0}, TCallNotTested::CutShort,
       "Call not tested: the run ended before the call began"},
      {"no report, audio came back", {true, true, false, false, false, false, false, 1}, TCallNotTested::None, nullptr},
      {"a report that does not add up, audio back", {true, true, false, false, false, true, true, 700}, TCallNotTested::None,
       nullptr},
      {"a whole call, no report, nothing back", {true, true, false, false, false, false, true, 0}, TCallNotTested::None,
       nullptr},
      {"a whole call, a refused report, nothing back", {true, true, false, false, false, true, true, 0},
       TCallNotTested::CutShort, "The server's call report does not add up (x): sending quality not told"},
      {"not whole, no report, nothing back", {true, true, false, false, false, false, false, 0}, TCallNotTested::CutShort,
       "Test call cut short: the run ended before the server reported what it received"},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(CallNotTestedOf(r.end), r.why) << r.name;
    if (!r.line) continue;
    TCallResult c;
    c.Started = r.end.Started;
    c.NotTested = r.why;
    if (r.end.Refused) c.ReportFault = "x";
    EXPECT_EQ(CallLines(c).front(), r.line) << r.name;
    EXPECT_TRUE(CallAdvice(c).empty()) << r.name;
  }
  EXPECT_STREQ(CallNotTestedName(TCallNotTested::NoCallOffered), "no_call_offered");
  EXPECT_EQ(CallNotTestedName(TCallNotTested::None), nullptr);
}

TEST(CallQuality, AReportIsCheckedAgainstWhatThisComputerKnows) {
  // A call of 5 s: 250 packets sent, 240 came back.
  const auto report = [](int received, int sent, size_t mapSize, long long jitterUs, std::vector<long long> bySecond = {}) {
    call_wire::TReport r;
    r.Received = received;
    r.Sent = sent;
    r.Map.assign(mapSize, false);
    for (int i = 0; i < received && mapSize > 0; ++i) r.Map[mapSize - 1 - static_cast<size_t>(i)] = true;
    r.JitterUs = jitterUs;
    r.JitterBySecondUs = std::move(bySecond);
    return r;
  };
  const long long bound = 12'000'000;  // (2 x 5 + 2) s
  struct Row {
    const char* name;
    call_wire::TReport r;
    const char* fault;  // nullptr: it adds up
  } rows[] = {
      {"all came, all back", report(250, 250, 250, 900), nullptr},
      {"at every bound", report(250, 240, 250, bound, {bound, 0, 0, 0, 0, bound}), nullptr},
      {"more received than sent", report(251, 240, 251, 900), "it received 251 packets of the 250 sent"},
      {"6,000 of 250", report(6000, 6000, 6000, 900), "it received 6000 packets of the 250 sent"},
      {"an index past those sent", report(249, 240, 251, 900), "it names packet 250 of the 250 sent"},
      {"sent back more than it received", report(200, 241, 250, 900), "it sent back 241 packets, more than the 200 it received"},
      {"fewer sent back than came", report(250, 239, 250, 900), "it sent back 239 packets, 240 came"},
      {"jitter past the bound", report(250, 240, 250, bound + 1), "a jitter of 12000.0 ms in a call of 5 s"},
      {"a jitter of 11 days", report(250, 240, 250, 999'999'999'999), "a jitter of 1000000000.0 ms in a call of 5 s"},
      {"a second's jitter past it", report(250, 240, 250, 900, {900, bound + 1}), "a jitter of 12000.0 ms in a call of 5 s"},
      {"more seconds than the call", report(250, 240, 250, 900, std::vector<long long>(7, 0)),
       "jitter for 7 seconds of a call of 5 s"},
  };
  for (const Row& row : rows) {
    const auto fault = CallReportFault(row.r, 250, 240, 5);
    if (row.fault)
      EXPECT_EQ(fault.value_or("adds up"), row.fault) << row.name;
    else
      EXPECT_FALSE(fault) << row.name << ": " << *fault;
  }
}

TEST(CallQuality, FiguresStayWithinTheirRangeAndNoneForAWayNothingCame) {
  const TCallDirection nothing = CallDirection(std::vector<bool>(10, false), 250, 0, {}, 0);
  EXPECT_EQ(nothing.Received, 0);
  EXPECT_DOUBLE_EQ(nothing.LossPercent, 100);
  EXPECT_FALSE(nothing.R.has_value());
  EXPECT_FALSE(nothing.Mos.has_value());
  // A lost way and a jitter of a minute: R would be far below 0.
  const TCallDirection poor = CallDirection({true, false, false, false}, 250, 60'000'000, {}, 0);
  EXPECT_EQ(poor.R, 0.0);
  EXPECT_EQ(poor.Mos, 1.0);
  const TCallDirection clean = CallDirection(std::vector<bool>(250, true), 250, 0, {}, 0);
  EXPECT_LE(*clean.R, 100.0);
  EXPECT_NEAR(*clean.Mos, 4.40, 0.01);
}

TEST(CallQuality, AdviceNamesTheDirectionPastEachLimit) {
  struct Row {
    double loss, jitter, mos;
    const char* mentions;  // nullptr: no advice
  } rows[] = {
      {1.0, 30.0, 3.6, nullptr},  // each at its limit
      {1.1, 0, 4.4, "lost (more than 1 %)"},
      {0, 30.1, 4.4, "jitter of 30.1 ms"},
      {0, 0, 3.5, "MOS 3.5 (below 3.6)"},
  };
  for (const Row& r : rows) {
    TCallResult c;
    c.Audio = TCallAudio::BothWays;
    c.BurstCame = true;
    c.Up = Direction(0, 0, 4.4);
    c.Down = Direction(r.loss, r.jitter, r.mos);
    const auto advice = CallAdvice(c);
    if (!r.mentions) {
      EXPECT_TRUE(advice.empty()) << advice.front();
    } else {
      ASSERT_EQ(advice.size(), 1u) << r.mentions;
      EXPECT_NE(advice[0].find("Audio receiving: "), std::string::npos);
      EXPECT_NE(advice[0].find(r.mentions), std::string::npos) << advice[0];
    }
  }
  TCallResult slow;
  slow.Audio = TCallAudio::BothWays;
  slow.BurstCame = true;
  slow.RttMedianMs = 300;
  slow.RttP95Ms = 400;
  EXPECT_TRUE(CallAdvice(slow).empty());
  slow.RttMedianMs = 301;
  EXPECT_TRUE(Mentions(CallAdvice(slow), "Round trip of 301 ms"));
}
