#pragma once
// The NAT layers' checks beside the run's others, each on a thread of its own: UPnP and NAT-PMP
// to the router, probes of rising time to live towards the echo server. Each ends within
// kNatLayersMs; an answer that comes later counts as none.
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "probes/NatLayers.h"

inline constexpr int kGatewayAskMs = 1000;
inline constexpr int kNatLayersMs = 1000;
// What a result waits beyond that for threads that are about to end.
inline constexpr int kNatLayersSlackMs = 200;

// The checks themselves, as the system makes them (SystemNatLayerProbes) or a test fakes them.
struct TNatLayerProbes {
  // The router at gateway asked from localIp within budgetMs.
  std::function<std::optional<TGatewayAnswer>(const std::string& localIp, const std::string& gateway, int budgetMs)>
      Upnp, NatPmp;
  // The path from localIp towards destination (an address); cancel ends it early.
  std::function<TPathTrace(const std::string& localIp, const std::string& destination, const std::atomic<bool>* cancel)>
      Path;
};
TNatLayerProbes SystemNatLayerProbes();

class TBackgroundNatLayers {
 public:
  explicit TBackgroundNatLayers(TNatLayerProbes probes = SystemNatLayerProbes());
  ~TBackgroundNatLayers();
  TBackgroundNatLayers(const TBackgroundNatLayers&) = delete;
  TBackgroundNatLayers& operator=(const TBackgroundNatLayers&) = delete;

  // From localIp towards server (an address, or a name to look up); the router at gateway is
  // asked unless it is "" or "0.0.0.0" (none found).
  void Start(const std::string& localIp, const std::string& server, const std::string& gateway);
  bool Started() const { return !threads_.empty(); }
  // What they saw, once all ended or their time is up; wait(ms) is called between looks.
  // nullopt when they were not started.
  std::optional<TNatLayersSeen> Result(const std::function<void(int)>& wait);

 private:
  struct TState;
  TNatLayerProbes probes_;
  std::shared_ptr<TState> state_;
  std::vector<std::thread> threads_;
};
