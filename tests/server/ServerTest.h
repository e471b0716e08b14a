#pragma once
// The fixture of the echo server tests: the server in process on the test's own address, and
// the tester's side of the wire: greeted control sessions, plain connections, datagram sockets.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

#include "proto/XorUnit.h"
#include "tests/support/EchoServerGuard.h"
#include "tests/support/Loopback.h"

namespace servertest {

using namespace std::chrono_literals;
using support::TcpConn;
using support::UdpPeer;

// A greeted control session.
struct Session {
  TcpConn conn;  // its Pending() bytes: received and not yet used (scrambled)
  std::string token;
};

class ServerTest : public ::testing::Test {
 protected:
  const std::string srv = support::TestAddress(0);  // the server's address
  const std::string me = support::TestAddress(1);   // the tester's

  // Settings of a server on srv with short schedules (support::EchoServerGuard::TestConfig).
  TEchoServerConfig Config() const { return support::EchoServerGuard::TestConfig(srv); }
  // Starts the server; it serves until the test ends.
  void Serve(const TEchoServerConfig& config, bool handleSignals = false) { server.emplace(config, handleSignals); }
  void Serve() { Serve(Config()); }

  // Serves and opens the test's session from me; false when it was not greeted.
  bool Open(const TEchoServerConfig& config) {
    Serve(config);
    session = Greet(me);
    return session.has_value();
  }
  bool Open() { return Open(Config()); }

  // A TCP connection from `from` to the server's control port.
  TcpConn Connect(const std::string& from) const { return TcpConn::Connect(srv, 80, from); }

  // A control session from `from` that the server greeted; nothing when no token came.
  std::optional<Session> Greet(const std::string& from) const { return GreetAt(srv, 80, from); }
  // ... with a server at server:port.
  static std::optional<Session> GreetAt(const std::string& server, int port, const std::string& from) {
    Session s{TcpConn::Connect(server, port, from), {}};
    if (!s.conn.Send(std::string("GET 5060\0", 9))) return std::nullopt;
    const auto token = s.conn.ReadUntil(Scramble(std::string("@5060\0", 6)), 3000ms);
    if (!token) return std::nullopt;
    s.token = Scramble(*token);
    return s;
  }

  // The next echo on a session, descrambled, without its closing zero byte.
  static std::optional<std::string> NextEcho(Session& s, std::chrono::milliseconds deadline = 3000ms) {
    const auto echo = s.conn.ReadUntil(Scramble(std::string(1, '\0')), deadline);
    if (!echo) return std::nullopt;
    return Scramble(*echo);
  }

  // A datagram socket on address:port; the test fails when it cannot be bound.
  static UdpPeer Udp(const std::string& address, int port = 0) {
    UdpPeer u(address, port);
    EXPECT_TRUE(u.Ok()) << u.Error();
    return u;
  }

  std::optional<support::EchoServerGuard> server;  // from Serve on
  std::optional<Session> session;                  // the one that Open greeted
};

}  // namespace servertest
