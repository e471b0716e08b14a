// Activating and deactivating UDP endpoints: binding, failures, the receive thread's life.
#include "tests/net/udp_test_support.h"

using namespace udptest;

namespace {

class UdpActivation : public UdpTest {
 protected:
  // Milliseconds that fn takes.
  static long long TimeMs(const std::function<void()>& fn) {
    const auto start = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
        .count();
  }
};

TEST_F(UdpActivation, udp_activate_without_bindings_adds_one) {
  const int threads = TIdThread::LiveThreadCount();
  TIdUDPServer endpoint;
  endpoint.SetActive(true);  // DefaultPort 0: the system chooses
  ASSERT_EQ(endpoint.Bindings().Count(), 1);
  EXPECT_TRUE(endpoint.GetActive());
  EXPECT_NE(endpoint.ActiveBinding().Port, 0);
  EXPECT_EQ(endpoint.ActiveBinding().IP, "0.0.0.0");
  EXPECT_EQ(&endpoint.ActiveBinding(), &endpoint.Bindings()[0]);
  EXPECT_EQ(TIdThread::LiveThreadCount(), threads + 1);

  endpoint.SetActive(false);
  endpoint.SetDefaultPort(5070);
  EXPECT_EQ(endpoint.Bindings().Add().Port, 5070);  // new bindings take the default port
}

TEST_F(UdpActivation, udp_setting_active_to_its_value_does_nothing) {
  const int threads = TIdThread::LiveThreadCount();
  TIdUDPServer endpoint;
  endpoint.SetActive(false);
  EXPECT_EQ(endpoint.Bindings().Count(), 0);
  EXPECT_EQ(TIdThread::LiveThreadCount(), threads);

  BindOne(endpoint, TestAddress());
  endpoint.SetActive(true);
  const TIdStackSocketHandle descriptor = endpoint.ActiveBinding().Handle();
  const int port = endpoint.ActiveBinding().Port;
  endpoint.SetActive(true);
  EXPECT_EQ(endpoint.ActiveBinding().Handle(), descriptor);
  EXPECT_EQ(endpoint.ActiveBinding().Port, port);
  EXPECT_EQ(TIdThread::LiveThreadCount(), threads + 1);

  endpoint.SetActive(false);
  endpoint.SetActive(false);
  EXPECT_FALSE(endpoint.GetActive());
  EXPECT_EQ(TIdThread::LiveThreadCount(), threads);
}

TEST_F(UdpActivation, udp_port_in_use_then_another_port) {
  const std::string ip = TestAddress();
  UdpPeer holder(ip);
  const int threads = TIdThread::LiveThreadCount();
  Collector got;
  TIdUDPServer endpoint;
  endpoint.OnUDPRead = got.Handler();
  BindOne(endpoint, ip, holder.Port());
  try {
    endpoint.SetActive(true);
    FAIL() << "bound a port in use";
  } catch (const EIdCouldNotBindSocket& e) {
    EXPECT_STREQ(e.what(), "Could not bind socket. Address and port are already in use.");
  }
  EXPECT_FALSE(endpoint.GetActive());
  EXPECT_FALSE(endpoint.IsActive());
  EXPECT_EQ(TIdThread::LiveThreadCount(), threads);

  // The same failure once more, then another port.
  EXPECT_THROW(endpoint.SetActive(true), EIdCouldNotBindSocket);
  const int other = FreePort(ip);
  endpoint.Bindings()[0].Port = other;
  endpoint.SetActive(true);
  EXPECT_TRUE(endpoint.GetActive());
  EXPECT_EQ(endpoint.ActiveBinding().Port, other);
  holder.SendTo(ip, other, "works");
  EXPECT_TRUE(WaitUntil([&] { return got.Has("works"); }));
}

TEST_F(UdpActivation, udp_activation_failures_leave_it_inactive) {
  struct Row { const char* ip; const char* message; int code; };
  const Row rows[] = {
      {"192.0.2.1", "Socket Error # 10049\r\nCannot assign requested address.", 10049},  // not ours
      {"1.2.3.4.5", "1.2.3.4.5 is not a valid IP address.", 0},
      {"localhost", "localhost is not a valid IP address.", 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.ip);
    TIdUDPServer endpoint;
    BindOne(endpoint, r.ip);
    try {
      endpoint.SetActive(true);
      ADD_FAILURE() << "activated";
    } catch (const EIdSocketError& e) {
      EXPECT_EQ(e.SocketErrorCode, r.code);
      EXPECT_EQ(std::string(e.what()), r.message);
    } catch (const EIdInvalidIPAddress& e) {
      EXPECT_EQ(r.code, 0);
      EXPECT_EQ(std::string(e.what()), r.message);
    }
    EXPECT_FALSE(endpoint.GetActive());
    // Repaired, the same endpoint activates.
    endpoint.Bindings()[0].IP = TestAddress();
    endpoint.SetActive(true);
    EXPECT_TRUE(endpoint.GetActive());
  }
}

TEST_F(UdpActivation, udp_active_binding_or_send_activates) {
  struct Row { const char* name; std::function<void(TIdUDPServer&, UdpPeer&)> act; bool sends; };
  const Row rows[] = {
      {"ActiveBinding", [](TIdUDPServer& e, UdpPeer&) { e.ActiveBinding(); }, false},
      {"SendText", [](TIdUDPServer& e, UdpPeer& p) { e.SendText(p.Ip(), p.Port(), "text"); }, true},
      {"SendBytes", [](TIdUDPServer& e, UdpPeer& p) { e.SendBytes(p.Ip(), p.Port(), "bytes", 5); }, true},
  };
  UdpPeer peer(TestAddress(1));
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const int threads = TIdThread::LiveThreadCount();
    Collector got;
    TIdUDPServer endpoint;
    endpoint.OnUDPRead = got.Handler();
    BindOne(endpoint, TestAddress(0));
    r.act(endpoint, peer);
    EXPECT_TRUE(endpoint.IsActive());
    EXPECT_EQ(TIdThread::LiveThreadCount(), threads + 1);
    const int port = endpoint.ActiveBinding().Port;
    EXPECT_NE(port, 0);
    if (r.sends) {
      const auto d = peer.Receive();
      ASSERT_TRUE(d);
      EXPECT_EQ(d->fromIp, TestAddress(0));
      EXPECT_EQ(d->fromPort, port);
    }
    peer.SendTo(TestAddress(0), port, "back");  // and the receive thread runs
    EXPECT_TRUE(WaitUntil([&] { return got.Has("back"); }));
  }

