// Sending from a UDP endpoint: where datagrams go, which binding they leave from, and the
// exceptions of a failed send.
#include "tests/net/udp_test_support.h"

using namespace udptest;

namespace {

class UdpSend : public UdpTest {};

TEST_F(UdpSend, udp_send_reaches_the_peer_whole) {
  struct Row { std::string host; std::string text; };
  UdpPeer peer(TestAddress(1));
  UdpPeer onLocalhost("127.0.0.1");
  TIdUDPServer endpoint;
  BindOne(endpoint, TestAddress(0));
  const Row rows[] = {
      {TestAddress(1), "plain"},
      {TestAddress(1), std::string("\0\r\n\xff bytes", 10)},
      {TestAddress(1), ""},                      // an empty datagram is still one datagram
      {TestAddress(1), std::string(65507, 'm')},  // the largest there is
      {"LocalHost", "by name"},                // any letter case, no lookup
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.host + " " + std::to_string(r.text.size()));
    UdpPeer& to = r.host == "LocalHost" ? onLocalhost : peer;
    endpoint.SendText(r.host, to.Port(), r.text);
    const auto d = to.Receive();
    ASSERT_TRUE(d);
    EXPECT_TRUE(d->data == r.text);
    EXPECT_EQ(d->fromIp, TestAddress(0));
    EXPECT_EQ(d->fromPort, endpoint.ActiveBinding().Port);
  }
}

TEST_F(UdpSend, udp_send_exceptions) {
  struct Row {
    const char* name;
    std::string host;
    int port;
    size_t size;
    const char* message;
    int code;  // 0: not a socket error
  };
  UdpPeer peer(TestAddress(1));
  const Row rows[] = {
      {"too long", TestAddress(1), peer.Port(), 65508, "Package Size Too Big.", 0},
      {"unknown name", "no-such-host.invalid", peer.Port(), 4, "Socket Error # 11001\r\nHost not found.", 11001},
      {"not IPv4, so a name", "256.1.1.1", peer.Port(), 4, "Socket Error # 11001\r\nHost not found.", 11001},
      {"port past 65535", TestAddress(1), 65536 + peer.Port(), 4, "Socket Error # 10022\r\nInvalid argument.", 10022},
      {"negative port", TestAddress(1), -1, 4, "Socket Error # 10022\r\nInvalid argument.", 10022},
      {"broadcast while not enabled", "127.255.255.255", peer.Port(), 4, "Socket Error # 10013\r\nAccess denied.", 10013},
  };
  TIdUDPServer endpoint;
  BindOne(endpoint, TestAddress(0));
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    try {
      endpoint.SendText(r.host, r.port, std::string(r.size, 'x'));
      ADD_FAILURE() << "sent";
    } catch (const EIdPackageSizeTooBig& e) {
      EXPECT_EQ(r.code, 0);
      EXPECT_EQ(std::string(e.what()), r.message);
    } catch (const EIdSocketError& e) {
      EXPECT_EQ(e.SocketErrorCode, r.code);
      EXPECT_EQ(std::string(e.what()), r.message);
    }
  }
  // Nothing of the above reached the peer (a wrapped port would have), and the endpoint
  // still sends.
  endpoint.SendText(TestAddress(1), peer.Port(), "fine");
  const auto d = peer.Receive();
  ASSERT_TRUE(d);
  EXPECT_EQ(d->data, "fine");
}

TEST_F(UdpSend, udp_broadcast_follows_the_setting) {
  TIdUDPServer endpoint;
  BindOne(endpoint, TestAddress());
  endpoint.SetBroadcastEnabled(true);  // applied at activation
  EXPECT_NO_THROW(endpoint.SendText("127.255.255.255", 9, "b"));
  endpoint.SetBroadcastEnabled(false);  // applied at once while active
  EXPECT_THROW(endpoint.SendText("127.255.255.255", 9, "b"), EIdSocketError);
  endpoint.SetBroadcastEnabled(true);
  EXPECT_NO_THROW(endpoint.SendText("127.255.255.255", 9, "b"));
  endpoint.SetActive(false);
  endpoint.SetActive(true);  // and again at the next activation
  EXPECT_NO_THROW(endpoint.SendText("127.255.255.255", 9, "b"));
}

TEST_F(UdpSend, udp_send_leaves_from_the_binding_that_received_last) {
  Collector got;
  TIdUDPServer endpoint;
  endpoint.OnUDPRead = got.Handler();
  endpoint.Bindings().Add().IP = TestAddress(0);
  endpoint.Bindings().Add().IP = TestAddress(1);
  endpoint.SetActive(true);
  UdpPeer peer(TestAddress(2));

  endpoint.SendText(peer.Ip(), peer.Port(), "first");  // right after activation: binding 0
  auto d = peer.Receive();
  ASSERT_TRUE(d);
  EXPECT_EQ(d->fromIp, TestAddress(0));

  peer.SendTo(TestAddress(1), endpoint.Bindings()[1].Port, "to binding 1");
  ASSERT_TRUE(WaitUntil([&] { return got.Count() == 1; }));
  EXPECT_EQ(&endpoint.ActiveBinding(), &endpoint.Bindings()[1]);
  endpoint.SendText(peer.Ip(), peer.Port(), "reply");
  d = peer.Receive();
  ASSERT_TRUE(d);
  EXPECT_EQ(d->fromIp, TestAddress(1));
  EXPECT_EQ(d->fromPort, endpoint.Bindings()[1].Port);
}

}  // namespace
