#include "proto/CallReceiver.h"

#include <cmath>

namespace call_wire {

namespace {
constexpr int64_t kUsPerTimestamp = 1000000 / (kTimestampStep * kPacketsPerSecond);  // 125 at 8000 Hz
}

bool TStreamReceiver::Take(uint32_t index, uint32_t rtpTimestamp, int64_t arrivalUs) {
  if (index >= max_ || (index < map_.size() && map_[index])) return false;
  if (index >= map_.size()) map_.resize(index + 1, false);
  map_[index] = true;
  ++received_;
  if (any_) {
    // D(i,j) = (Rj - Ri) - (Sj - Si), in order of arrival; the timestamps' difference may wrap.
    const int64_t sent = static_cast<int64_t>(static_cast<int32_t>(rtpTimestamp - lastTimestamp_)) * kUsPerTimestamp;
    const double d = std::fabs(static_cast<double>((arrivalUs - lastArrivalUs_) - sent));
    jitterUs_ += (d - jitterUs_) / 16.0;
  }
  any_ = true;
  lastTimestamp_ = rtpTimestamp;
  lastArrivalUs_ = arrivalUs;
  const size_t second = index / kPacketsPerSecond;
  if (second >= bySecond_.size()) bySecond_.resize(second + 1, bySecond_.empty() ? 0 : bySecond_.back());
  bySecond_[second] = JitterUs();
  return true;
}

TReport TStreamReceiver::Report(int sent) const {
  TReport r;
  r.Received = received_;
  r.Sent = sent;
  r.JitterUs = JitterUs();
  r.JitterBySecondUs = bySecond_;
  r.Map = map_;
  return r;
}

}  // namespace call_wire
