// The UDP side over real loopback sockets: the NAT schedule fitted to the session, replies
// from the address the peer talked to, and a flood that locks nobody out.
#include <gtest/gtest.h>

#include "proto/XorUnit.h"
#include "probes/SipProbe.h"
#include "tests/server/ServerTest.h"

using namespace servertest;
using support::TestAddress;

namespace {

class EchoServerUdp : public ServerTest {};

std::string Invite(const std::string& token, int serverPort, const UdpPeer& from, bool natTest,
                   int audioPort) {
  TSipProbe p;
  p.BuildInvite(token, std::to_string(serverPort), from.Ip(), std::to_string(from.Port()), natTest,
                audioPort);
  return p.InviteMsg;
}

// A report's value after label, as the tester reads it; -1 when absent.
long Value(const std::string& report, const std::string& label) {
  const size_t at = report.find(label + " ");
  return at == std::string::npos ? -1 : std::stol(report.substr(at + label.size() + 1));
}

TEST_F(EchoServerUdp, default_schedules_fit_the_ports_the_session_tests) {
  struct Case {
    const char* name;
    bool test5058;
    std::vector<long> next5060, next5058;  // "Next pkt after" of each report; -1: none
  };
  const Case cases[] = {
      {"both ports: the ports' own gaps", true, {400, 800, -1}, {600, -1}},
      {"5060 alone: the finer gaps", false, {300, 450, -1}, {}},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string at = TestAddress(n++), from = TestAddress(n++);  // each case its own
    TEchoServerConfig config = support::EchoServerGuard::TestConfig(at);
    config.SipPorts = {{5060, {400, 800}, true}, {5058, {600}, true}};
    config.FirstReportMs = 200;
    config.SinglePortScheduleMs = {300, 450};
    Serve(config);
    auto s = GreetAt(at, 80, from);
    ASSERT_TRUE(s);
    const UdpPeer sip5060(from), sip5058(from);
    for (int i = 0; i < 2; ++i) sip5060.SendTo(at, 5060, Invite(s->token, 5060, sip5060, true, 5004));
    if (c.test5058)
      for (int i = 0; i < 2; ++i) sip5058.SendTo(at, 5058, Invite(s->token, 5058, sip5058, true, 5004));
    for (const auto& [peer, expected] : {std::pair{&sip5060, c.next5060}, {&sip5058, c.next5058}}) {
      for (size_t i = 0; i < expected.size(); ++i) {
        const auto d = peer->Receive(3000ms);
        ASSERT_TRUE(d) << i;
        EXPECT_EQ(Value(d->data, "Next pkt after"), expected[i]) << d->data;
        // The first report comes soon after the INVITEs, announcing the first long gap.
        if (i == 0) {
          EXPECT_LT(Value(d->data, "Sent after"), 1000) << d->data;
        }
      }
      EXPECT_FALSE(peer->Receive(expected.empty() ? 100ms : 600ms));
    }
  }
}

TEST_F(EchoServerUdp, replies_leave_from_the_address_the_peer_talked_to) {
  // Bound to every address, reached at one that is not the host's first: the NAT report and
  // the RTP burst must come from that one, or a NAT would not let them back.
  TEchoServerConfig config = support::EchoServerGuard::TestConfig("0.0.0.0");
  config.ControlPort = 0;
  config.StunPort = 0;  // fixed ports on every address would meet the tests beside this one
  config.RtpPort = 0;
  config.SipPorts = {{0, {200}}};
  Serve(config);
  const int control = server->Server().ControlPort(), sipPort = server->Server().SipPorts().at(0);
  auto s = GreetAt(srv, control, me);  // srv: one of the host's addresses, not its first
  ASSERT_TRUE(s);
  const UdpPeer sip(me), audio(me);
  sip.SendTo(srv, sipPort, Invite(s->token, sipPort, sip, true, audio.Port()));
  ASSERT_TRUE(NextEcho(*s));
  const auto report = sip.Receive();
  ASSERT_TRUE(report);
  EXPECT_EQ(report->fromIp, srv);
  EXPECT_EQ(report->fromPort, sipPort);
  for (int i = 0; i < 5; ++i) {
    const auto rtp = audio.Receive();
    ASSERT_TRUE(rtp) << i;
    EXPECT_EQ(rtp->fromIp, srv) << i;
  }
}

TEST_F(EchoServerUdp, a_flood_from_many_addresses_locks_nobody_out) {
  // A token holder sends from many addresses, more than the server counts: the newest take the
  // places of the idlest, the session's own budget caps its echoes, and a newcomer is served.
  const std::string newcomer = TestAddress(15);
  TEchoServerConfig config = Config();
  config.MaxDatagramSources = 4;
  config.SessionDatagramBurst = 10;
  config.SessionDatagramsPerSecond = 0.001;
  Serve(config);
  auto attacker = Greet(me);
  ASSERT_TRUE(attacker);
  for (int a = 2; a < 14; ++a) {
    const UdpPeer forged(TestAddress(a));
    for (int i = 0; i < 5; ++i)
      forged.SendTo(srv, 5060, Invite(attacker->token, 5060, forged, false, 5004));
  }
  ASSERT_TRUE(support::WaitUntil([&] { return server->Server().Counters().Dropped >= 50; }));
  EXPECT_EQ(server->Server().Counters().Echoes, 10u);

  auto s = Greet(newcomer);
  ASSERT_TRUE(s);
  const UdpPeer sip(newcomer);
  const std::string probe = Invite(s->token, 5060, sip, false, 5004);
  sip.SendTo(srv, 5060, probe);
  const auto echo = NextEcho(*s);
  ASSERT_TRUE(echo);
  EXPECT_EQ(echo->substr(echo->find("\r\n") + 2), probe);
}

}  // namespace
