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
  };
  for (const Row& r : rows) EXPECT_EQ(PlanFromToken(r.token).has_value(), r.valid) << r.token;
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
