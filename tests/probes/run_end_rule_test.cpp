// When a run ends and why, as tables: after the test sequence, and at each countdown tick.
#include <gtest/gtest.h>

#include "probes/RunEndRule.h"

namespace {

TEST(RunEndRule, end_after_the_sequence) {
  using O = TSequenceReport::TOutcome;
  struct Row {
    O outcome;
    bool natTest, timeout;
    std::optional<TRunEnd> end;
  };
  const Row rows[] = {
      {O::NoGreeting, false, false, TRunEnd::ServerNotReached}, {O::NoEcho, false, false, TRunEnd::ServerNotReached},
      {O::TimeUp, true, true, TRunEnd::TimeLimit},              {O::ServerBusy, false, false, TRunEnd::ServerBusy},
      {O::Completed, false, false, TRunEnd::NoNatTest},         {O::Completed, true, false, std::nullopt},
      {O::Completed, false, true, std::nullopt},
  };
  for (const Row& r : rows)
    EXPECT_EQ(RunEndAfterSequence(r.outcome, r.natTest, r.timeout), r.end)
        << static_cast<int>(r.outcome) << r.natTest << r.timeout;
}

TEST(RunEndRule, countdown_tick) {
  using T = TReportsTick;
  struct Row {
    bool left, report, natTest, timeout;
    T step;
  };
  const Row rows[] = {
      {false, false, true, false, T::AwaitFirstReport}, {false, false, true, true, T::Countdown},
      {true, false, true, false, T::Countdown},         {true, true, true, false, T::Countdown},
      {false, true, true, false, T::CountdownRanOut},   {false, true, true, true, T::Countdown},
      {false, false, false, false, T::NoNatTest},       {false, false, false, true, T::Countdown},
  };
  for (const Row& r : rows)
    EXPECT_EQ(ReportsTickStep(r.left, r.report, r.natTest, r.timeout), r.step)
        << r.left << r.report << r.natTest << r.timeout;
}

}  // namespace
