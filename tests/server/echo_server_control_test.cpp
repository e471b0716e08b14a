// The control channel over real loopback sockets: greeting, token, echoes and their routing,
// and the limits that guard it.
#include <gtest/gtest.h>

#include <csignal>

#include "probes/SipProbe.h"
#include "tests/server/LoopbackPeer.h"

using namespace loopback;

namespace {

bool IsLowerHex(const std::string& s) {
  return !s.empty() && s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

TEST(EchoServerControl, greeting_answers_fresh_token_and_terminator) {
  const std::string srv = "127.0.31.1";
  RunningServer server(TestConfig(srv));
  Peer peer;
  auto a = Greet(peer, srv, 80, "127.0.31.2");
  auto b = Greet(peer, srv, 80, "127.0.31.2");
  ASSERT_TRUE(a && b);
  EXPECT_TRUE(IsLowerHex(a->token)) << a->token;
  EXPECT_GE(a->token.size(), 32u);
  EXPECT_NE(a->token, b->token);
  EXPECT_TRUE(a->buffer.empty());  // nothing after the terminator
  EXPECT_EQ(server.Server().Counters().Sessions, 2u);
}

TEST(EchoServerControl, echo_is_report_line_datagram_and_zero_byte_scrambled) {
  const std::string srv = "127.0.31.3", me = "127.0.31.4";
  RunningServer server(TestConfig(srv));
  Peer peer;
  auto s = Greet(peer, srv, 80, me);
  ASSERT_TRUE(s);
  auto sip5060 = peer.Udp(me, 5060);
  auto sip5058 = peer.Udp(me, 5058);

  struct Case {
    udp::socket* socket;
    uint16_t serverPort;
    bool invite;
  };
  const Case cases[] = {{&sip5060, 5060, false}, {&sip5058, 5058, false}, {&sip5060, 5060, true}};
  for (const auto& c : cases) {
    TSipProbe probe;
    const std::string local = std::to_string(c.socket->local_endpoint().port());
    if (c.invite)
      probe.BuildInvite(s->token, std::to_string(c.serverPort), me, local, false, 5004);
    else
      probe.BuildRegister(s->token, std::to_string(c.serverPort), me, local);
    const std::string& msg = c.invite ? probe.InviteMsg : probe.RegisterMsg;
    peer.SendTo(*c.socket, msg, srv, c.serverPort);

    // The raw bytes on the wire: the scrambled frame, closed by a scrambled zero byte.
    const auto raw = peer.ReadUntil(s->socket, s->buffer, std::string(1, '\x55'));
    ASSERT_TRUE(raw);
    const std::string echo = Scramble(*raw);
    const std::string report = "Received " + std::to_string(msg.size()) + " bytes on UDP port " +
                               std::to_string(c.serverPort) + " from " + me + ":" + local;
    EXPECT_EQ(echo, report + "\r\n" + msg);

    // As the tester judges it: the first line is the server's, the rest the probe unchanged.
    std::string rest = echo;
    EXPECT_EQ(CutLines(rest, 1), report);
    std::vector<std::string> lines;
    const int result = c.invite
        ? probe.CheckInviteEcho(rest, [&](const std::string& l) { lines.push_back(l); })
        : probe.CheckRegisterEcho(rest, [&](const std::string& l) { lines.push_back(l); });
    EXPECT_EQ(result, 0);
  }
}

TEST(EchoServerControl, two_sessions_get_only_their_own_echoes) {
  const std::string srv = "127.0.31.5", me = "127.0.31.6";
  RunningServer server(TestConfig(srv));
  Peer peer;
  // Both from one address, so only the token can tell them apart.
  auto a = Greet(peer, srv, 80, me);
  auto b = Greet(peer, srv, 80, me);
  ASSERT_TRUE(a && b);
  auto udpA = peer.Udp(me);
  auto udpB = peer.Udp(me);
  TSipProbe pa, pb;
  pa.BuildRegister(a->token, "5060", me, "1");
  pb.BuildRegister(b->token, "5060", me, "2");
  peer.SendTo(udpA, pa.RegisterMsg, srv, 5060);
  peer.SendTo(udpB, pb.RegisterMsg, srv, 5060);
  // The server handles datagrams in order: had A's gone to B, B would see it first.
  const auto echoB = NextEcho(peer, *b);
  const auto echoA = NextEcho(peer, *a);
  ASSERT_TRUE(echoA && echoB);
  EXPECT_NE(echoA->find(pa.RegisterMsg), std::string::npos);
  EXPECT_NE(echoB->find(pb.RegisterMsg), std::string::npos);
  pa.BuildRegister(a->token, "5058", me, "1");
  peer.SendTo(udpA, pa.RegisterMsg, srv, 5058);
  const auto secondA = NextEcho(peer, *a);
  ASSERT_TRUE(secondA);
  EXPECT_NE(secondA->find(pa.RegisterMsg), std::string::npos);
  EXPECT_TRUE(b->buffer.empty());
}

TEST(EchoServerControl, unknown_token_gets_no_echo_and_no_udp_output) {
  const std::string srv = "127.0.31.7", me = "127.0.31.8", stranger = "127.0.31.9";
  RunningServer server(TestConfig(srv));
  Peer peer;
  auto a = Greet(peer, srv, 80, me);
  auto b = Greet(peer, srv, 80, me);
  ASSERT_TRUE(a && b);
  auto fromStranger = peer.Udp(stranger);
  auto fromMe = peer.Udp(me);
  auto rtpAtStranger = peer.Udp(stranger, 5004);
  TSipProbe probe;
  // A NAT session test request that would make the server send if it were taken.
  probe.BuildInvite("0000000000000000", "5060", stranger, "5060", true, 5004);
  peer.SendTo(fromStranger, probe.InviteMsg, srv, 5060);
  // Two sessions from one address: an unknown token from there is not guessed either.
  probe.BuildInvite("1111111111111111", "5060", me, "5060", true, 5004);
  peer.SendTo(fromMe, probe.InviteMsg, srv, 5060);
  // Then a good one: it must be the first echo either session sees.
  TSipProbe good;
  good.BuildRegister(a->token, "5060", me, "5060");
  peer.SendTo(fromMe, good.RegisterMsg, srv, 5060);
  const auto echo = NextEcho(peer, *a);
  ASSERT_TRUE(echo);
  EXPECT_NE(echo->find(good.RegisterMsg), std::string::npos);
  EXPECT_TRUE(a->buffer.empty());
  EXPECT_TRUE(b->buffer.empty());
  // Past the first report time of the schedule (300 ms) and the burst: nothing came.
  EXPECT_FALSE(peer.Receive(fromStranger, 800ms));
  EXPECT_FALSE(peer.Receive(rtpAtStranger, 10ms));
  EXPECT_FALSE(peer.Receive(fromMe, 10ms));
  const auto counters = server.Server().Counters();
  EXPECT_EQ(counters.Dropped, 2u);
  EXPECT_EQ(counters.Echoes, 1u);
  EXPECT_EQ(counters.NatReports, 0u);
  EXPECT_EQ(counters.RtpPackets, 0u);
  EXPECT_TRUE(server.WaitForLine("dropped: no session"));
}

TEST(EchoServerControl, rewritten_call_id_falls_back_to_the_one_session_of_the_address) {
  const std::string srv = "127.0.31.10", me = "127.0.31.11";
  RunningServer server(TestConfig(srv));
  Peer peer;
  auto s = Greet(peer, srv, 80, me);
  ASSERT_TRUE(s);
  auto udp = peer.Udp(me);
  TSipProbe probe;
  probe.BuildRegister("rewritten-by-router", "5060", me, "5060");
  peer.SendTo(udp, probe.RegisterMsg, srv, 5060);
  const auto echo = NextEcho(peer, *s);
  ASSERT_TRUE(echo);
  std::string rest = *echo;
  EXPECT_NE(CutLines(rest, 1).find("matched by address"), std::string::npos);
  EXPECT_EQ(rest, probe.RegisterMsg);
}

TEST(EchoServerControl, bad_or_endless_input_is_cut_off) {
  const std::string srv = "127.0.31.12", me = "127.0.31.13";
  TEchoServerConfig config = TestConfig(srv);
  config.GreetingTimeoutMs = 300;
  RunningServer server(config);
  struct Case {
    const char* name;
    std::string first;
    bool endless;  // keep sending without a zero byte
  };
  const Case cases[] = {
      {"greeting without its zero byte, then endless bytes", "GET 5060", true},
      {"endless bytes from the start", "", true},
      {"something else", "HELLO\r\n", false},
      {"nothing at all (greeting time-out)", "", false},
      {"a greeting and then a flood", std::string("GET 5060\0", 9), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Peer peer;
    auto s = peer.Connect(srv, 80, me);
    if (!c.first.empty()) peer.Write(s, c.first);
    if (c.endless) {
      // Far more than any bound; the server must close before it is all sent.
      const std::string chunk(4096, 'A');
      asio::error_code ec;
      for (int i = 0; i < 256 && !ec; ++i) asio::write(s, asio::buffer(chunk), ec);
    }
    std::string received;
    EXPECT_TRUE(peer.WaitClosed(s, 3000ms, &received));
    // No token is handed out to any of these, except after the real greeting.
    if (c.first.size() != 9) {
      EXPECT_TRUE(received.empty());
    }
  }
  EXPECT_EQ(server.Server().Counters().OpenConnections, 0u);
}

TEST(EchoServerControl, connections_per_address_are_limited) {
  const std::string srv = "127.0.31.14";
  TEchoServerConfig config = TestConfig(srv);
  config.MaxConnectionsPerAddress = 2;
  RunningServer server(config);
  Peer peer;
  auto a = Greet(peer, srv, 80, "127.0.31.15");
  auto b = Greet(peer, srv, 80, "127.0.31.15");
  ASSERT_TRUE(a && b);
  auto third = peer.Connect(srv, 80, "127.0.31.15");
  EXPECT_TRUE(peer.WaitClosed(third));
  // Another address is not affected.
  EXPECT_TRUE(Greet(peer, srv, 80, "127.0.31.16"));
  EXPECT_EQ(server.Server().Counters().Refused, 1u);
}

TEST(EchoServerControl, stop_closes_sessions_and_logs_one_line_each) {
  const std::string srv = "127.0.31.17";
  auto server = std::make_unique<RunningServer>(TestConfig(srv));
  Peer peer;
  auto a = Greet(peer, srv, 80, "127.0.31.18");
  auto b = Greet(peer, srv, 80, "127.0.31.19");
  ASSERT_TRUE(a && b);
  server->Server().Stop();
  EXPECT_TRUE(peer.WaitClosed(a->socket));
  EXPECT_TRUE(peer.WaitClosed(b->socket));
  int sessionLines = 0;
  for (const auto& l : server->Lines())
    if (l.rfind("session ", 0) == 0) ++sessionLines;
  EXPECT_EQ(sessionLines, 2);
}

TEST(EchoServerControl, sigterm_ends_the_server_cleanly) {
  const std::string srv = "127.0.31.20";
  RunningServer server(TestConfig(srv), true);
  ASSERT_TRUE(server.WaitForLine("serving on"));
  Peer peer;
  auto a = Greet(peer, srv, 80, "127.0.31.21");
  ASSERT_TRUE(a);
  std::raise(SIGTERM);
  EXPECT_TRUE(peer.WaitClosed(a->socket));
  EXPECT_TRUE(server.WaitForLine("stopping: SIGTERM"));
  EXPECT_TRUE(server.WaitForLine("server stopping"));  // the session's own line
  // Nothing listens any more.
  tcp::socket late(peer.io);
  asio::error_code ec;
  late.connect(tcp::endpoint(asio::ip::make_address_v4(srv), 80), ec);
  EXPECT_TRUE(ec);
}

}  // namespace