  // An activation failure reaches the reader or sender.
  TIdUDPServer endpoint;
  BindOne(endpoint, TestAddress(1), peer.Port());
  EXPECT_THROW(endpoint.ActiveBinding(), EIdCouldNotBindSocket);
  EXPECT_THROW(endpoint.SendText(peer.Ip(), peer.Port(), "x"), EIdCouldNotBindSocket);
  EXPECT_FALSE(endpoint.IsActive());
}

TEST_F(UdpActivation, udp_deactivation_returns_within_about_a_second) {
  const int threads = TIdThread::LiveThreadCount();
  TIdUDPServer endpoint;
  BindOne(endpoint, TestAddress());
  endpoint.SetActive(true);
  const int port = endpoint.ActiveBinding().Port;
  EXPECT_LT(TimeMs([&] { endpoint.SetActive(false); }), 1500);
  EXPECT_EQ(TIdThread::LiveThreadCount(), threads);
  // The port is free again: a fresh socket binds it.
  UdpPeer again(TestAddress(), port);
  EXPECT_EQ(again.Port(), port);
}

TEST_F(UdpActivation, udp_deactivation_runs_a_pending_handover) {
  for (bool destroy : {false, true}) {
    SCOPED_TRACE(destroy ? "destroying" : "deactivating");
    Collector got;
    auto endpoint = std::make_unique<TIdUDPServer>();
    endpoint->OnUDPRead = got.Handler();
    BindOne(*endpoint, TestAddress(0));
    endpoint->SetActive(true);
    const int port = endpoint->ActiveBinding().Port;
    UdpPeer peer(TestAddress(1));
    const int wakes = ui.wakes.load();
    peer.SendTo(TestAddress(0), port, "pending");
    peer.SendTo(TestAddress(0), port, "behind it");
    // The receive thread now waits for the test thread, which does not run hand-overs yet.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (ui.wakes.load() == wakes && std::chrono::steady_clock::now() < deadline)
      std::this_thread::yield();
    ASSERT_GT(ui.wakes.load(), wakes);
    EXPECT_EQ(got.Count(), 0u);
    const long long ms = TimeMs([&] {
      if (destroy)
        endpoint.reset();
      else
        endpoint->SetActive(false);
    });
    EXPECT_LT(ms, 1500);
    ASSERT_EQ(got.Count(), 1u);  // the pending one ran inside the call, the next was dropped
    EXPECT_EQ(got.Items()[0].data, "pending");
  }
}

TEST_F(UdpActivation, udp_handler_may_deactivate_its_own_endpoint) {
  for (bool threaded : {false, true}) {
    SCOPED_TRACE(threaded ? "threaded" : "on the user-interface thread");
    const int threads = TIdThread::LiveThreadCount();
    Collector got;
    TIdUDPServer endpoint;
    endpoint.ThreadedEvent = threaded;
    std::atomic<bool> returned{false};
    endpoint.OnUDPRead = got.Handler([&](const Received& d) {
      if (d.data == "stop") endpoint.SetActive(false);
      returned = true;
    });
    BindOne(endpoint, TestAddress(0));
    const int port = endpoint.ActiveBinding().Port;
    UdpPeer peer(TestAddress(1));
    peer.SendTo(TestAddress(0), port, "stop");
    ASSERT_TRUE(WaitUntil([&] { return returned.load(); }));
    ASSERT_TRUE(WaitUntil([&] { return !endpoint.IsActive(); }));
    // Activated again on the same port, it receives as before.
    endpoint.Bindings()[0].Port = port;
    endpoint.SetActive(true);
    peer.SendTo(TestAddress(0), port, "again");
    EXPECT_TRUE(WaitUntil([&] { return got.Has("again"); }));
    endpoint.SetActive(false);
    EXPECT_EQ(TIdThread::LiveThreadCount(), threads);
  }
}

}  // namespace
