#include "probes/NatLayersDiscovery.h"

#include <chrono>
#include <mutex>

#include "net/IdComponent.h"
#include "net/IdStack.h"

namespace {
int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
}  // namespace

// Shared with the threads, which may outlive the object: a library call that overstays its
// second is left to end on its own, and its answer is dropped.
struct TBackgroundNatLayers::TState {
  std::mutex Lock;
  TNatLayersSeen Seen;  // under Lock
  bool Closed = false;  // under Lock: the result was taken, later answers are dropped
  std::atomic<bool> Cancel{false};
  std::atomic<int> Running{0};
  std::vector<std::shared_ptr<std::atomic<bool>>> Done;  // per thread
  int64_t StartedAtMs = 0;
};

TNatLayerProbes SystemNatLayerProbes() {
  TNatLayerProbes p;
  p.Upnp = AskUpnp;
  p.NatPmp = AskNatPmp;
  p.Path = [](const std::string& localIp, const std::string& destination, const std::atomic<bool>* cancel) {
    const auto socket = OpenPathSocket(localIp);
    if (!socket) return TPathTrace{};
    return TracePath(*socket, destination, SteadyMs, cancel);
  };
  return p;
}

TBackgroundNatLayers::TBackgroundNatLayers(TNatLayerProbes probes) : probes_(std::move(probes)) {}

TBackgroundNatLayers::~TBackgroundNatLayers() {
  if (!state_) return;
  state_->Cancel = true;
  for (size_t i = 0; i < threads_.size(); ++i) {
    if (*state_->Done[i]) threads_[i].join();
    else threads_[i].detach();  // its state stays alive with it
  }
}

void TBackgroundNatLayers::Start(const std::string& localIp, const std::string& server, const std::string& gateway) {
  if (state_) return;
  state_ = std::make_shared<TState>();
  state_->StartedAtMs = SteadyMs();
  const bool ask = !gateway.empty() && gateway != "0.0.0.0";
  state_->Seen.Gateway = ask ? gateway : "";
  auto run = [this](std::function<void(TState&)> body) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    state_->Done.push_back(done);
    ++state_->Running;
    threads_.emplace_back([state = state_, done, body = std::move(body)] {
      try {
        body(*state);
      } catch (...) {
        // No socket, no address: that check saw nothing.
      }
      --state->Running;
      *done = true;
    });
  };
  if (ask) {
    run([ask = probes_.Upnp, localIp, gateway](TState& s) {
      auto a = ask(localIp, gateway, kGatewayAskMs);
      const std::lock_guard<std::mutex> g(s.Lock);
      if (!s.Closed) s.Seen.Upnp = std::move(a);
    });
    run([ask = probes_.NatPmp, localIp, gateway](TState& s) {
      auto a = ask(localIp, gateway, kGatewayAskMs);
      const std::lock_guard<std::mutex> g(s.Lock);
      if (!s.Closed) s.Seen.NatPmp = std::move(a);
    });
  }
  run([path = probes_.Path, localIp, server](TState& s) {
    std::string address;
    if (!TIdStack::AddressWithoutLookup(server, address)) {
      const TIdComponent stack;  // keeps the socket layer for the look-up
      address = SocketStack->ResolveToAddress(server);
    }
    auto trace = path(localIp, address, &s.Cancel);
    const std::lock_guard<std::mutex> g(s.Lock);
    if (!s.Closed) s.Seen.Path = std::move(trace);
  });
}

std::optional<TNatLayersSeen> TBackgroundNatLayers::Result(const std::function<void(int)>& wait) {
  if (!state_) return std::nullopt;
  const int64_t end = state_->StartedAtMs + kNatLayersMs + kNatLayersSlackMs;
  for (int i = 0; i < 400 && state_->Running > 0 && SteadyMs() < end; ++i) wait(10);
  // What came in time; a check still running counts as no answer.
  state_->Cancel = true;
  const std::lock_guard<std::mutex> g(state_->Lock);
  state_->Closed = true;
  return state_->Seen;
}
