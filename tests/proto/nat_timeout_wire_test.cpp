// The NAT time-out test's datagrams and the plan in the token: what each side accepts.
#include <gtest/gtest.h>

#include "proto/NatTimeoutWire.h"

using namespace nat_timeout;

TEST(NatTimeoutWire, TokenCarriesThePlanAndOlderTokensNone) {
  const TPlan plan{{10, 15, 20}, 10};
  const std::string token = "0123456789abcdef0123456789abcdef" + PlanSuffix(plan);
  EXPECT_EQ(token, "0123456789abcdef0123456789abcdef.t10-15-20.r10");
  EXPECT_EQ(PlanFromToken(token), plan);
  struct Row {
    const char* token;
    bool valid;
  } rows[] = {
      {"0123456789abcdef0123456789abcdef", false},  // an older server's
      {"x.t10.r5", true},
      {"x.t2.r5", true},
      {"x.t10-10.r5", false},   // not rising
      {"x.t20-10.r5", false},
      {"x.t0-10.r5", false},    // no idle time of 0
      {"x.t10.r0", false},
      {"x.t10.r3601", false},
      {"x.t3601.r5", false},
      {"x.t10-.r5", false},
      {"x.t10.r5x", false},
      {"x.t1-2.r5", false},     // shorter than a busy warm-up
      {"x.t2-3-4-5-6-7-8-9-10-11-12-13-14-15-16-17.r1", true},
      {"x.t2-3-4-5-6-7-8-9-10-11-12-13-14-15-16-17-18.r1", false},  // too many
  };
  for (const Row& r : rows) EXPECT_EQ(PlanFromToken(r.token).has_value(), r.valid) << r.token;
  EXPECT_EQ(PlanSuffix({{}, 5}), "");
}

TEST(NatTimeoutWire, RequestsRoundTripAndBadOnesAreRefused) {
  const TRequest busy{"tok.t10.r5", 3, TKind::Busy, 10, 2};
  const std::string text = RequestText(busy);
  EXPECT_EQ(text, "NAT-TIMEOUT tok.t10.r5 3 busy 10 2 keep-alive\r\n");
  ASSERT_TRUE(ParseRequest(text));
  EXPECT_EQ(ParseRequest(text)->Mapping, 3);
  EXPECT_EQ(ParseRequest(text)->Kind, TKind::Busy);
  EXPECT_TRUE(IsTimeoutDatagram(text));
  EXPECT_FALSE(IsTimeoutDatagram("REGISTER sip:x SIP/2.0\r\n"));
  for (const char* bad : {
           "NAT-TIMEOUT tok 3 busy 10 2 keep-alive",         // no CR LF
           "NAT-TIMEOUT tok 0 busy 10 2 keep-alive\r\n",     // mapping 0
           "NAT-TIMEOUT tok 3 busy 10 0 keep-alive\r\n",     // seq 0
           "NAT-TIMEOUT tok 3 refresh 10 1 keep-alive\r\n",  // refresh with an idle time
           "NAT-TIMEOUT tok 3 new 0 1 keep-alive\r\n",       // new without one
           "NAT-TIMEOUT tok 3 old 10 1 keep-alive\r\n",
           "NAT-TIMEOUT tok 3 new -10 1 keep-alive\r\n",
           "NAT-TIMEOUT tok 3 new 10 1\r\n",
           "NAT-TIMEOUT tok 3 new 10 1 keep-alive extra\r\n",
           "NAT-TIMEOUT  3 new 10 1 keep-alive\r\n",
       })
    EXPECT_FALSE(ParseRequest(bad)) << bad;
}

TEST(NatTimeoutWire, RepliesAreNeverLargerThanTheRequestsTheyAnswer) {
  const std::string token(32, 'a');
  const std::string smallest = RequestText({token + ".t2.r1", 1, TKind::New, 2, 1});
  const std::string largest = ReplyText({token + ".t2.r1", 9999, false, 0, 999999999});
  EXPECT_LT(largest.size(), smallest.size() + 4);  // the mapping's number has up to 4 digits
  const TReply after{token, 7, false, 0, 30012};
  EXPECT_EQ(ReplyText(after), "NAT-TIMEOUT " + token + " 7 after 30012\r\n");
  ASSERT_TRUE(ParseReply(ReplyText(after)));
  EXPECT_EQ(ParseReply(ReplyText(after))->AfterMs, 30012);
  EXPECT_TRUE(ParseReply(ReplyText({token, 7, true, 3, 0}))->Answer);
  EXPECT_FALSE(ParseReply("NAT-TIMEOUT tok 7 later 5\r\n"));
  EXPECT_FALSE(ParseReply("NAT-TIMEOUT tok 7 ok 0\r\n"));
}
