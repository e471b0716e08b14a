#include "lab/DelaySchedule.h"

#include <algorithm>
#include <cstdlib>

namespace natlab {

TDelaySchedule::TDelaySchedule(const TDelaySettings& settings)
    : settings_(settings), random_(settings.Seed), lastReleaseUs_(0) {}

int64_t TDelaySchedule::Release(int64_t arrivalUs) {
  int64_t extra = 0;
  if (settings_.JitterUs > 0) {
    // A 64-bit draw folded onto [0, JitterUs]: the bias is below 2^-40 for any jitter in use.
    extra = static_cast<int64_t>(random_() % static_cast<uint64_t>(settings_.JitterUs + 1));
  }
  int64_t release = arrivalUs + settings_.DelayUs + extra;
  if (any_) release = std::max(release, lastReleaseUs_);
  lastReleaseUs_ = release;
  any_ = true;
  return release;
}

std::vector<int64_t> ReleaseTimes(const std::vector<int64_t>& arrivalsUs, const TDelaySettings& settings) {
  TDelaySchedule schedule(settings);
  std::vector<int64_t> out;
  out.reserve(arrivalsUs.size());
  for (int64_t a : arrivalsUs) out.push_back(schedule.Release(a));
  return out;
}

}  // namespace natlab
