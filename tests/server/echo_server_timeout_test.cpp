// The NAT time-out test's side of the echo server: what a session's mappings may cost, and the
// answers and idle datagrams over real loopback sockets.
#include <gtest/gtest.h>

#include "proto/NatTimeoutWire.h"
#include "server/SessionPolicy.h"
#include "tests/server/ServerTest.h"

using namespace servertest;
using namespace nat_timeout;

TEST(TimeoutLedger, TakesOnlyWhatThePlanHasRoomFor) {
  TTimeoutLedger ledger({1, 2});  // room for 5 mappings: new and busy of 1 and 2 s, one refresh
  const TServerTime t0;
  struct Row {
    const char* name;
    int mapping, kind, idle;
    bool taken;
  } rows[] = {
      {"new 1 s", 2, 0, 1, true},
      {"its repeat", 2, 0, 1, true},
      {"the same mapping claiming another idle time", 2, 0, 2, false},
      {"another mapping claiming new 1 s", 9, 0, 1, false},
      {"an idle time not in the plan", 3, 0, 3, false},
      {"refresh with an idle time", 4, 2, 1, false},
      {"refresh", 1, 2, 0, true},
      {"busy 1 s", 3, 1, 1, true},
      {"new 2 s", 4, 0, 2, true},
      {"busy 2 s", 5, 1, 2, true},
      {"a sixth mapping", 6, 1, 2, false},
  };
  for (const Row& r : rows) EXPECT_EQ(ledger.Take(r.mapping, r.kind, r.idle, t0), r.taken) << r.name;
  for (int i = 2; i < kTimeoutRequestsPerMapping; ++i) EXPECT_TRUE(ledger.Take(2, 0, 1, t0)) << i;
  EXPECT_FALSE(ledger.Take(2, 0, 1, t0)) << "past the requests a mapping may send";
  const auto warmUp = std::chrono::milliseconds(kTimeoutWarmUpMs);
  EXPECT_TRUE(ledger.Take(3, 1, 1, t0 + warmUp)) << "the last moment of its warm-up";
  EXPECT_FALSE(ledger.Take(3, 1, 1, t0 + warmUp + std::chrono::milliseconds(1))) << "past it: no putting off";
  EXPECT_FALSE(ledger.AllFinished());
  for (int m = 1; m <= 5; ++m) ledger.Finish(m);
  EXPECT_TRUE(ledger.AllFinished());
  EXPECT_FALSE(ledger.Take(4, 0, 2, t0)) << "after its idle datagram went out";
}

class EchoServerTimeout : public ServerTest {};

TEST_F(EchoServerTimeout, answers_at_once_then_once_after_the_idle_time_only_to_the_mapping) {
  TEchoServerConfig config = Config();
  config.TimeoutIdleSecs = {2, 3};
  config.TimeoutRefreshSecs = 1;
  ASSERT_TRUE(Open(config));
  auto mapping = Udp(me);
  auto other = Udp(me);
  const std::string request = RequestText({session->token, 2, TKind::New, 2, 1});
  mapping.SendTo(srv, 5060, request);
  // The answer at once, no larger than the request; then one datagram after 2 s of silence.
  auto next = [&](std::chrono::milliseconds deadline) {
    const auto d = mapping.Receive(deadline);
    EXPECT_TRUE(d && d->data.size() <= request.size());
    return d ? ParseReply(d->data) : std::nullopt;
  };
  const auto ok = next(3000ms);
  ASSERT_TRUE(ok && ok->Answer && ok->Mapping == 2);
  const auto idle = next(5000ms);
  ASSERT_TRUE(idle && !idle->Answer);
  EXPECT_GE(idle->AfterMs, 2000);
  EXPECT_LT(idle->AfterMs, 4000);
  // One per idle mapping, and nothing to a socket that did not ask; never an echo.
  EXPECT_FALSE(mapping.Receive(1500ms));
  EXPECT_FALSE(other.Receive(100ms));
  EXPECT_FALSE(NextEcho(*session, 200ms));
  // A stranger's token, or a mapping past its idle datagram, gets nothing.
  mapping.SendTo(srv, 5060, request);
  other.SendTo(srv, 5060, RequestText({"0123.t2-3.r1", 3, TKind::Busy, 2, 1}));
  EXPECT_FALSE(mapping.Receive(500ms));
  EXPECT_FALSE(other.Receive(100ms));
  EXPECT_TRUE(server->WaitForLine("NAT time-out datagram"));
}
