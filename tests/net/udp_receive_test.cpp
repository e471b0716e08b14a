// Receiving on a UDP endpoint: what reaches OnUDPRead, on which thread, and what is dropped.
#include <stdexcept>

#include "tests/net/udp_test_support.h"

using namespace udptest;

namespace {

class UdpReceive : public UdpTest {};

TEST_F(UdpReceive, udp_datagram_sizes_around_the_buffer) {
  struct Row { int size; bool delivered; };
  const Row rows[] = {
      {0, true},       // zero length: delivered with empty data
      {1, true},
      {8191, true},
      {8192, true},    // exactly the buffer: whole
      {8193, false},   // one byte over: not at all, never cut short
      {20000, false},
      {65507, false},  // the largest datagram
      {5, true},       // and the endpoint still receives afterwards
  };
  Collector got;
  TIdUDPServer endpoint;
  endpoint.OnUDPRead = got.Handler();
  BindOne(endpoint, TestAddress(0));
  endpoint.SetActive(true);
  const int port = endpoint.ActiveBinding().Port;
  UdpPeer peer(TestAddress(1));

  for (const Row& r : rows) {
    SCOPED_TRACE(r.size);
    std::string payload(static_cast<size_t>(r.size), '\0');
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>('a' + i % 26);
    const size_t before = got.Count();
    peer.SendTo(TestAddress(0), port, payload);
    peer.SendTo(TestAddress(0), port, "marker");  // datagrams arrive in order on loopback
    ASSERT_TRUE(WaitUntil([&] { return got.Count() >= before + (r.delivered ? 2 : 1); }));
    const auto items = got.Items();
    const size_t expected = before + (r.delivered ? 2 : 1);
    ASSERT_EQ(items.size(), expected);
    EXPECT_EQ(items.back().data, "marker");
    if (r.delivered) {
      const Received& d = items[before];
      EXPECT_EQ(d.data.size(), static_cast<size_t>(r.size));
      EXPECT_TRUE(d.data == payload);
      EXPECT_EQ(d.position, 0);
    }
  }
}

TEST_F(UdpReceive, udp_delivery_thread_and_order) {
  for (bool threaded : {false, true}) {
    SCOPED_TRACE(threaded ? "threaded" : "on the user-interface thread");
    Collector got;
    TIdUDPServer endpoint;
    endpoint.OnUDPRead = got.Handler();
    endpoint.ThreadedEvent = threaded;
    BindOne(endpoint, TestAddress(0));
    TIdSocketHandle& binding = endpoint.ActiveBinding();
    UdpPeer peer(TestAddress(1));
    const int wakes = ui.wakes.load();
    constexpr int kCount = 50;
    for (int i = 0; i < kCount; ++i) peer.SendTo(TestAddress(0), binding.Port, std::to_string(i));
    ASSERT_TRUE(WaitUntil([&] { return got.Count() >= kCount; }));
    const auto items = got.Items();
    ASSERT_EQ(items.size(), static_cast<size_t>(kCount));
    for (int i = 0; i < kCount; ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(items[i].data, std::to_string(i));  // one at a time, in arrival order
      EXPECT_EQ(items[i].thread == std::this_thread::get_id(), !threaded);
      EXPECT_EQ(items[i].thread, items[0].thread);
      EXPECT_EQ(items[i].remoteIp, TestAddress(1));
      EXPECT_EQ(items[i].remotePort, peer.Port());
      EXPECT_EQ(items[i].sender, &endpoint);
      EXPECT_EQ(items[i].binding, &binding);
    }
    EXPECT_EQ(ui.wakes.load() == wakes, threaded);  // a threaded handler is never handed over
  }
}

TEST_F(UdpReceive, udp_handler_exception_does_not_stop_deliveries) {
  struct Row { const char* name; std::function<void()> raise; };
  const Row rows[] = {
      {"runtime_error", [] { throw std::runtime_error("handler failed"); }},
      {"transport exception", [] { throw EIdSocketError(10054, "Socket Error # 10054\r\n"); }},
      {"not an exception class", [] { throw 42; }},
  };
  for (bool threaded : {false, true}) {
    for (const Row& r : rows) {
      SCOPED_TRACE(std::string(r.name) + (threaded ? ", threaded" : ""));
      Collector got;
      TIdUDPServer endpoint;
      endpoint.ThreadedEvent = threaded;
      endpoint.OnUDPRead = got.Handler([&](const Received& d) {
        if (d.data == "boom") r.raise();
      });
      BindOne(endpoint, TestAddress(0));
      const int port = endpoint.ActiveBinding().Port;
      UdpPeer peer(TestAddress(1));
      peer.SendTo(TestAddress(0), port, "boom");
      peer.SendTo(TestAddress(0), port, "boom");
      peer.SendTo(TestAddress(0), port, "after");
      ASSERT_TRUE(WaitUntil([&] { return got.Has("after"); }));
      EXPECT_EQ(got.Count(), 3u);
      EXPECT_TRUE(endpoint.GetActive());
    }
  }
}

// Linux reports a port unreachable only to a connected datagram socket: connecting the
// endpoint's socket to a dead port makes the system queue the error, which the receive thread
// then reads. It must drop it and go on. The socket is rewired from a threaded handler, so no
// other thread uses it meanwhile.
TEST_F(UdpReceive, udp_queued_port_unreachable_does_not_end_the_listener) {
  const std::string ip = TestAddress(0);
  const int deadPort = FreePort(ip);
  {
    // The system does queue the error here.
    TIdSocketHandle probe;
    probe.OpenSocket(Id_SOCK_DGRAM);
    probe.IP = ip;
    probe.BindLocal();
    ASSERT_EQ(SocketStack->SockConnect(probe.Handle(), Id_PF_INET, deadPort, ip), 0);
    probe.SendDatagram(ip, deadPort, "ping", 4);
    ASSERT_TRUE(probe.WaitReadable(2000));
    std::string d, from;
    int fromPort = 0;
    d.resize(16);
    EXPECT_EQ(probe.ReceiveDatagram(d.data(), 16, from, fromPort), -1);
    EXPECT_EQ(SocketStack->LastSocketError(), 10061);
  }

  UdpPeer peer(TestAddress(1));
  Collector got;
  std::atomic<int> queued{0}, rewired{0};
  TIdUDPServer endpoint;
  endpoint.ThreadedEvent = true;
  endpoint.OnUDPRead = got.Handler([&](const Received& d) {
    if (d.data != "queue an error") return;
    TIdSocketHandle& b = *d.binding;
    if (SocketStack->SockConnect(b.Handle(), Id_PF_INET, deadPort, ip) != 0) return;
    endpoint.SendText(ip, deadPort, "to nobody");
    if (b.WaitReadable(2000)) ++queued;  // the error is pending on the socket
    SocketStack->SockConnect(b.Handle(), Id_PF_INET, peer.Port(), peer.Ip());
    ++rewired;
  });
  BindOne(endpoint, ip);
  const int port = endpoint.ActiveBinding().Port;
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    peer.SendTo(ip, port, "queue an error");
    ASSERT_TRUE(WaitUntil([&] { return rewired.load() == round + 1; }));
    const std::string data = "alive " + std::to_string(round);
    peer.SendTo(ip, port, data);
    ASSERT_TRUE(WaitUntil([&] { return got.Has(data); }));
  }
  EXPECT_EQ(queued.load(), 3);
  EXPECT_EQ(got.Count(), 6u);  // the errors themselves were never delivered
}

TEST_F(UdpReceive, udp_remote_address_kept_after_deactivation) {
  Collector got;
  TIdUDPServer endpoint;
  endpoint.OnUDPRead = got.Handler();
  BindOne(endpoint, TestAddress(0));
  endpoint.SetActive(true);
  const int port = endpoint.ActiveBinding().Port;
  UdpPeer peer(TestAddress(1));
  peer.SendTo(TestAddress(0), port, "hello");
  ASSERT_TRUE(WaitUntil([&] { return got.Count() == 1; }));
  endpoint.SetActive(false);
  const TIdSocketHandle& b = endpoint.Bindings()[0];
  EXPECT_FALSE(b.HandleAllocated());
  EXPECT_EQ(b.RemoteIP, TestAddress(1));
  EXPECT_EQ(b.RemotePort, peer.Port());
  EXPECT_EQ(b.IP, TestAddress(0));
  EXPECT_EQ(b.Port, port);
}

}  // namespace
