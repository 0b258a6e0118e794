#include "../fresh_ranks.hpp"

#include <gtest/gtest.h>

#include "../peer_analysis.hpp"

namespace corvane::monitor {
namespace {

TEST(FreshRanks, CountsRanksReadWithinTheWindow) {
  FreshRanks ranks;
  ranks.saw(0, 100.0);
  ranks.saw(1, 100.0);
  ranks.saw(1, 110.0);  // a rank counts once, by its latest report
  EXPECT_EQ(ranks.count(110.0), 2u);
  EXPECT_EQ(ranks.count(100.0 + kFreshSeconds + 1), 1u);  // rank 0 went stale
  EXPECT_EQ(ranks.count(110.0 + kFreshSeconds + 1), 0u);
  ranks.saw(0, 200.0);  // a forgotten rank that reports again counts again
  EXPECT_EQ(ranks.count(200.0), 1u);
}

TEST(FreshRanks, TracksABoundedNumberOfRanks) {
  FreshRanks ranks;
  for (std::int64_t r = 0; r < static_cast<std::int64_t>(FreshRanks::kMaxTracked) + 10; ++r) {
    ranks.saw(r, 1.0);
  }
  EXPECT_EQ(ranks.count(1.0), FreshRanks::kMaxTracked);
  ranks.saw(5, 2.0);  // one already tracked is still updated
  EXPECT_EQ(ranks.count(1.0 + kFreshSeconds + 0.5), 1u);
}

}  // namespace
}  // namespace corvane::monitor
