// Large answers over real loopback sockets: sent only to a source the session's own SIP
// datagrams came from, once per size, and only as large as what reached the port.
#include <gtest/gtest.h>

#include <algorithm>

#include "probes/LargeSip.h"
#include "probes/SipProbe.h"
#include "proto/LargeSipWire.h"
#include "tests/server/ServerTest.h"

using namespace servertest;
using support::TestAddress;

namespace {

class EchoServerLarge : public ServerTest {};

std::string Register(const std::string& token, const UdpPeer& from) {
  TSipProbe p;
  p.BuildRegister(token, "5060", from.Ip(), std::to_string(from.Port()));
  return p.RegisterMsg;
}

// The sizes of the answers that reach `peer`, as their CSeq names them: `expected` of them, and
// none more. The server sends them in the handler that echoed their request, so any extra one
// is on loopback already.
std::vector<int> Answers(const UdpPeer& peer, const std::string& token, size_t expected) {
  std::vector<int> sizes;
  while (const auto d = peer.Receive(sizes.size() < expected ? 3000ms : 100ms)) {
    const auto down = large_sip::ParseDown(d->data);
    EXPECT_TRUE(down && down->Token == token) << d->data.substr(0, 80);
    if (!down) continue;
    EXPECT_EQ(d->data.size(), static_cast<size_t>(down->Bytes));
    EXPECT_EQ(d->data, large_sip::DownText(token, down->Bytes));
    sizes.push_back(down->Bytes);
  }
  return sizes;
}

TEST_F(EchoServerLarge, answers_go_only_to_the_sessions_own_sip_source_once_each) {
  struct Row {
    const char* name;
    int paidBytes;      // the large INVITE by UDP from the SIP socket first; 0: only a REGISTER
    int tcpBytes;       // a large INVITE over TCP from the tester's address; 0: none
    int askFrom;        // 0 the SIP socket, 1 another socket of the tester's address, 2 a forged address
    std::vector<int> asked;
    std::vector<int> answered, again;  // answers to the request, then to the same request again
    bool echoed;        // the request is echoed on the control connection
  };
  const Row rows[] = {
      {"paid by the large INVITEs: both sizes, once", 4000, 0, 0, {2000, 4000}, {2000, 4000}, {}, true},
      {"an odd size, paid by a larger message", 4000, 0, 0, {2999}, {2999}, {}, true},
      {"a size above what came in is not paid", 2000, 0, 0, {2000, 4000}, {2000}, {}, true},
      {"a rewrite that took a few bytes off still pays", 3990, 0, 0, {4000}, {4000}, {}, true},
      {"nothing large came in: nothing goes out", 0, 0, 0, {2000}, {}, {}, true},
      {"paid over TCP, sent to the SIP socket", 0, 4000, 0, {2000, 4000}, {2000, 4000}, {}, true},
      {"another port of the tester's address: never a SIP source", 4000, 0, 1, {2000}, {}, {}, true},
      {"a forged source address: dropped, nothing sent anywhere", 4000, 0, 2, {2000}, {}, {}, false},
  };
  int n = 2;
  const std::string forger = TestAddress(15);
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const std::string from = TestAddress(n++);
    Serve(Config());
    auto s = Greet(from);
    ASSERT_TRUE(s);
    const UdpPeer sip = Udp(from), other = Udp(from), forged = Udp(forger);
    sip.SendTo(srv, 5060, Register(s->token, sip));
    ASSERT_TRUE(NextEcho(*s));
    if (r.paidBytes) {
      const std::string invite = BuildLargeInvite(s->token, 5060, sip.Ip(), sip.Port(), 30000, r.paidBytes, false);
      ASSERT_EQ(invite.size(), static_cast<size_t>(r.paidBytes));
      sip.SendTo(srv, 5060, invite);
      const auto echo = NextEcho(*s);
      ASSERT_TRUE(echo);
      EXPECT_EQ(echo->substr(echo->find("\r\n") + 2), invite) << "echoed whole";
    }
    if (r.tcpBytes) {
      TcpConn tcp = TcpConn::Connect(srv, 5060, from);
      ASSERT_TRUE(tcp.Send(BuildLargeInvite(s->token, 5060, from, 40000, 30004, r.tcpBytes, true)));
      ASSERT_TRUE(NextEcho(*s));
    }
    const UdpPeer& asker = r.askFrom == 0 ? sip : r.askFrom == 1 ? other : forged;
    const std::string ask = large_sip::AskText({s->token, r.asked});
    for (const std::vector<int>* expected : {&r.answered, &r.again}) {
      const uint64_t dropped = server->Server().Counters().Dropped;
      asker.SendTo(srv, 5060, ask);
      if (r.echoed) {
        const auto echo = NextEcho(*s);
        ASSERT_TRUE(echo);
        EXPECT_EQ(echo->substr(echo->find("\r\n") + 2), ask);
      } else {
        ASSERT_TRUE(support::WaitUntil([&] { return server->Server().Counters().Dropped > dropped; }));
        EXPECT_FALSE(NextEcho(*s, 100ms)) << "no echo of a forged request";
      }
      std::vector<int> got = Answers(asker, s->token, expected->size());
      std::sort(got.begin(), got.end());
      EXPECT_EQ(got, *expected);
      for (const UdpPeer* p : {&sip, &other, &forged})
        if (p != &asker) {
          EXPECT_FALSE(p->Receive(50ms)) << "nothing to anyone else";
        }
    }
    server.reset();
  }
}

}  // namespace
