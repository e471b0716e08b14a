// The lab's delay schedule: release times, the order rule, and the interarrival jitter a
// receiver measures behind it (the figures lab/DelaySchedule.h and docs/DEVELOPERS.md state).
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "lab/DelaySchedule.h"
#include "proto/CallReceiver.h"

namespace {

// The jitter the tester's receiver measures for packets sent and received at these times.
double InterarrivalJitterUs(const std::vector<int64_t>& sentUs, const std::vector<int64_t>& receivedUs) {
  call_wire::TStreamReceiver r;
  for (size_t i = 0; i < sentUs.size(); ++i) r.Take(static_cast<uint32_t>(i), static_cast<uint32_t>(sentUs[i] / 125), receivedUs[i]);
  return static_cast<double>(r.JitterUs());
}

using natlab::ReleaseTimes;
using natlab::TDelaySettings;

std::vector<int64_t> Paced(int n, int64_t spacingUs) {
  std::vector<int64_t> t;
  for (int i = 0; i < n; ++i) t.push_back(i * spacingUs);
  return t;
}

TEST(DelaySchedule, ReleaseTimesTable) {
  struct Row {
    std::vector<int64_t> arrivals;
    TDelaySettings settings;
    std::vector<int64_t> releases;
  };
  const Row rows[] = {
      {{}, {40000, 0, 1}, {}},
      {{0, 20000, 40000}, {0, 0, 1}, {0, 20000, 40000}},
      {{0, 20000, 40000}, {40000, 0, 1}, {40000, 60000, 80000}},
      // Arrivals closer than nothing: equal times stay equal, in order.
      {{5, 5, 5}, {1000, 0, 1}, {1005, 1005, 1005}},
  };
  for (const Row& r : rows) EXPECT_EQ(ReleaseTimes(r.arrivals, r.settings), r.releases);
}

TEST(DelaySchedule, WideJitterBunchesPacketsButNeverReordersThem) {
  auto arrivals = Paced(500, 20000);
  auto rel = ReleaseTimes(arrivals, {0, 60000, 3});
  int held = 0;
  for (size_t i = 1; i < rel.size(); ++i) {
    ASSERT_GE(rel[i], rel[i - 1]);
    ASSERT_GE(rel[i], arrivals[i]);
    ASSERT_LE(rel[i], std::max(arrivals[i] + 60000, rel[i - 1]));
    if (rel[i] == rel[i - 1]) ++held;
  }
  EXPECT_GT(held, 50);
}

// What a receiver measures at the end of a call behind the delay, over many seeds: mean and
// spread of the final figure, at 20 ms spacing.
void ExpectJitter(int64_t jitterUs, int packets, double meanUs, double sdUs) {
  auto arrivals = Paced(packets, 20000);
  const int runs = 1000;
  double sum = 0, sum2 = 0;
  for (int seed = 1; seed <= runs; ++seed) {
    double j = InterarrivalJitterUs(arrivals, ReleaseTimes(arrivals, {40000, jitterUs, static_cast<uint64_t>(seed)}));
    sum += j;
    sum2 += j * j;
  }
  double mean = sum / runs, sd = std::sqrt(sum2 / runs - mean * mean);
  EXPECT_NEAR(mean, meanUs, 0.02 * meanUs) << "jitter " << jitterUs;
  EXPECT_NEAR(sd, sdUs, 0.15 * sdUs) << "jitter " << jitterUs;
}

TEST(DelaySchedule, MeasuredJitterIsAThirdOfTheRangeBelowThePacketSpacing) {
  ExpectJitter(15000, 750, 5000, 690);
  ExpectJitter(6000, 750, 2000, 276);
  // Wider than the spacing: the order rule holds packets back and the figure falls short of J/3.
  ExpectJitter(40000, 750, 12050, 1420);
}

}  // namespace
