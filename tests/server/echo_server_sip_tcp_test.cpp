// SIP over TCP on the echo server's SIP ports, over real loopback connections: each message is
// echoed on its session's control connection with a line that names TCP, nothing comes back on
// the SIP connection, and whatever is not the tester's ends the connection.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "proto/XorUnit.h"
#include "probes/SipProbe.h"
#include "tests/server/ServerTest.h"

using namespace servertest;

namespace {

class EchoServerSipTcp : public ServerTest {};

std::string Register(const std::string& token) {
  TSipProbe p;
  p.BuildRegister(token, "5060", "10.0.0.2", "40000");
  return p.RegisterMsg;
}

// The local port of a connection, for the server's line.
int LocalPort(const TcpConn& c) {
  sockaddr_in a{};
  socklen_t n = sizeof a;
  getsockname(c.Handle(), reinterpret_cast<sockaddr*>(&a), &n);
  return ntohs(a.sin_port);
}

TEST_F(EchoServerSipTcp, echoes_each_message_on_the_control_connection) {
  ASSERT_TRUE(Open());
  const std::string reg = Register(session->token);
  TSipProbe p;
  p.BuildInvite(session->token, "5058", "10.0.0.2", "40002", false, 5006);
  const std::string inv = p.InviteMsg;
  struct Case {
    const char* name;
    int port;
    std::vector<std::string> pieces;  // sent one after another, each waited for
    std::vector<std::string> echoed;
  };
  const Case cases[] = {
      {"a REGISTER in one piece", 5060, {reg}, {reg}},
      {"an INVITE in three pieces", 5058, {inv.substr(0, 30), inv.substr(30, inv.size() - 60), inv.substr(inv.size() - 30)}, {inv}},
      {"two messages in one piece", 5060, {reg + inv}, {reg, inv}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TcpConn sip = TcpConn::Connect(srv, c.port, me);
    ASSERT_TRUE(sip.Ok());
    const int one = 1;
    setsockopt(sip.Handle(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    for (const std::string& piece : c.pieces) ASSERT_TRUE(sip.Send(piece));
    for (const std::string& expected : c.echoed) {
      const auto echo = NextEcho(*session);
      ASSERT_TRUE(echo);
      const size_t end = echo->find("\r\n");
      EXPECT_EQ(echo->substr(0, end), "Received " + std::to_string(expected.size()) + " bytes on TCP port " +
                                          std::to_string(c.port) + " from " + me + ":" + std::to_string(LocalPort(sip)));
      EXPECT_EQ(echo->substr(end + 2), expected);
    }
    // Nothing is sent back on the SIP connection: it ends (the tester closes it) without a byte.
    sip.Close();
  }
  EXPECT_TRUE(session->conn.Pending().empty());
}

TEST_F(EchoServerSipTcp, ends_connections_that_are_not_the_testers) {
  TEchoServerConfig config = Config();
  config.GreetingTimeoutMs = 300;
  config.SessionDatagramBurst = 2;
  config.SessionDatagramsPerSecond = 0.001;
  ASSERT_TRUE(Open(config));
  struct Case {
    const char* name;
    std::string bytes;
    int echoes;  // on the control connection before the close
  };
  const Case cases[] = {
      {"a Call-ID without a session", Register("0123456789abcdef"), 0},
      {"a Content-Length past 8 KiB", "REGISTER sip:x SIP/2.0\r\nContent-Length: 10000\r\n\r\n", 0},
      {"a message that never ends", "REGISTER sip:x SIP/2.0\r\nCall-ID:" + session->token + "@h\r\n", 0},
      {"past the session's budget", Register(session->token) + Register(session->token) + Register(session->token), 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TcpConn sip = TcpConn::Connect(srv, 5060, me);
    ASSERT_TRUE(sip.Ok());
    ASSERT_TRUE(sip.Send(c.bytes));
    EXPECT_TRUE(sip.WaitClosed(3000ms));
    EXPECT_TRUE(sip.Pending().empty());
    for (int i = 0; i < c.echoes; ++i) EXPECT_TRUE(NextEcho(*session)) << i;
  }
  EXPECT_EQ(server->Server().Counters().Echoes, 2u);
}

TEST_F(EchoServerSipTcp, comes_in_under_its_sessions_place_on_a_full_server) {
  TEchoServerConfig config = Config();
  config.MaxConnections = 1;
  ASSERT_TRUE(Open(config));  // the one place
  // From an address without a place: closed at once, nothing echoed.
  TcpConn stranger = TcpConn::Connect(srv, 5060, support::TestAddress(2));
  ASSERT_TRUE(stranger.Ok());
  EXPECT_TRUE(stranger.WaitClosed(3000ms));
  // The tester's own takes no place, so nobody is closed to make room for it.
  TcpConn sip = TcpConn::Connect(srv, 5060, me);
  ASSERT_TRUE(sip.Send(Register(session->token)));
  EXPECT_TRUE(NextEcho(*session));
  EXPECT_EQ(server->Server().Counters().Evicted, 0u);
  EXPECT_EQ(server->Server().Counters().Refused, 1u);
}

}  // namespace
