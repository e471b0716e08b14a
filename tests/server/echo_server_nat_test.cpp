// The NAT session test and the RTP burst over real loopback sockets.
#include <gtest/gtest.h>

#include "probes/SipProbe.h"
#include "proto/NatTimeoutWire.h"
#include "tests/server/ServerTest.h"

using namespace servertest;

namespace {

class EchoServerNat : public ServerTest {};

// A label's value as the tester reads it: one character after the label, up to the next blank.
std::optional<long> LabelValue(const std::string& text, const std::string& label) {
  const size_t at = text.find(label);
  if (at == std::string::npos) return std::nullopt;
  const size_t start = at + label.size() + 1;
  const size_t blank = text.find(' ', start);
  if (start > text.size() || blank == std::string::npos) return std::nullopt;
  return std::stol(text.substr(start, blank - start));
}

TEST_F(EchoServerNat, reports_follow_the_schedule_of_the_port) {
  ASSERT_TRUE(Open());  // 5060: 300, 600 ms; 5058: 200 ms
  auto sip5060 = Udp(me, 5060);
  auto sip5058 = Udp(me, 5058);
  TSipProbe p60, p58;
  p60.BuildInvite(session->token, "5060", me, "5060", true, 5004);
  p58.BuildInvite(session->token, "5058", me, "5058", true, 5006);
  // Six INVITEs per socket, as the tester sends them: one schedule per port all the same.
  for (int i = 0; i < 6; ++i) {
    sip5060.SendTo(srv, 5060, p60.InviteMsg);
    sip5058.SendTo(srv, 5058, p58.InviteMsg);
  }
  for (int i = 0; i < 12; ++i) ASSERT_TRUE(NextEcho(*session)) << i;

  struct Expected {
    UdpPeer* socket;
    uint16_t from;
    long sentAfter;
    std::optional<long> next;
  };
  const Expected expected[] = {
      {&sip5058, 5058, 200, std::nullopt},
      {&sip5060, 5060, 300, 600},
      {&sip5060, 5060, 600, std::nullopt},
  };
  for (const auto& e : expected) {
    SCOPED_TRACE(e.sentAfter);
    const auto d = e.socket->Receive(3000ms);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->fromPort, e.from);
    EXPECT_EQ(d->fromIp, srv);
    const auto sent = LabelValue(d->data, "Sent after");
    ASSERT_TRUE(sent) << d->data;
    // The value is the idle time measured: at least the planned gap, and not far past it.
    EXPECT_GE(*sent, e.sentAfter);
    EXPECT_LT(*sent, e.sentAfter + 1000);
    EXPECT_EQ(LabelValue(d->data, "Next pkt after"), e.next) << d->data;
    const std::string prefix = "Sent after " + std::to_string(*sent) + " ";
    EXPECT_EQ(d->data.substr(0, prefix.size()), prefix);
    if (e.next) {
      EXPECT_EQ(d->data, prefix + "Next pkt after " + std::to_string(*e.next) + " ");
    }
  }
  // Once through: nothing more on either port.
  EXPECT_FALSE(sip5060.Receive(700ms));
  EXPECT_FALSE(sip5058.Receive(10ms));
  EXPECT_EQ(server->Server().Counters().NatReports, 3u);
}

TEST_F(EchoServerNat, ordinary_invite_starts_nothing) {
  ASSERT_TRUE(Open());
  auto sip = Udp(me, 5060);
  auto rtp = Udp(me, 7004);
  TSipProbe p;
  p.BuildInvite(session->token, "5060", me, "5060", false, 5004);
  sip.SendTo(srv, 5060, p.InviteMsg);
  ASSERT_TRUE(NextEcho(*session));
  EXPECT_FALSE(sip.Receive(800ms));
  EXPECT_FALSE(rtp.Receive(10ms));
}

TEST_F(EchoServerNat, schedule_stops_when_the_control_connection_closes) {
  ASSERT_TRUE(Open());
  auto sip = Udp(me, 5060);
  TSipProbe p;
  p.BuildInvite(session->token, "5060", me, "5060", true, 5004);
  sip.SendTo(srv, 5060, p.InviteMsg);
  ASSERT_TRUE(NextEcho(*session));
  session->conn.Close();
  ASSERT_TRUE(server->WaitForLine("1 session from 1 network ended without a probe"));
  EXPECT_FALSE(sip.Receive(1200ms));
  EXPECT_EQ(server->Server().Counters().NatReports, 0u);
}

