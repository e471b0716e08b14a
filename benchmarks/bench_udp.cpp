// Datagrams per second delivered through a UDP endpoint (receive thread, hand-over to a thread
// standing in for the user-interface thread, handler there), against a plain receive loop on a
// datagram socket of the same kind. Both are fed the same batches from one sender over loopback;
// each iteration times one batch of each, and the counters give both rates and their ratio.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/IdComponent.h"
#include "net/IdSocketHandle.h"
#include "net/IdUDPServer.h"
#include "net/UiThread.h"

namespace {

using Clock = std::chrono::steady_clock;

// Deliveries counted by a receiver, waited for by the sender.
class Counter {
 public:
  void Add() {
    {
      std::lock_guard<std::mutex> lock(m_);
      ++count_;
    }
    cv_.notify_one();
  }
  // Waits until the count reaches target; false after 2 s (a datagram was lost).
  bool WaitFor(int64_t target) {
    std::unique_lock<std::mutex> lock(m_);
    return cv_.wait_for(lock, std::chrono::seconds(2), [&] { return count_ >= target; });
  }
  int64_t Count() {
    std::lock_guard<std::mutex> lock(m_);
    return count_;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  int64_t count_ = 0;
};

// A thread that does nothing but run hand-overs, as the window's thread would.
class UiStandIn {
 public:
  UiStandIn() {
    thread_ = std::thread([this] {
      TPlainUiThread ui;
      TUiThread::Install(&ui);
      ready_ = true;
      ui.WaitServicing([this] { return stop_.load(); });
      TUiThread::Install(nullptr);
    });
    while (!ready_.load()) std::this_thread::yield();
  }
  ~UiStandIn() {
    stop_ = true;  // seen within the servicing loop's 20 ms poll
    thread_.join();
  }

 private:
  std::thread thread_;
  std::atomic<bool> ready_{false};
  std::atomic<bool> stop_{false};
};

// Receives on its own thread with the socket layer's recvfrom, nothing else.
class PlainReceiver {
 public:
  PlainReceiver(const std::string& ip, int bufferSize, Counter& counter) : buffer_(bufferSize) {
    socket_.OpenSocket(Id_SOCK_DGRAM);
    socket_.IP = ip;
    socket_.BindLocal();
    thread_ = std::thread([this, &counter] {
      std::string fromIp;
      int fromPort = 0;
      while (!stop_.load()) {
        const int n = socket_.ReceiveDatagram(buffer_.data(), static_cast<int>(buffer_.size()), fromIp, fromPort);
        if (n >= 0 && !stop_.load()) counter.Add();
      }
    });
  }
  ~PlainReceiver() {
    stop_ = true;
    SocketStack->SockShutdown(socket_.Handle(), TIdShutdownHow::Receive);  // ends the blocking read
    thread_.join();
  }
  int Port() const { return socket_.Port; }

 private:
  TIdSocketHandle socket_;
  std::vector<char> buffer_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

void BM_UdpEndpointVsPlainReceive(benchmark::State& state) {
  const int size = static_cast<int>(state.range(0));
  // Small enough batches that no receive queue overflows while the receiver catches up.
  const int batch = size >= 4096 ? 8 : 32;
  TIdComponent stack;
  UiStandIn ui;
  Counter viaEndpoint, viaPlain;

  TIdUDPServer endpoint;
  endpoint.Bindings().Add().IP = "127.0.47.1";
  endpoint.OnUDPRead = [&viaEndpoint](TIdUDPServer*, TStream& data, TIdSocketHandle&) {
    benchmark::DoNotOptimize(data.Size());
    viaEndpoint.Add();
  };
  endpoint.SetActive(true);
  const int endpointPort = endpoint.ActiveBinding().Port;
  PlainReceiver plain("127.0.47.2", 8192, viaPlain);

  TIdSocketHandle sender;
  sender.OpenSocket(Id_SOCK_DGRAM);
  sender.IP = "127.0.47.3";
  sender.BindLocal();
  const std::string payload(static_cast<size_t>(size), 'd');

  Clock::duration endpointTime{}, plainTime{};
  int64_t sentEach = 0;
  for (auto _ : state) {
    auto start = Clock::now();
    for (int i = 0; i < batch; ++i) sender.SendDatagram("127.0.47.1", endpointPort, payload.data(), size);
    if (!viaEndpoint.WaitFor(sentEach + batch)) {
      state.SkipWithError("a datagram to the endpoint was lost");
      break;
    }
    endpointTime += Clock::now() - start;

    start = Clock::now();
    for (int i = 0; i < batch; ++i) sender.SendDatagram("127.0.47.2", plain.Port(), payload.data(), size);
    if (!viaPlain.WaitFor(sentEach + batch)) {
      state.SkipWithError("a datagram to the plain receiver was lost");
      break;
    }
    plainTime += Clock::now() - start;
    sentEach += batch;
  }
  endpoint.SetActive(false);

  const double endpointSecs = std::chrono::duration<double>(endpointTime).count();
  const double plainSecs = std::chrono::duration<double>(plainTime).count();
  if (endpointSecs > 0 && plainSecs > 0) {
    const double endpointRate = static_cast<double>(sentEach) / endpointSecs;
    const double plainRate = static_cast<double>(sentEach) / plainSecs;
    state.counters["endpoint_dgram_per_s"] = endpointRate;
    state.counters["plain_dgram_per_s"] = plainRate;
    state.counters["ratio"] = endpointRate / plainRate;
  }
  state.SetItemsProcessed(2 * sentEach);
}
BENCHMARK(BM_UdpEndpointVsPlainReceive)->Arg(100)->Arg(1400)->Arg(8192)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
