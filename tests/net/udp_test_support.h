#pragma once
// Shared pieces of the UDP endpoint tests: a plain user-interface thread (the test thread) and
// a handler that records what it is given.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/IdComponent.h"
#include "net/IdSocketHandle.h"
#include "net/IdUDPServer.h"
#include "net/UiThread.h"
#include "tests/support/Loopback.h"

namespace udptest {

using support::TestAddress;
using support::UdpPeer;

// A plain user-interface thread that counts how often a hand-over woke it.
class CountingUiThread : public TPlainUiThread {
 public:
  std::atomic<int> wakes{0};

 protected:
  void WakeUiLoop() override {
    ++wakes;
    TPlainUiThread::WakeUiLoop();
  }
};

// The test thread is the user-interface thread; the socket layer lives as long as the test.
class UdpTest : public ::testing::Test {
 protected:
  UdpTest() { TUiThread::Install(&ui); }
  ~UdpTest() override { TUiThread::Install(nullptr); }

  // Runs hand-overs until pred() holds or the deadline passes; returns pred().
  bool WaitUntil(const std::function<bool()>& pred) {
    return support::WaitUntil(pred, support::kDeadline, [this] {
      ui.ServicePending();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
  }

  TIdComponent stack;
  CountingUiThread ui;
};

// One datagram as a handler saw it.
struct Received {
  std::string data;
  int64_t position = -1;
  std::string remoteIp;
  int remotePort = 0;
  std::thread::id thread;
  TIdUDPServer* sender = nullptr;
  TIdSocketHandle* binding = nullptr;
};

// Records every delivery; thread-safe so a threaded handler can use it too.
class Collector {
 public:
  TUDPReadEvent Handler(std::function<void(const Received&)> after = nullptr) {
    return [this, after](TIdUDPServer* sender, TStream& data, TIdSocketHandle& binding) {
      Received r;
      r.position = data.Position();
      r.data = data.DataString();
      r.remoteIp = binding.RemoteIP;
      r.remotePort = binding.RemotePort;
      r.thread = std::this_thread::get_id();
      r.sender = sender;
      r.binding = &binding;
      {
        std::lock_guard<std::mutex> lock(m_);
        items_.push_back(r);
      }
      if (after) after(r);
    };
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(m_);
    return items_.size();
  }
  std::vector<Received> Items() {
    std::lock_guard<std::mutex> lock(m_);
    return items_;
  }
  bool Has(const std::string& data) {
    std::lock_guard<std::mutex> lock(m_);
    for (const auto& r : items_)
      if (r.data == data) return true;
    return false;
  }

 private:
  std::mutex m_;
  std::vector<Received> items_;
};

// An endpoint with one binding on ip (port 0: the system chooses).
inline void BindOne(TIdUDPServer& endpoint, const std::string& ip, int port = 0) {
  if (endpoint.Bindings().Count() == 0) endpoint.Bindings().Add();
  endpoint.Bindings()[0].IP = ip;
  endpoint.Bindings()[0].Port = port;
}

// A port on ip that nothing holds right now.
inline int FreePort(const std::string& ip) { return UdpPeer(ip).Port(); }

}  // namespace udptest