TEST_F(EchoServerNat, traffic_on_the_mapping_postpones_the_report) {
  TEchoServerConfig config = Config();
  config.SipPorts = {{5060, {400}}, {5058, {}}};
  ASSERT_TRUE(Open(config));
  auto sip = Udp(me, 5060);
  TSipProbe p;
  p.BuildInvite(session->token, "5060", me, "5060", true, 5004);
  const auto start = std::chrono::steady_clock::now();
  sip.SendTo(srv, 5060, p.InviteMsg);
  ASSERT_TRUE(NextEcho(*session));
  // 250 ms later the mapping is used again: the idle gap starts anew.
  EXPECT_FALSE(sip.Receive(250ms));
  sip.SendTo(srv, 5060, p.InviteMsg);
  ASSERT_TRUE(NextEcho(*session));
  const auto d = sip.Receive(3000ms);
  ASSERT_TRUE(d);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 640ms);
  const auto sent = LabelValue(d->data, "Sent after");
  ASSERT_TRUE(sent);
  EXPECT_GE(*sent, 400);
  EXPECT_LT(*sent, 1000);
  EXPECT_EQ(d->data.find("Next pkt after"), std::string::npos);
}

TEST_F(EchoServerNat, rtp_burst_goes_only_to_the_control_peer_address) {
  const std::string named = support::TestAddress(2), other = support::TestAddress(3);
  ASSERT_TRUE(Open());  // bursts of 5 packets
  const uint16_t audio = 41000;
  auto atPeer = Udp(me, audio);
  auto atNamed = Udp(named, audio);
  auto atOther = Udp(other, audio);
  auto fromOther = Udp(other);

  // The SDP names another host; the token is right, but the INVITE comes from an address that
  // holds no control connection.
  TSipProbe p;
  p.BuildInvite(session->token, "5060", named, "5060", true, audio);
  fromOther.SendTo(srv, 5060, p.InviteMsg);
  ASSERT_TRUE(NextEcho(*session));

  uint16_t lastSequence = 0;
  uint32_t ssrc = 0;
  for (int i = 0; i < 5; ++i) {
    const auto d = atPeer.Receive();
    ASSERT_TRUE(d) << i;
    const std::string& r = d->data;
    ASSERT_EQ(r.size(), 12u + 160u);
    EXPECT_EQ(static_cast<uint8_t>(r[0]), 0x80);  // version 2
    EXPECT_EQ(static_cast<uint8_t>(r[1]) & 0x7F, 8);  // PCMA
    EXPECT_EQ((static_cast<uint8_t>(r[1]) & 0x80) != 0, i == 0);  // marker on the first
    const uint16_t sequence =
        static_cast<uint16_t>(static_cast<uint8_t>(r[2]) << 8 | static_cast<uint8_t>(r[3]));
    const uint32_t id = static_cast<uint32_t>(static_cast<uint8_t>(r[8])) << 24 |
                        static_cast<uint32_t>(static_cast<uint8_t>(r[9])) << 16 |
                        static_cast<uint32_t>(static_cast<uint8_t>(r[10])) << 8 |
                        static_cast<uint8_t>(r[11]);
    if (i > 0) {
      EXPECT_EQ(sequence, static_cast<uint16_t>(lastSequence + 1));
      EXPECT_EQ(id, ssrc);
    }
    lastSequence = sequence;
    ssrc = id;
    EXPECT_EQ(d->fromIp, srv);
  }
  EXPECT_FALSE(atPeer.Receive(300ms));
  EXPECT_FALSE(atNamed.Receive(10ms));
  EXPECT_FALSE(atOther.Receive(10ms));
  // No NAT report either: its target, the INVITE's source, has no control connection.
  EXPECT_FALSE(fromOther.Receive(500ms));
  const auto counters = server->Server().Counters();
  EXPECT_EQ(counters.RtpPackets, 5u);
  EXPECT_EQ(counters.NatReports, 0u);
}

TEST_F(EchoServerNat, a_sessions_datagrams_go_only_to_its_own_address) {
  // Another tester's address holds a session of its own: a forged source naming it, with the
  // attacker's token, aims neither reports nor time-out answers there.
  const std::string victim = support::TestAddress(2);
  TEchoServerConfig config = Config();
  config.TimeoutIdleSecs = {2};
  ASSERT_TRUE(Open(config));
  auto victimSession = Greet(victim);
  ASSERT_TRUE(victimSession);
  auto forged = Udp(victim, 5060);
  auto own = Udp(me, 5060);
  TSipProbe p;
  p.BuildInvite(session->token, "5060", me, "5060", true, 5004);
  const std::string timeoutRequest =
      nat_timeout::RequestText({session->token, 2, nat_timeout::TKind::New, 2, 1});
  forged.SendTo(srv, 5060, p.InviteMsg);
  ASSERT_TRUE(NextEcho(*session));
  forged.SendTo(srv, 5060, timeoutRequest);
  // From its own address the same datagrams are served: the first answer, then the report.
  own.SendTo(srv, 5060, timeoutRequest);
  ASSERT_TRUE(own.Receive(3000ms));
  own.SendTo(srv, 5060, p.InviteMsg);
  ASSERT_TRUE(NextEcho(*session));
  const auto report = own.Receive(3000ms);
  ASSERT_TRUE(report);
  EXPECT_TRUE(LabelValue(report->data, "Sent after")) << report->data;
  EXPECT_FALSE(forged.Receive(1500ms));
}

}  // namespace
