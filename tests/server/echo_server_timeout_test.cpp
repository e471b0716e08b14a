// The NAT time-out test's side of the echo server: what a session's mappings may cost, and the
// answers and idle datagrams over real loopback sockets.
#include <gtest/gtest.h>

#include "proto/NatTimeoutWire.h"
#include "server/SessionPolicy.h"
#include "tests/server/ServerTest.h"

using namespace servertest;
using namespace nat_timeout;

namespace {

const TUdpPeer kFrom{0x7f000001, 40000};
constexpr uint16_t kPort = 3480;

// A request of mapping m as a tester sends it, `bytes` long.
TRequest Req(int m, TKind kind, int idle, int seq, size_t bytes) {
  return PaddedTo({"tok", m, kind, idle, seq}, bytes);
}

}  // namespace

TEST(TimeoutMappings, TakesOnlyWhatThePlanHasRoomForFromTheFirstSource) {
  const std::vector<int> idle = {2, 3};  // room for 5 mappings: new and busy of 2 and 3 s, one refresh
  TTimeoutMappings maps(idle, 1);
  const TServerTime t0;
  struct Row {
    const char* name;
    TRequest r;
    TUdpPeer from;
    uint16_t port;
    bool taken;
  } rows[] = {
      {"new 2 s", Req(2, TKind::New, 2, 1, 200), kFrom, kPort, true},
      {"its repeat", Req(2, TKind::New, 2, 2, 200), kFrom, kPort, true},
      {"its repeat from another port (a forged source)", Req(2, TKind::New, 2, 3, 200), {kFrom.Address, 40001}, kPort, false},
      {"its repeat to another server port", Req(2, TKind::New, 2, 3, 200), kFrom, 5060, false},
      {"the same mapping claiming another idle time", Req(2, TKind::New, 3, 3, 200), kFrom, kPort, false},
      {"another mapping claiming new 2 s", Req(9, TKind::New, 2, 1, 200), kFrom, kPort, false},
      {"an idle time not in the plan", Req(3, TKind::New, 4, 1, 200), kFrom, kPort, false},
      {"refresh too small to pay for its datagrams", Req(1, TKind::Refresh, 0, 1, kMinRefreshRequestBytes - 1), kFrom, kPort, false},
      {"refresh", Req(1, TKind::Refresh, 0, 1, kMinRefreshRequestBytes), {kFrom.Address, 40002}, kPort, true},
      {"busy 2 s", Req(3, TKind::Busy, 2, 1, 200), kFrom, kPort, true},
      {"new 3 s", Req(4, TKind::New, 3, 1, 200), kFrom, kPort, true},
      {"busy 3 s, on a SIP port as an older tester does", Req(5, TKind::Busy, 3, 1, 60), kFrom, 5060, true},
      {"a sixth mapping", Req(6, TKind::Busy, 3, 1, 200), kFrom, kPort, false},
  };
  for (const Row& r : rows)
    EXPECT_EQ(maps.Take(r.r, RequestText(r.r).size(), r.from, 1, r.port, true, t0).has_value(), r.taken) << r.name;
  EXPECT_EQ(maps.Size(), 5u) << "refused requests open no mapping";
  for (int seq = 3; seq <= kTimeoutRequestsPerMapping; ++seq)
    EXPECT_TRUE(maps.Take(Req(2, TKind::New, 2, seq, 200), 200, kFrom, 1, kPort, true, t0)) << seq;
  EXPECT_FALSE(maps.Take(Req(2, TKind::New, 2, 9, 200), 200, kFrom, 1, kPort, true, t0)) << "past the requests a mapping may send";
  const auto warmUp = std::chrono::milliseconds(kTimeoutWarmUpMs);
  EXPECT_TRUE(maps.Take(Req(3, TKind::Busy, 2, 2, 200), 200, kFrom, 1, kPort, true, t0 + warmUp)) << "the last moment of its warm-up";
  EXPECT_FALSE(maps.Take(Req(3, TKind::Busy, 2, 3, 200), 200, kFrom, 1, kPort, true, t0 + warmUp + 1ms)) << "past it: no putting off";
  TTimeoutMappings closed(idle, 1);
  EXPECT_FALSE(closed.Take(Req(2, TKind::New, 2, 1, 200), 200, kFrom, 1, kPort, false, t0)) << "no new mapping once the checks' time is up";
}

