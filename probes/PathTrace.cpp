#include "probes/PathTrace.h"

#include <algorithm>
#include <map>

namespace {
constexpr int kSlice = 100;  // the longest single wait, so that a cancel is seen soon
constexpr int kMaxWakes = 1000;
}  // namespace

TPathTrace TracePath(TPathSocket& socket, const std::string& destination, const std::function<int64_t()>& now,
                     const std::atomic<bool>* cancel) {
  std::map<int, std::string> hops;  // by time to live
  std::optional<int> reached;
  const int64_t start = now();
  const int64_t end = start + kPathMs;
  int64_t nextSend = start;
  const auto answered = [&](int ttl) { return hops.count(ttl) > 0 || (reached && ttl >= *reached); };
  const auto done = [&] {
    if (!reached) return false;
    for (int t = 1; t < *reached; ++t)
      if (!hops.count(t)) return false;
    return true;
  };
  for (int wakes = 0; wakes < kMaxWakes && !done(); ++wakes) {
    if (cancel && *cancel) break;
    const int64_t t = now();
    if (t >= end) break;
    if (t >= nextSend) {
      for (int ttl = 1; ttl <= kPathMaxTtl; ++ttl)
        if (!answered(ttl)) socket.Send(destination, static_cast<uint16_t>(kPathBasePort + ttl), ttl, "path");
      nextSend = t + kPathResendMs;
    }
    const auto a = socket.Receive(static_cast<int>(std::clamp<int64_t>(std::min(end, nextSend) - t, 1, kSlice)));
    if (!a || a->To != destination) continue;
    const int ttl = a->ToPort - kPathBasePort;
    if (ttl < 1 || ttl > kPathMaxTtl) continue;
    if (a->Kind == TPathAnswer::TKind::Unreachable && a->From == destination) {
      if (!reached || ttl < *reached) reached = ttl;
    } else if (a->Kind == TPathAnswer::TKind::TimeExceeded && a->From != destination) {
      hops.emplace(ttl, a->From);
    }
  }
  TPathTrace trace;
  trace.DestinationTtl = reached;
  for (const auto& [ttl, address] : hops)
    if (!reached || ttl < *reached) trace.Hops.push_back({ttl, address});
  return trace;
}
