#pragma once
// The STUN exchanges that find the NAT's behaviour class, on sockets of their own: a first
// Binding request from each of two sockets, then, at once and each resent on a schedule, the
// mapping requests to the server's other address and port, the filtering requests that ask for
// an answer from there, and a request to the own public address (hairpinning). All of it ends
// within kNatDiscoveryMs.
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <thread>

#include "net/StunSockets.h"
#include "probes/NatBehaviour.h"

// The longest the exchanges take: the first answers, then the rest.
inline constexpr int kStunFirstMs = 1200;
inline constexpr int kStunRestMs = 1500;
inline constexpr int kNatDiscoveryMs = kStunFirstMs + kStunRestMs;

// sockets: two of them (mapping, filtering). cancel, when set, ends the exchanges within a
// tenth of a second. now: a steady clock in ms.
TStunObservations DiscoverNat(TStunSockets& sockets, const stun::TEndpoint& server, const std::atomic<bool>* cancel,
                              const std::function<int64_t()>& now);

// The exchanges on a thread of their own, so that they run beside the SIP checks. Ended (and
// joined) with the object.
class TBackgroundNatDiscovery {
 public:
  TBackgroundNatDiscovery() = default;
  ~TBackgroundNatDiscovery();
  TBackgroundNatDiscovery(const TBackgroundNatDiscovery&) = delete;
  TBackgroundNatDiscovery& operator=(const TBackgroundNatDiscovery&) = delete;

  // From localIp to the STUN side of server (an address, or a name to look up) at port.
  void Start(const std::string& localIp, const std::string& server, uint16_t port);
  bool Started() const { return thread_.joinable(); }
  // The class once the exchanges ended; wait(ms) is called between looks. nullopt when they
  // could not run (no socket, a name without address).
  std::optional<TNatBehaviour> Result(const std::function<void(int)>& wait);

 private:
  std::thread thread_;
  std::atomic<bool> cancel_{false}, done_{false};
  std::optional<TNatBehaviour> result_;  // written by the thread before done_
};
