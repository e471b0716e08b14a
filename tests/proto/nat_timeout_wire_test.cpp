// The NAT time-out test's datagrams and the plan in the token: what each side accepts. That
// what is taken reads back as written is the fuzz target's (nat_timeout_wire).
#include <gtest/gtest.h>

#include "proto/NatTimeoutWire.h"

using namespace nat_timeout;

TEST(NatTimeoutWire, TokenCarriesThePlanAndOlderTokensNone) {
  EXPECT_EQ("0123.t10-15-20.r10", "0123" + PlanSuffix({{10, 15, 20}, 10}));
  struct Row {
    const char* token;
    bool valid;
  } rows[] = {
      {"0123456789abcdef0123456789abcdef", false},  // an older server's
      {"x.t10.r5", true},
      {"x.t2.r5", true},
      {"x.t1-2.r5", false},  // shorter than a busy warm-up
      {"x.t10-10.r5", false},  // not rising
      {"x.t10.r0", false},
      {"x.t10.r3601", false},
      {"x.t3601.r5", false},
      {"x.t10-.r5", false},
      {"x.t10.r5x", false},
      {"x.t2-3-4-5-6-7-8-9-10-11-12-13-14-15-16-17.r1", true},
      {"x.t2-3-4-5-6-7-8-9-10-11-12-13-14-15-16-17-18.r1", false},  // too many
      {"x.c30-5004.p3480.t10.r5", true},
      {"x.p0.t10.r5", false},
      {"x.p65536.t10.r5", false},
      {"x.p34a0.t10.r5", false},
  };
  for (const Row& r : rows) EXPECT_EQ(PlanFromToken(r.token).has_value(), r.valid) << r.token;
  EXPECT_EQ(PlanFromToken("x.c30-5004.p3480.t10.r5")->Port, 3480);
  EXPECT_EQ(PlanFromToken("x.t10.r5")->Port, 0) << "an older server: the SIP port";
  EXPECT_EQ(RefreshDatagrams({{10, 25}, 10, 0}), 3) << "an older server stops at the first gap past 25 s";
  EXPECT_EQ(RefreshDatagrams({{10, 25}, 10, 3480}), 3 + kRefreshTailGaps);
}

TEST(NatTimeoutWire, PaddedRequestsPayAndStayWithinADatagram) {
  const TRequest r = PaddedTo({"tok", 3, TKind::Busy, 10, 2}, 300);
  EXPECT_EQ(RequestText(r).size(), 300u);
  EXPECT_EQ(ParseRequest(RequestText(r))->Pad, r.Pad);
  const size_t bare = RequestText({"tok", 3, TKind::Busy, 10, 2}).size();
  EXPECT_EQ(RequestText(PaddedTo(r, bare + 1)).size(), bare) << "one byte past the bare text: no room for a pad";
  EXPECT_EQ(RequestText(PaddedTo(r, bare + 2)).size(), bare + 2);
  EXPECT_EQ(RequestText(PaddedTo(r, 99999)).size(), kMaxRequestBytes);
  EXPECT_FALSE(ParseRequest("NAT-TIMEOUT tok 3 busy 10 2 keep-alive ..x\r\n"));
  EXPECT_FALSE(ParseRequest("NAT-TIMEOUT tok 3 busy 10 2 keep-alive " + std::string(kMaxRequestBytes, '.') + "\r\n"));
}

TEST(NatTimeoutWire, BadRequestsAreRefusedAndRepliesStaySmall) {
  EXPECT_EQ(RequestText({"tok", 3, TKind::Busy, 10, 2}), "NAT-TIMEOUT tok 3 busy 10 2 keep-alive\r\n");
  for (const char* bad : {
           "NAT-TIMEOUT tok 3 busy 10 2 keep-alive",         // no CR LF
           "NAT-TIMEOUT tok 0 busy 10 2 keep-alive\r\n",     // mapping 0
           "NAT-TIMEOUT tok 3 busy 10 0 keep-alive\r\n",     // seq 0
           "NAT-TIMEOUT tok 3 refresh 10 1 keep-alive\r\n",  // refresh with an idle time
           "NAT-TIMEOUT tok 3 new 0 1 keep-alive\r\n",       // new without one
           "NAT-TIMEOUT tok 3 old 10 1 keep-alive\r\n",
           "NAT-TIMEOUT tok 3 new 10 1 keep-alive extra\r\n",
           "NAT-TIMEOUT  3 new 10 1 keep-alive\r\n",
       })
    EXPECT_FALSE(ParseRequest(bad)) << bad;
  // The largest reply, to a mapping of four digits, against the smallest request of the first.
  const std::string token(32, 'a');
  EXPECT_LT(ReplyText({token, 9999, false, 0, 999999999}).size(), RequestText({token, 1, TKind::New, 2, 1}).size() + 4);
  EXPECT_FALSE(ParseReply("NAT-TIMEOUT tok 7 later 5\r\n"));
  EXPECT_FALSE(ParseReply("NAT-TIMEOUT tok 7 ok 0\r\n"));
}
