// The control channel over real loopback sockets: greeting, token, echoes and their routing,
// and the limits that guard it.
#include <gtest/gtest.h>

#include <csignal>

#include "probes/SipProbe.h"
#include "tests/server/ServerTest.h"

using namespace servertest;

namespace {

class EchoServerControl : public ServerTest {};

bool IsLowerHex(const std::string& s) {
  return !s.empty() && s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

TEST_F(EchoServerControl, greeting_answers_fresh_token_and_terminator) {
  Serve();
  auto a = Greet(me);
  auto b = Greet(me);
  ASSERT_TRUE(a && b);
  EXPECT_TRUE(IsLowerHex(a->token.substr(0, 32))) << a->token;
  EXPECT_EQ(a->token.substr(32), ".l1") << "the large answers announced, no call, no NAT time-out test";
  EXPECT_NE(a->token, b->token);
  EXPECT_TRUE(a->conn.Pending().empty());  // nothing after the terminator
  EXPECT_EQ(server->Server().Counters().Sessions, 2u);
}

TEST_F(EchoServerControl, echo_is_report_line_datagram_and_zero_byte_scrambled) {
  ASSERT_TRUE(Open());
  auto sip5060 = Udp(me, 5060);
  auto sip5058 = Udp(me, 5058);

  struct Case {
    UdpPeer* socket;
    uint16_t serverPort;
    bool invite;
  };
  const Case cases[] = {{&sip5060, 5060, false}, {&sip5058, 5058, false}, {&sip5060, 5060, true}};
  for (const auto& c : cases) {
    TSipProbe probe;
    const std::string local = std::to_string(c.socket->Port());
    if (c.invite)
      probe.BuildInvite(session->token, std::to_string(c.serverPort), me, local, false, 5004);
    else
      probe.BuildRegister(session->token, std::to_string(c.serverPort), me, local);
    const std::string& msg = c.invite ? probe.InviteMsg : probe.RegisterMsg;
    c.socket->SendTo(srv, c.serverPort, msg);

    // The raw bytes on the wire: the scrambled frame, closed by a scrambled zero byte.
    const auto raw = session->conn.ReadUntil(std::string(1, '\x55'), 3000ms);
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

TEST_F(EchoServerControl, two_sessions_get_only_their_own_echoes) {
  Serve();
  // Both from one address, so only the token can tell them apart.
  auto a = Greet(me);
  auto b = Greet(me);
  ASSERT_TRUE(a && b);
  auto udpA = Udp(me);
  auto udpB = Udp(me);
  TSipProbe pa, pb;
  pa.BuildRegister(a->token, "5060", me, "1");
  pb.BuildRegister(b->token, "5060", me, "2");
  udpA.SendTo(srv, 5060, pa.RegisterMsg);
  udpB.SendTo(srv, 5060, pb.RegisterMsg);
  // The server handles datagrams in order: had A's gone to B, B would see it first.
  const auto echoB = NextEcho(*b);
  const auto echoA = NextEcho(*a);
  ASSERT_TRUE(echoA && echoB);
  EXPECT_NE(echoA->find(pa.RegisterMsg), std::string::npos);
  EXPECT_NE(echoB->find(pb.RegisterMsg), std::string::npos);
  pa.BuildRegister(a->token, "5058", me, "1");
  udpA.SendTo(srv, 5058, pa.RegisterMsg);
  const auto secondA = NextEcho(*a);
  ASSERT_TRUE(secondA);
  EXPECT_NE(secondA->find(pa.RegisterMsg), std::string::npos);
  EXPECT_TRUE(b->conn.Pending().empty());
}

TEST_F(EchoServerControl, unknown_token_gets_no_echo_and_no_udp_output) {
  const std::string stranger = support::TestAddress(2);
  Serve();
  auto a = Greet(me);
  auto b = Greet(me);
  ASSERT_TRUE(a && b);
  auto fromStranger = Udp(stranger);
  auto fromMe = Udp(me);
  auto rtpAtStranger = Udp(stranger, 5004);
  TSipProbe probe;
  // A NAT session test request that would make the server send if it were taken.
  probe.BuildInvite("0000000000000000", "5060", stranger, "5060", true, 5004);
  fromStranger.SendTo(srv, 5060, probe.InviteMsg);
  // Two sessions from one address: an unknown token from there is not guessed either.
  probe.BuildInvite("1111111111111111", "5060", me, "5060", true, 5004);
  fromMe.SendTo(srv, 5060, probe.InviteMsg);
  // Then a good one: it must be the first echo either session sees.
  TSipProbe good;
  good.BuildRegister(a->token, "5060", me, "5060");
  fromMe.SendTo(srv, 5060, good.RegisterMsg);
  const auto echo = NextEcho(*a);
  ASSERT_TRUE(echo);
  EXPECT_NE(echo->find(good.RegisterMsg), std::string::npos);
  EXPECT_TRUE(a->conn.Pending().empty());
  EXPECT_TRUE(b->conn.Pending().empty());
  // Past the first report time of the schedule (300 ms) and the burst: nothing came.
  EXPECT_FALSE(fromStranger.Receive(800ms));
  EXPECT_FALSE(rtpAtStranger.Receive(10ms));
  EXPECT_FALSE(fromMe.Receive(10ms));
  const auto counters = server->Server().Counters();
  EXPECT_EQ(counters.Dropped, 2u);
  EXPECT_EQ(counters.Echoes, 1u);
  EXPECT_EQ(counters.NatReports, 0u);
  EXPECT_EQ(counters.RtpPackets, 0u);
  EXPECT_TRUE(server->WaitForLine("dropped: no session"));
}

// A router may rewrite the Call-ID: the one session of the address takes such a datagram, held
// back a while, but it starts no NAT test, and once the token was heard nothing comes by address.
TEST_F(EchoServerControl, the_address_fallback_serves_a_rewritten_call_id_and_cannot_be_hijacked) {
  TEchoServerConfig config = Config();
  config.AddressHoldMs = 200;
  ASSERT_TRUE(Open(config));
  auto udp = Udp(me);
  auto audio = Udp(me);
  TSipProbe rewritten, natTest, good;
  rewritten.BuildRegister("rewritten-by-router", "5060", me, std::to_string(udp.Port()));
  natTest.BuildInvite("rewritten-by-router", "5060", me, std::to_string(udp.Port()), true, audio.Port());
  good.BuildRegister(session->token, "5058", me, std::to_string(udp.Port()));

  udp.SendTo(srv, 5060, rewritten.RegisterMsg);
  const auto echo = NextEcho(*session);
  ASSERT_TRUE(echo);
  std::string rest = *echo;
  EXPECT_NE(CutLines(rest, 1).find("matched by address"), std::string::npos);
  EXPECT_EQ(rest, rewritten.RegisterMsg);

  // By address, a NAT test INVITE is echoed and starts nothing.
  udp.SendTo(srv, 5060, natTest.InviteMsg);
  ASSERT_TRUE(NextEcho(*session));
  EXPECT_FALSE(udp.Receive(700ms));  // past the first report's 300 ms
  EXPECT_FALSE(audio.Receive(10ms));

  // A stranger's datagram that races the token's is dropped with it; after it, none is taken.
  udp.SendTo(srv, 5060, rewritten.RegisterMsg);
  udp.SendTo(srv, 5058, good.RegisterMsg);
  const auto tokens = NextEcho(*session);
  ASSERT_TRUE(tokens);
  EXPECT_NE(tokens->find(good.RegisterMsg), std::string::npos);
  udp.SendTo(srv, 5060, rewritten.RegisterMsg);
  EXPECT_TRUE(server->WaitForLine("dropped: no session"));
  EXPECT_FALSE(NextEcho(*session, 500ms));
  const auto counters = server->Server().Counters();
  EXPECT_EQ(counters.Echoes, 3u);
  EXPECT_EQ(counters.NatReports + counters.RtpPackets, 0u);
}

TEST_F(EchoServerControl, bad_or_endless_input_is_cut_off) {
  TEchoServerConfig config = Config();
  config.GreetingTimeoutMs = 300;
  Serve(config);
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
    auto s = Connect(me);
    if (!c.first.empty()) s.Send(c.first);
    if (c.endless) {
      // Far more than any bound; the server must close before it is all sent.
      const std::string chunk(4096, 'A');
      bool sent = true;
      for (int i = 0; i < 256 && sent; ++i) sent = s.Send(chunk);
    }
    EXPECT_TRUE(s.WaitClosed(3000ms));
    // No token is handed out to any of these, except after the real greeting.
    if (c.first.size() != 9) {
      EXPECT_TRUE(s.Pending().empty());
    }
  }
  EXPECT_EQ(server->Server().Counters().OpenConnections, 0u);
}

// A full server over real sockets: a newcomer from a network with fewer connections takes the
// place of the least far one of the fullest network; one from a network that holds as many is
// told that the server is busy, in a greeting's answer or an HTTP answer, and nothing else.
TEST_F(EchoServerControl, a_full_server_takes_an_unprotected_place_of_the_fullest_network_or_says_it_is_busy) {
  TEchoServerConfig config = Config();
  config.MaxConnections = 3;
  config.NetworkPrefixBits = 30;  // the test's addresses 4-7, 8-11 and 12-15 are three networks
  config.ProtectedPerNetwork = 1;
  config.LogSummaryMs = 100;
  Serve(config);
  const auto net = [](int network, int host) { return support::TestAddress(4 * network + host); };
  // Network 1 holds two sessions, only the first of them protected; network 2 one.
  auto checking = Greet(net(1, 0));
  auto idle = Greet(net(1, 1));
  auto other = Greet(net(2, 0));
  ASSERT_TRUE(checking && idle && other);
  auto udp = Udp(net(1, 0));
  TSipProbe probe;
  probe.BuildRegister(checking->token, "5060", net(1, 0), std::to_string(udp.Port()));
  udp.SendTo(srv, 5060, probe.RegisterMsg);
  ASSERT_TRUE(NextEcho(*checking));

  const std::string busy = Scramble(std::string("@5060\0busy\0", 11));
  struct Step {
    const char* name;
    std::string from;
    std::string opening;
    std::string answer;          // empty: a session is greeted
    Session* closedToMakeRoom;   // the session that gave its place, if any
  };
  const Step steps[] = {
      {"from a third network: the unprotected one of the fullest gives way", net(3, 0),
       std::string("GET 5060\0", 9), "", &*idle},
      {"then every network holds one, protected: a greeting is told busy", net(2, 1), std::string("GET 5060\0", 9),
       busy, nullptr},
      {"and an HTTP request gets 503", net(1, 2), "HEAD /download/MAC.CSV HTTP/1.1\r\n\r\n",
       "HTTP/1.1 503 Service Unavailable\r\n", nullptr},
  };
  std::vector<Session> admitted;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    if (step.answer.empty()) {
      auto s = Greet(step.from);
      ASSERT_TRUE(s);
      admitted.push_back(std::move(*s));
    } else {
      auto c = Connect(step.from);
      ASSERT_TRUE(c.Send(step.opening));
      ASSERT_TRUE(c.WaitClosed(3000ms));
      EXPECT_EQ(c.Pending().substr(0, step.answer.size()), step.answer);
      if (step.answer == busy) {
        EXPECT_EQ(c.Pending(), busy);
      }
    }
    if (step.closedToMakeRoom) {
      EXPECT_TRUE(step.closedToMakeRoom->conn.WaitClosed(3000ms));
    }
  }
  // The protected sessions kept their places.
  udp.SendTo(srv, 5060, probe.RegisterMsg);
  EXPECT_TRUE(NextEcho(*checking));
  EXPECT_EQ(server->Server().Counters().OpenConnections, 3u);
  EXPECT_EQ(server->Server().Counters().Evicted, 1u);
  EXPECT_EQ(server->Server().Counters().Refused, 2u);
  EXPECT_TRUE(server->WaitForLine("1 connection from 1 network closed to make room in the last 100 ms"));
}

TEST_F(EchoServerControl, a_session_that_tested_keeps_its_line_the_others_are_summed) {
  Serve();
  auto tester = Greet(me);
  auto a = Greet(support::TestAddress(2));
  auto b = Greet(support::TestAddress(3));
  ASSERT_TRUE(tester && a && b);
  auto udp = Udp(me);
  TSipProbe probe;
  probe.BuildRegister(tester->token, "5060", me, std::to_string(udp.Port()));
  udp.SendTo(srv, 5060, probe.RegisterMsg);
  ASSERT_TRUE(NextEcho(*tester));
  server->Server().Stop();
  EXPECT_TRUE(a->conn.WaitClosed(3000ms));
  EXPECT_TRUE(tester->conn.WaitClosed(3000ms));
  EXPECT_TRUE(server->WaitForLine("2 sessions from 1 network ended without a probe"));
  int sessionLines = 0;
  for (const auto& l : server->Lines())
    if (l.rfind("session " + me, 0) == 0) ++sessionLines;
    else EXPECT_NE(l.rfind("session ", 0), 0u) << l;
  EXPECT_EQ(sessionLines, 1);
}

TEST_F(EchoServerControl, sigterm_ends_the_server_cleanly) {
  Serve(Config(), true);
  ASSERT_TRUE(server->WaitForLine("serving on"));
  auto a = Greet(me);
  ASSERT_TRUE(a);
  std::raise(SIGTERM);
  EXPECT_TRUE(a->conn.WaitClosed(3000ms));
  EXPECT_TRUE(server->WaitForLine("stopping: SIGTERM"));
  // The session never probed: it is summed, at the latest when the server stops.
  EXPECT_TRUE(server->WaitForLine("1 session from 1 network ended without a probe in the last"));
  // Nothing listens any more.
  EXPECT_FALSE(support::TcpConn::Connect(srv, 80).Ok());
}

}  // namespace
