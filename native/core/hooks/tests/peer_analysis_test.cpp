#include "../peer_analysis.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace corvane::monitor {
namespace {

PeerAnalyzer analyzer() {
  // Only samples holding NaN reach the host's median; none of these tests has one.
  return PeerAnalyzer(2.0, 0.1, [](const std::vector<double>&) -> double {
    ADD_FAILURE() << "host median asked for";
    return 0.0;
  });
}

HookReport report(std::int64_t rank, double ts) {
  HookReport r;
  r.rank = rank;
  r.timestamp = ts;
  return r;
}
HookReport step(std::int64_t rank, double ts, double step_time) {
  HookReport r = report(rank, ts);
  r.step_time = step_time;
  return r;
}
HookReport grad(std::int64_t rank, double ts, double norm) {
  HookReport r = report(rank, ts);
  r.gradient_norm = norm;
  return r;
}
HookReport phase(std::int64_t rank, double ts, const std::string& name, double duration) {
  HookReport r = report(rank, ts);
  r.has_phase_map = true;
  r.first_phases.push_back({name, false, duration});
  r.phase_values[name] = duration;
  return r;
}

TEST(PeerAnalysis, SpreadIsThePopulationStdevSummedAsTheHostSums) {
  EXPECT_EQ(PeerAnalyzer::stdev({1.0}, 0.0), 0.0);  // one sample has no spread
  EXPECT_EQ(PeerAnalyzer::stdev({1.0, 3.0}, 2.0), 1.0);
  // The host's sum() of floats is compensated: 1e16 + 1 + 1 keeps its 2, which a plain
  // running sum loses (it would give 57735026.918962575).
  EXPECT_EQ(PeerAnalyzer::stdev({1e8, 1.0, 1.0}, 0.0), 57735026.91896258);
}

TEST(PeerAnalysis, AStragglerIsToldOncePerCooldownWithItsFreshPeers) {
  PeerAnalyzer a = analyzer();
  for (std::int64_t r = 0; r < 4; ++r) EXPECT_TRUE(a.add(step(r, 100.0, 1.0), 100.0).empty());
  auto found = a.add(step(4, 100.0, 1.5), 100.0);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].kind, Detection::kRankStraggler);
  EXPECT_EQ(found[0].median, 1.0);
  EXPECT_EQ(found[0].score, 50.0);
  EXPECT_EQ(found[0].peer_ranks, (std::vector<std::int64_t>{0, 1, 2, 3, 4}));
  EXPECT_TRUE(a.add(step(4, 110.0, 1.5), 110.0).empty());  // within the cooldown
  // Later, only the peers that reported within 15 s of the report count.
  a.add(step(0, 140.0, 1.0), 140.0);
  a.add(step(1, 140.0, 1.0), 140.0);
  found = a.add(step(4, 141.0, 1.5), 141.0);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].peer_ranks, (std::vector<std::int64_t>{0, 1, 4}));
  EXPECT_TRUE(a.add(step(3, 141.0, 1.05), 141.0).empty());  // 5 % slower: within the threshold
}

TEST(PeerAnalysis, DivergenceByZScoreByRatioOfTwoAndByANonFiniteNorm) {
  PeerAnalyzer a = analyzer();
  for (std::int64_t r = 0; r < 6; ++r) a.add(grad(r, 100.0, 1.0 + 0.01 * r), 100.0);
  auto found = a.add(grad(6, 100.0, 9.0), 100.0);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].kind, Detection::kRankDivergence);
  EXPECT_FALSE(found[0].ratio_trigger);
  EXPECT_GT(*found[0].score, 2.0);

  PeerAnalyzer two = analyzer();
  two.add(grad(0, 100.0, 1.0), 100.0);
  found = two.add(grad(1, 100.0, 10.0), 100.0);  // z is 1, but 10x the other norm
  ASSERT_EQ(found.size(), 1u);
  EXPECT_TRUE(found[0].ratio_trigger);
  EXPECT_EQ(found[0].score, 1.0);

  PeerAnalyzer lone = analyzer();  // alone, a NaN is still a divergence
  found = lone.add(grad(3, 100.0, std::numeric_limits<double>::quiet_NaN()), 100.0);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_TRUE(found[0].non_finite);
  EXPECT_EQ(found[0].score, std::nullopt);
  EXPECT_EQ(found[0].median, std::nullopt);
}

TEST(PeerAnalysis, APhaseStragglerNamesItsPhase) {
  PeerAnalyzer a = analyzer();
  a.add(phase(0, 100.0, "grad-all-reduce", 0.2), 100.0);
  a.add(phase(1, 100.0, "grad-all-reduce", 0.2), 100.0);
  EXPECT_TRUE(a.add(phase(2, 100.0, "forward-compute", 0.9), 100.0).empty());  // no peers
  auto found = a.add(phase(3, 100.0, "grad-all-reduce", 0.3), 100.0);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].kind, Detection::kPhaseStraggler);
  EXPECT_EQ(found[0].phase, "grad-all-reduce");
  EXPECT_EQ(found[0].median, 0.2);
}

}  // namespace
}  // namespace corvane::monitor
