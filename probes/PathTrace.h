#pragma once
// The routers on the path towards a host, the way traceroute finds them: a UDP datagram for
// each time to live from 1 to kPathMaxTtl, all at once, each to a port of its own; a router
// where one runs out answers "time exceeded", the host itself "port unreachable". Unanswered
// ones are sent again; all of it ends within kPathMs.
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "net/PathSocket.h"

inline constexpr int kPathMaxTtl = 8;
inline constexpr int kPathMs = 1000;
inline constexpr int kPathResendMs = 300;
// The datagram with time to live t goes to this port + t (where traceroute's go).
inline constexpr uint16_t kPathBasePort = 33434;

struct TPathHop {
  int Ttl = 0;
  std::string Address;  // the router that answered
  bool operator==(const TPathHop&) const = default;
};

struct TPathTrace {
  std::vector<TPathHop> Hops;     // routers that answered, by rising time to live
  std::optional<int> DestinationTtl;  // the least time to live that reached the host itself
};

// destination: an IPv4 address text. now: a steady clock in ms. cancel, when set, ends it
// within a tenth of a second.
TPathTrace TracePath(TPathSocket& socket, const std::string& destination, const std::function<int64_t()>& now,
                     const std::atomic<bool>* cancel = nullptr);
