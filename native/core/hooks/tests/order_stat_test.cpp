#include "../order_stat.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <vector>

namespace corvane::monitor {
namespace {

double sorted_median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  std::size_t m = v.size() / 2;
  return v.size() % 2 == 1 ? v[m] : (v[m - 1] + v[m]) / 2.0;
}

// Random inserts and erases, many of them equal values, against sorting every time.
TEST(OrderStat, MedianFollowsEveryInsertAndEraseLikeSorting) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int> value(0, 9), action(0, 2);
  OrderStat stat;
  std::vector<double> kept;
  for (int i = 0; i < 2000; ++i) {
    if (kept.empty() || action(random) != 0) {
      double v = value(random) * 0.5;
      stat.insert(v);
      kept.push_back(v);
    } else {
      std::size_t at = std::uniform_int_distribution<std::size_t>(0, kept.size() - 1)(random);
      stat.erase(kept[at]);
      kept.erase(kept.begin() + static_cast<std::ptrdiff_t>(at));
    }
    if (kept.empty()) continue;
    ASSERT_EQ(stat.size(), kept.size());
    ASSERT_EQ(stat.median(), sorted_median(kept)) << "after step " << i;
    ASSERT_EQ(stat.min(), *std::min_element(kept.begin(), kept.end()));
  }
}

TEST(OrderStat, NonFiniteValuesAreOnlyCounted) {
  OrderStat stat;
  stat.insert(1.0);
  stat.insert(std::numeric_limits<double>::quiet_NaN());
  stat.insert(3.0);
  EXPECT_FALSE(stat.all_finite());
  EXPECT_EQ(stat.count(), 3u);
  EXPECT_EQ(stat.median(), 2.0);
  stat.erase(std::numeric_limits<double>::infinity());
  EXPECT_TRUE(stat.all_finite());
  stat.insert(0.0);
  EXPECT_FALSE(stat.median_touches_zero());  // 0, 1, 3: the middle is 1
  stat.insert(-1.0);
  EXPECT_TRUE(stat.median_touches_zero());  // -1, 0, 1, 3
}

}  // namespace
}  // namespace corvane::monitor
