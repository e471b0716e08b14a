#pragma once
// When a delayed link hands each packet on: a fixed delay plus a random jitter, drawn uniformly
// from [0, jitter] with a seeded generator, and never before the packet ahead of it. A link
// keeps its packets in order (they wait in one queue behind it), so a jitter wider than the
// packet spacing bunches packets up instead of swapping them.
//
// The interarrival jitter of RFC 3550 (section 6.4.1) that a receiver then measures: the transit
// times differ by X - Y, X and Y uniform on [0, J], whose mean absolute value is J / 3; the
// estimator (gain 1/16) settles there. While J stays below the packet spacing (20 ms for the
// call) the order rule never holds a packet back, so the figure is exactly J / 3 on average
// (5.0 ms for J = 15 ms); its spread at the end of a stream is about 0.046 J (standard
// deviation, 0.69 ms for 15 ms), as the test's simulation shows. Wider jitter is cut by the
// order rule: 40 ms gives about 12.1 ms, not 13.3.
#include <cstdint>
#include <random>
#include <vector>

namespace natlab {

struct TDelaySettings {
  int64_t DelayUs = 0;
  int64_t JitterUs = 0;  // the random part is uniform on [0, JitterUs]
  uint64_t Seed = 1;
};

class TDelaySchedule {
 public:
  explicit TDelaySchedule(const TDelaySettings& settings);
  // The release time of a packet that arrived at arrivalUs (any steady clock; arrivals in the
  // order they came).
  int64_t Release(int64_t arrivalUs);

 private:
  TDelaySettings settings_;
  std::mt19937_64 random_;
  int64_t lastReleaseUs_;
  bool any_ = false;
};

// Release times of packets that arrived at these times, in order.
std::vector<int64_t> ReleaseTimes(const std::vector<int64_t>& arrivalsUs, const TDelaySettings& settings);

}  // namespace natlab
