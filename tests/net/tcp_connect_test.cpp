// Opening a TCP connection: time limits, statuses, failures.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "net/IdException.h"
#include "net/IdTCPClient.h"
#include "tests/net/tcp_test_support.h"

namespace {

using namespace tcptest;
using std::chrono::milliseconds;
using support::TestAddress;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

TEST(TcpConnect, tcp_connect_times_out_when_never_answered) {
  const std::string ip = TestAddress();
  support::FullBacklogListener silent(ip);
  if (!silent.Full()) GTEST_SKIP() << "could not fill the listener's accept queue on " << ip;
  TIdTCPClient client;
  EventLog log(client);
  client.SetHost(ip);
  client.SetPort(silent.Port());
  const int threadsBefore = ThreadCount();
  const auto start = Clock::now();
  try {
    client.Connect(2000);
    FAIL() << "connected";
  } catch (const EIdConnectTimeout& e) {
    EXPECT_STREQ(e.what(), "Connect timed out.");
  }
  const int64_t took = MsSince(start);
  EXPECT_GE(took, 2000);
  // The pending connect is given up at once, not after the system's own connect time-out.
  EXPECT_LT(took, 5000);
  EXPECT_EQ(ThreadCount(), threadsBefore) << "the connect thread is still running";
  EXPECT_EQ(log.Joined(), "Connecting to " + ip + ".");
  ASSERT_NE(client.Binding(), nullptr);
  EXPECT_FALSE(client.Binding()->HandleAllocated());
  EXPECT_FALSE(client.IsConnected());
  client.Disconnect();  // not connected: no event
  EXPECT_EQ(log.items.size(), 1u);
  EXPECT_EQ(client.IOHandler(), nullptr);
}

TEST(TcpConnect, tcp_connect_limit_is_waited_in_whole_steps) {
  // The connect thread's result is looked at only after a step of 125 ms (or the last, shorter
  // sleep of a limit below one step), however fast the peer answers.
  struct Row { int limit; int64_t atLeastMs; };
  const Row rows[] = {{2000, 125}, {300, 125}, {-2, 125}, {100, 100}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.limit);
    const int threadsBefore = ThreadCount();
    TcpPeer peer(TestAddress());
    peer.Start();
    TIdTCPClient client;
    EventLog log(client);
    client.SetHost(peer.Ip());
    client.SetPort(peer.Port());
    const auto start = Clock::now();
    client.Connect(r.limit);
    EXPECT_GE(MsSince(start), r.atLeastMs);
    EXPECT_TRUE(client.IsConnected());
    EXPECT_EQ(log.Joined(), "Connecting to " + peer.Ip() + ". | Connected. | OnConnected");
    EXPECT_TRUE(peer.WaitDone());
    // Once the peer's thread is gone, no other thread may be left.
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() == threadsBefore; })) << ThreadCount();
  }
}

TEST(TcpConnect, tcp_connect_refused_raises_socket_error) {
  // -1 and 0 connect on the calling thread, the others on the connect thread; the error is the
  // same socket error either way, and the link is left closed.
  const std::string ip = TestAddress();
  for (int limit : {-1, 0, 1000, -2}) {
    SCOPED_TRACE(limit);
    TIdTCPClient client;
    EventLog log(client);
    client.SetHost(ip);
    client.SetPort(UnusedPort(ip));
    try {
      client.Connect(limit);
      FAIL() << "connected";
    } catch (const EIdSocketError& e) {
      EXPECT_EQ(e.SocketErrorCode, 10061);
      EXPECT_STREQ(e.what(), "Socket Error # 10061\r\nConnection refused.");
    }
    EXPECT_EQ(log.Joined(), "Connecting to " + ip + ".");
    EXPECT_FALSE(client.IsConnected());
    EXPECT_FALSE(client.Binding()->HandleAllocated());
  }
}