// What one mapping is sent for what it sent: rows of one request each, all datagrams taken.
TEST(TimeoutMappings, SendsNoMoreThanTheRequestsPaidForAndEachDueDatagramSeveralTimes) {
  const std::vector<int> idle = {2, 3};
  const std::string token = "tok";
  struct Row {
    const char* name;
    TKind kind;
    size_t bytes;
    int datagrams;  // answers included
  } rows[] = {
      {"new, padded", TKind::New, 200, 1 + kIdleCopies},
      {"new, as an older tester sends it (no pad): the answer and one copy", TKind::New, 0, 2},
      // The refresh mapping: one every second up to 3 s, then three more.
      {"refresh, padded", TKind::Refresh, kMinRefreshRequestBytes, 1 + 3 + kRefreshTailGaps},
  };
  for (const Row& r : rows) {
    TTimeoutMappings maps(idle, 1);
    const TServerTime t0;
    const int m = r.kind == TKind::Refresh ? 1 : 2;
    const TRequest q = Req(m, r.kind, r.kind == TKind::Refresh ? 0 : 2, 1, r.bytes);
    const size_t in = RequestText(q).size();
    size_t out = 0;
    int count = 0;
    if (const auto answer = maps.Take(q, in, kFrom, 1, kPort, true, t0)) {
      out += answer->Text.size(), ++count;
      EXPECT_EQ(answer->To.Port, kFrom.Port) << r.name;
    }
    std::vector<TServerTime> when;
    for (int wake = 0; wake < 100 && maps.NextDue(); ++wake) {
      const TServerTime now = *maps.NextDue();
      for (const TTimeoutSend& s : maps.TakeDue(token, now)) {
        EXPECT_LE(s.Text.size(), in) << r.name;
        EXPECT_EQ(s.ServerPort, kPort) << r.name;
        out += s.Text.size(), ++count;
        when.push_back(now);
      }
    }
    EXPECT_EQ(count, r.datagrams) << r.name;
    EXPECT_LE(out, static_cast<size_t>(kPayFactor) * in) << r.name << ": never more than twice the bytes";
    EXPECT_TRUE(maps.AllFinished()) << r.name;
    if (r.kind == TKind::New && when.size() == static_cast<size_t>(kIdleCopies)) {
      EXPECT_EQ(when[0], TServerTime() + 2s) << r.name;
      EXPECT_EQ(when.back() - when[0], std::chrono::milliseconds(kCopyGapMs * (kIdleCopies - 1))) << r.name;
    }
    if (r.kind == TKind::Refresh) {
      ASSERT_FALSE(when.empty());
      EXPECT_EQ(when.back(), TServerTime() + std::chrono::seconds(r.datagrams - 1)) << "one each second";
      EXPECT_EQ(maps.LastDue(), when.back()) << r.name;
    }
  }
}

class EchoServerTimeout : public ServerTest {};

TEST_F(EchoServerTimeout, answers_on_its_own_port_then_several_times_after_the_idle_time_only_to_the_first_source) {
  TEchoServerConfig config = Config();
  config.TimeoutIdleSecs = {2, 3};
  config.TimeoutRefreshSecs = 1;
  config.TimeoutPort = 5090;  // not the default
  ASSERT_TRUE(Open(config));
  const auto plan = PlanFromToken(session->token);
  ASSERT_TRUE(plan);
  EXPECT_EQ(plan->Port, 5090) << "the token announces the port";
  auto mapping = Udp(me);
  auto forged = Udp(me);  // the session's own address, another port
  auto other = Udp(me);
  const std::string request = RequestText(PaddedTo({session->token, 2, TKind::New, 2, 1}, 400));
  mapping.SendTo(srv, 5090, request);
  // The answer at once, no larger than the request.
  auto next = [&](UdpPeer& u, std::chrono::milliseconds deadline, int from = 5090) {
    const auto d = u.Receive(deadline);
    EXPECT_TRUE(!d || (d->data.size() <= request.size() && d->fromPort == from));
    return d ? ParseReply(d->data) : std::nullopt;
  };
  const auto ok = next(mapping, 3000ms);
  ASSERT_TRUE(ok && ok->Answer && ok->Mapping == 2);
  // The same mapping from another port of the address: not taken, nothing sent there.
  forged.SendTo(srv, 5090, RequestText(PaddedTo({session->token, 2, TKind::New, 2, 2}, 1400)));
  EXPECT_FALSE(forged.Receive(300ms));
  // Its datagram after 2 s of silence, kIdleCopies times, to the first source only.
  for (int copy = 0; copy < kIdleCopies; ++copy) {
    const auto idle = next(mapping, 5000ms);
    ASSERT_TRUE(idle && !idle->Answer) << copy;
    EXPECT_GE(idle->AfterMs, 2000);
    EXPECT_LT(idle->AfterMs, 4000);
  }
  EXPECT_FALSE(mapping.Receive(1000ms));
  EXPECT_FALSE(forged.Receive(100ms));
  EXPECT_FALSE(NextEcho(*session, 200ms)) << "never an echo";
  // An older tester's request on the SIP port: its answer, and its datagram once.
  const std::string older = RequestText({session->token, 3, TKind::New, 3, 1});
  other.SendTo(srv, 5060, older);
  const auto olderOk = next(other, 3000ms, 5060);
  ASSERT_TRUE(olderOk && olderOk->Answer);
  const auto olderIdle = other.Receive(5000ms);
  ASSERT_TRUE(olderIdle && olderIdle->fromPort == 5060);
  EXPECT_FALSE(other.Receive(1000ms)) << "its request paid for one";
  // A stranger's token gets nothing.
  other.SendTo(srv, 5090, RequestText(PaddedTo({"0123.t2-3.r1", 4, TKind::Busy, 2, 1}, 400)));
  EXPECT_FALSE(other.Receive(300ms));
  EXPECT_TRUE(server->WaitForLine("NAT time-out datagram"));
}

TEST_F(EchoServerTimeout, caps_the_datagrams_to_one_address) {
  TEchoServerConfig config = Config();
  config.TimeoutIdleSecs = {2, 3};
  config.TimeoutPort = 0;  // any free port, as announced
  config.TimeoutDatagramBurstPerAddress = 2;
  config.TimeoutDatagramsPerAddressPerSecond = 0.01;
  ASSERT_TRUE(Open(config));
  const auto plan = PlanFromToken(session->token);
  ASSERT_TRUE(plan && plan->Port != 0);
  auto a = Udp(me);
  auto b = Udp(me);
  a.SendTo(srv, plan->Port, RequestText(PaddedTo({session->token, 2, TKind::New, 2, 1}, 400)));
  ASSERT_TRUE(a.Receive(3000ms));
  b.SendTo(srv, plan->Port, RequestText(PaddedTo({session->token, 3, TKind::Busy, 2, 1}, 400)));
  ASSERT_TRUE(b.Receive(3000ms));
  // The cap of two is spent: the idle datagrams of both mappings stay home.
  EXPECT_FALSE(a.Receive(3500ms));
  EXPECT_FALSE(b.Receive(100ms));
}
