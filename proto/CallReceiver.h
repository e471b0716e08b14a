#pragma once
// One direction of the test call as its receiver sees it: which packets came, and the
// interarrival jitter of RFC 3550 (section 6.4.1), also as it stood at the end of each second of
// the stream. The server keeps one for the tester's stream, the tester one for the server's.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "proto/CallWire.h"

namespace call_wire {

class TStreamReceiver {
 public:
  explicit TStreamReceiver(size_t maxPackets = kMaxPackets) : max_(maxPackets) {}
  // A packet of the stream: its index, its RTP timestamp and when it came (us, any steady
  // clock). false: a duplicate or an index past the bound, which count for nothing.
  bool Take(uint32_t index, uint32_t rtpTimestamp, int64_t arrivalUs);
  int Received() const { return received_; }
  long long JitterUs() const { return static_cast<long long>(jitterUs_ + 0.5); }
  // Index -> came, up to the highest index that came.
  const std::vector<bool>& Map() const { return map_; }
  // The jitter at the end of each second of the stream (by index), up to the highest index;
  // a second without a packet keeps the figure of the one before.
  const std::vector<long long>& JitterBySecondUs() const { return bySecond_; }
  TReport Report(int sent) const;

 private:
  size_t max_;
  std::vector<bool> map_;
  std::vector<long long> bySecond_;
  int received_ = 0;
  double jitterUs_ = 0;
  bool any_ = false;
  uint32_t lastTimestamp_ = 0;
  int64_t lastArrivalUs_ = 0;
};

}  // namespace call_wire
