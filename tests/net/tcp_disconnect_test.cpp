// Closing a TCP connection from either side, and the order of its reports.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "net/IdException.h"
#include "net/IdTCPClient.h"
#include "tests/net/tcp_test_support.h"

namespace {

using namespace tcptest;
using support::TestAddress;

TEST(TcpDisconnect, tcp_disconnect_by_user_reports_in_order) {
  TcpPeer peer(TestAddress());
  peer.RecvUntilClose();
  TIdTCPClient client;
  EventLog log(client);
  ConnectTo(client, peer);
  log.items.clear();
  client.Write("bye");
  client.Disconnect();
  EXPECT_EQ(log.Joined(), "Disconnecting. | OnDisconnected | Disconnected.");
  EXPECT_FALSE(client.IsConnected());
  EXPECT_EQ(client.IOHandler(), nullptr);  // the client's own handler is freed
  EXPECT_TRUE(peer.WaitDone()) << "the peer did not see the close";
  EXPECT_EQ(peer.Received(), "bye");
  client.Disconnect();  // harmless, and silent, when not connected
  EXPECT_EQ(log.items.size(), 3u);
}

TEST(TcpDisconnect, tcp_peer_close_reports_disconnected_before_the_event) {
  // However the close is noticed, "Disconnected." comes first, then OnDisconnected, once; a
  // later Disconnect reports nothing.
  struct Row {
    const char* how;
    std::function<void(TIdTCPClient&)> notice;
    bool raises;
  };
  const Row rows[] = {
      {"ReadLine", [](TIdTCPClient& c) { c.ReadLine(); }, true},
      {"ReadExact", [](TIdTCPClient& c) { char b[4]; c.ReadExact(b, 4); }, true},
      {"FillInput", [](TIdTCPClient& c) { c.FillInput(); }, true},
      {"PollDisconnect without raising", [](TIdTCPClient& c) { EXPECT_EQ(c.PollDisconnect(false), 0); }, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.how);
    TcpPeer peer(TestAddress());
    peer.Close();
    TIdTCPClient client;
    EventLog log(client);
    ConnectTo(client, peer);
    ASSERT_TRUE(peer.WaitDone());
    log.items.clear();
    if (r.raises) {
      try {
        r.notice(client);
        ADD_FAILURE() << "no exception";
      } catch (const EIdConnClosedGracefully& e) {
        EXPECT_STREQ(e.what(), "Connection Closed Gracefully.");
      }
    } else {
      // Nothing may have arrived within the first 1 ms poll; the close still comes within bounds.
      EXPECT_TRUE(WaitUntil([&] {
        r.notice(client);
        return !log.items.empty();
      }));
    }
    EXPECT_EQ(log.Joined(), "Disconnected. | OnDisconnected");
    EXPECT_TRUE(client.ClosedGracefully());
    EXPECT_FALSE(client.IsConnected());
    ASSERT_NE(client.IOHandler(), nullptr);  // kept until Disconnect
    client.Disconnect();
    EXPECT_EQ(log.Joined(), "Disconnected. | OnDisconnected");
    EXPECT_EQ(client.IOHandler(), nullptr);
  }
}

TEST(TcpDisconnect, tcp_reset_by_peer_closes_with_events) {
  // A reset ends the connection like a close: the user is told (and the tester's run can end),
  // and the socket error is raised.
  struct Row {
    const char* how;
    std::function<void(TIdTCPClient&)> meet;
  };
  const Row rows[] = {
      {"read", [](TIdTCPClient& c) { c.ReadLine(); }},
      {"write", [](TIdTCPClient& c) { c.Write("x"); }},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.how);
    TcpPeer peer(TestAddress());
    peer.WaitSignal(1).Reset();  // only once connected: an instant reset fails the connect itself
    TIdTCPClient client;
    EventLog log(client);
    ConnectTo(client, peer);
    peer.Signal();
    ASSERT_TRUE(peer.WaitDone());
    log.items.clear();
    try {
      r.meet(client);
      ADD_FAILURE() << "no exception";
    } catch (const EIdSocketError& e) {
      EXPECT_TRUE(e.SocketErrorCode == 10054 || e.SocketErrorCode == 10058) << e.SocketErrorCode;
      EXPECT_EQ(std::string(e.what()), SocketStack->ErrorText(e.SocketErrorCode));
    }
    EXPECT_EQ(log.Joined(), "Disconnected. | OnDisconnected");
    EXPECT_FALSE(client.IsConnected());
    client.Disconnect();
    EXPECT_EQ(log.items.size(), 2u);
  }
}

TEST(TcpDisconnect, tcp_connect_again_after_the_peer_closed) {
  TcpPeer first(TestAddress(0));
  first.Close();
  TIdTCPClient client;
  EventLog log(client);
  ConnectTo(client, first);
  EXPECT_THROW(client.ReadLine(), EIdConnClosedGracefully);
  TcpPeer second(TestAddress(1));
  second.Send("again\n");
  second.Start();
  client.SetHost(second.Ip());
  client.SetPort(second.Port());
  log.items.clear();
  client.Connect(-1);  // reuses the kept handler
  EXPECT_EQ(log.Joined(), "Connecting to " + second.Ip() + ". | Connected. | OnConnected");
  EXPECT_FALSE(client.ClosedGracefully());
  EXPECT_EQ(client.ReadLine(), "again");
}

TEST(TcpDisconnect, tcp_destroying_a_connected_client_is_silent) {
  TcpPeer peer(TestAddress());
  peer.RecvUntilClose();
  EventLog log;
  {
    TIdTCPClient client;
    log.Record(client);
    ConnectTo(client, peer);
    log.items.clear();
  }
  EXPECT_TRUE(log.items.empty()) << log.Joined();
  EXPECT_TRUE(peer.WaitDone()) << "the peer did not see the close";
}

}  // namespace
