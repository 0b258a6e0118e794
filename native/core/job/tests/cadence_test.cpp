#include "../cadence.hpp"

#include <gtest/gtest.h>

namespace corvane::monitor {
namespace {

TEST(LoopCadence, ChecksEveryPeriodOfAtLeastASecond) {
  LoopCadence fast(0.2, 100.0);  // a poll interval under a second waits a second
  EXPECT_DOUBLE_EQ(fast.wait_s(100.0), 1.0);
  EXPECT_FALSE(fast.checks_due(100.9));
  EXPECT_TRUE(fast.checks_due(101.0));
  EXPECT_FALSE(fast.checks_due(101.5));  // counted from the last run
  EXPECT_DOUBLE_EQ(fast.wait_s(101.5), 0.5);
  LoopCadence slow(30.0, 0.0);
  EXPECT_FALSE(slow.checks_due(29.0));
  EXPECT_TRUE(slow.checks_due(31.0));
  EXPECT_LT(slow.wait_s(62.0), 0.0);  // overdue: no wait
}

TEST(LoopCadence, WatchingLineOnceWhenTheSourcesSpokeOrAfterThreeSeconds) {
  WatchState some;
  some.sources = {{"telemetry", "nvml, 2 GPUs"}};
  LoopCadence waiting(5.0, 10.0);
  EXPECT_FALSE(waiting.watching_line(some, "h", 12.9));
  auto late = waiting.watching_line(some, "h", 13.0);
  ASSERT_TRUE(late);
  EXPECT_EQ(*late, "[corvane] watching: output, telemetry (nvml, 2 GPUs), hook file (h)");
  EXPECT_FALSE(waiting.watching_line(some, "h", 20.0));

  WatchState both = some;
  both.sources.emplace_back("kernel log", "");
  LoopCadence ready(5.0, 10.0);
  EXPECT_TRUE(ready.watching_line(both, "h", 10.1));
  EXPECT_FALSE(ready.watching_line(both, "h", 10.2));
}

TEST(LoopCadence, WaitSlicesShortenOnceTheOutputEnded) {
  EXPECT_DOUBLE_EQ(*LoopCadence::slice_end(1.0, 5.0, false), 1.1);
  EXPECT_DOUBLE_EQ(*LoopCadence::slice_end(1.0, 5.0, true), 1.01);
  EXPECT_DOUBLE_EQ(*LoopCadence::slice_end(1.0, 1.05, false), 1.05);
  EXPECT_FALSE(LoopCadence::slice_end(5.0, 5.0, false));
}

}  // namespace
}  // namespace corvane::monitor
