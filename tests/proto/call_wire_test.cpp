// The test call's packets, its announcement in the token and the server's report: what each side
// accepts, and the receiver's jitter against figures worked out by hand.
#include <gtest/gtest.h>

#include "proto/CallReceiver.h"
#include "proto/CallWire.h"

using namespace call_wire;

TEST(CallWire, TokenAnnouncesTheCallBeforeTheTimeoutPlan) {
  EXPECT_EQ("ab" + PlanSuffix({30, 5004}) + ".t10.r5", "ab.c30-5004.t10.r5");
  struct Row {
    const char* token;
    std::optional<TPlan> plan;
  } rows[] = {
      {"0123456789abcdef", std::nullopt},  // an older server's
      {"ab.t10-15.r10", std::nullopt},
      {"ab.c30-5004.t10-15.r10", TPlan{30, 5004}},
      {"ab.c1-1", TPlan{1, 1}},
      {"ab.c120-65535", TPlan{120, 65535}},
      {"ab.c121-5004", std::nullopt},
      {"ab.c0-5004", std::nullopt},
      {"ab.c30-0", std::nullopt},
      {"ab.c30-65536", std::nullopt},
      {"ab.c30", std::nullopt},
      {"ab.c30-50x4", std::nullopt},
  };
  for (const Row& r : rows) EXPECT_EQ(PlanFromToken(r.token), r.plan) << r.token;
}

TEST(CallWire, PacketsAreG711SizedAndOnlyTheirOwnFormIsTaken) {
  TPacket p{65535, 4294967200u, 0xdeadbeef, true, 749, 123456789012345ull, 2500, "ab.c30-5004.t10.r5"};
  const std::string bytes = PacketBytes(p);
  ASSERT_EQ(bytes.size(), 172u);
  EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 0x80);  // version 2
  EXPECT_EQ(static_cast<unsigned char>(bytes[1]), 0x80);  // marker, payload type 0
  EXPECT_EQ(static_cast<unsigned char>(bytes.back()), 0xFF);  // mu-law silence
  EXPECT_EQ(ParsePacket(bytes), p);
  auto changed = [&](size_t at, char to) {
    std::string b = bytes;
    b[at] = to;
    return ParsePacket(b).has_value();
  };
  EXPECT_FALSE(changed(0, '\xa0'));  // padding bit
  EXPECT_FALSE(changed(1, 8));       // A-law: the unprompted burst's
  EXPECT_FALSE(changed(12, 'X'));    // not the call's magic
  EXPECT_FALSE(changed(32, 0));      // an empty token
  EXPECT_FALSE(changed(32, static_cast<char>(140)));  // a token past the packet
  EXPECT_FALSE(ParsePacket(bytes.substr(0, 171)).has_value());
  TPacket far = p;
  far.Index = static_cast<uint32_t>(kMaxPackets);
  EXPECT_FALSE(ParsePacket(PacketBytes(far)).has_value());
}

TEST(CallWire, ReportReadsBackAndFiguresMustAgree) {
  TReport r;
  r.Received = 3;
  r.Sent = 9;
  r.JitterUs = 1500;
  r.JitterBySecondUs = {1200, 1500};
  r.Map = {true, false, false, false, false, false, false, false, true, true};
  EXPECT_EQ(ReportText(r), "CALL-REPORT 3 9 1500 1200,1500 0103");
  EXPECT_EQ(ParseReport(ReportText(r)), r);
  TReport none;
  EXPECT_EQ(ReportText(none), "CALL-REPORT 0 0 0 - -");
  EXPECT_EQ(ParseReport("CALL-REPORT 0 0 0 - -"), none);
  EXPECT_TRUE(ParseReport("CALL-REPORT busy")->Busy);
  for (const char* bad : {"CALL-REPORT 2 9 1500 - 0103",      // three came, not two
                          "CALL-REPORT 3 9 1500 - 010300",    // a byte past the highest index
                          "CALL-REPORT 3 9 1500 - 013",       // half a byte
                          "CALL-REPORT 3 9 1500 - 01G3",
                          "CALL-REPORT 3 9 -5 - 0103",
                          "CALL-REPORT 3 9 1500 1,,2 0103",
                          "CALL-REPORT 3 9999999 1500 - 0103",  // more than a call can send
                          "CALL-REPORT 3 9 1500 0103",
                          "Received 172 bytes"})
    EXPECT_FALSE(ParseReport(bad).has_value()) << bad;
}

TEST(CallReceiver, JitterFollowsRfc3550AndDuplicatesCountOnce) {
  TStreamReceiver steady;
  for (uint32_t i = 0; i < 100; ++i) steady.Take(i, 1000 + 160 * i, 5'000'000 + 20'000 * i);
  EXPECT_EQ(steady.JitterUs(), 0);
  EXPECT_EQ(steady.Received(), 100);
  EXPECT_EQ(steady.JitterBySecondUs().size(), 2u);

  // Every other packet 4 ms late: |D| = 4 ms at each step, so J -> 4 ms; after one step 250 us.
  TStreamReceiver late;
  late.Take(0, 0, 0);
  late.Take(1, 160, 24'000);
  EXPECT_EQ(late.JitterUs(), 250);
  for (uint32_t i = 2; i < 400; ++i) late.Take(i, 160 * i, 20'000 * i + (i % 2 ? 4'000 : 0));
  EXPECT_NEAR(late.JitterUs(), 4000, 1);

  // A timestamp that wraps is a 20 ms step like any other.
  TStreamReceiver wrap;
  wrap.Take(0, 4294967200u, 0);
  wrap.Take(1, 4294967200u + 160, 20'000);
  EXPECT_EQ(wrap.JitterUs(), 0);

  EXPECT_FALSE(wrap.Take(1, 4294967200u + 160, 20'000));  // a duplicate
  EXPECT_FALSE(wrap.Take(static_cast<uint32_t>(kMaxPackets), 0, 0));
  EXPECT_EQ(wrap.Received(), 2);
  // What came, as the report says it: the map to the highest index and its seconds.
  TStreamReceiver gaps;
  gaps.Take(0, 0, 0);
  gaps.Take(120, 160 * 120, 2'400'000);
  EXPECT_EQ(gaps.Map().size(), 121u);
  EXPECT_EQ(gaps.JitterBySecondUs(), (std::vector<long long>{0, 0, 0}));
  EXPECT_EQ(ParseReport(ReportText(gaps.Report(150))), gaps.Report(150));
}