TEST(TcpConnect, tcp_connect_reports_resolving_only_for_names) {
  struct Row { std::string listenIp, host, expected; };
  const std::string ip = TestAddress();
  const Row rows[] = {
      {ip, ip, "Connecting to " + ip + ". | Connected. | OnConnected"},
      {"127.0.0.1", "localhost",
       "Resolving hostname localhost. | Connecting to 127.0.0.1. | Connected. | OnConnected"},
      {"127.0.0.1", "LocalHost",
       "Resolving hostname LocalHost. | Connecting to 127.0.0.1. | Connected. | OnConnected"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.host);
    TcpPeer peer(r.listenIp);
    peer.Start();
    TIdTCPClient client;
    EventLog log(client);
    client.SetHost(r.host);
    client.SetPort(peer.Port());
    client.Connect(-1);
    EXPECT_EQ(log.Joined(), r.expected);
    EXPECT_EQ(client.RemoteIP(), r.listenIp);
    EXPECT_TRUE(peer.WaitDone());
  }
}

TEST(TcpConnect, tcp_connect_unknown_host_raises_host_not_found) {
  // Name lookups read /etc/hosts alone only inside the private namespace of the test runner.
  if (std::getenv("NAT_ISOLATED") == nullptr) GTEST_SKIP() << "needs scripts/isolated.sh (no outside lookups)";
  TIdTCPClient client;
  EventLog log(client);
  client.SetHost("no-such-host.invalid");
  client.SetPort(80);
  try {
    client.Connect(2000);
    FAIL() << "connected";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.SocketErrorCode, 11001);
    EXPECT_STREQ(e.what(), "Socket Error # 11001\r\nHost not found.");
  }
  EXPECT_EQ(log.Joined(), "Resolving hostname no-such-host.invalid.");
  EXPECT_FALSE(client.IsConnected());
}

TEST(TcpConnect, tcp_connect_twice_raises_already_connected) {
  TcpPeer peer(TestAddress());
  TIdTCPClient client;
  EventLog log(client);
  ConnectTo(client, peer);
  const size_t events = log.items.size();
  try {
    client.Connect(2000);
    FAIL() << "connected twice";
  } catch (const EIdAlreadyConnected& e) {
    EXPECT_STREQ(e.what(), "Already connected.");
  }
  EXPECT_EQ(log.items.size(), events);  // nothing else happened
  EXPECT_TRUE(client.IsConnected());
}

TEST(TcpConnect, tcp_connect_again_after_a_failure) {
  const std::string ip = TestAddress();
  TIdTCPClient client;
  client.SetHost(ip);
  client.SetPort(UnusedPort(ip));
  EXPECT_THROW(client.Connect(-1), EIdSocketError);
  ASSERT_NE(client.IOHandler(), nullptr);  // kept, link closed
  TcpPeer peer(ip);
  peer.Send("hello\n");
  peer.Start();
  client.SetPort(peer.Port());
  client.Connect(500);
  EXPECT_EQ(client.ReadLine(), "hello");
}

TEST(TcpConnect, tcp_connect_binds_the_local_side_and_knows_the_peer) {
  const std::string local = TestAddress(0), remote = TestAddress(1);
  TcpPeer peer(remote);
  TIdTCPClient client;
  client.BoundIP = local;
  ConnectTo(client, peer);
  TIdSocketHandle* b = client.Binding();
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->IP, local);
  EXPECT_NE(b->Port, 0);
  EXPECT_EQ(b->RemoteIP, remote);
  EXPECT_EQ(b->RemotePort, peer.Port());
  EXPECT_EQ(client.RemoteIP(), remote);

  // The same local address and port again: in use.
  TcpPeer other(remote);
  other.Start();
  TIdTCPClient second;
  second.BoundIP = local;
  second.BoundPort = b->Port;
  second.SetHost(other.Ip());
  second.SetPort(other.Port());
  try {
    second.Connect(-1);
    FAIL() << "bound twice";
  } catch (const EIdCouldNotBindSocket& e) {
    EXPECT_STREQ(e.what(), "Could not bind socket. Address and port are already in use.");
  }
}

TEST(TcpConnect, tcp_connect_rejects_a_port_beyond_16_bits) {
  TIdTCPClient client;
  EventLog log(client);
  client.SetHost(TestAddress());
  client.SetPort(65536 + 80);  // would otherwise reach port 80
  try {
    client.Connect(-1);
    FAIL() << "connected";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.SocketErrorCode, 10022);
  }
  EXPECT_TRUE(log.items.empty());
  EXPECT_FALSE(client.IsConnected());
}

}  // namespace
