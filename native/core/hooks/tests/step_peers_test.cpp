#include "../step_peers.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "../progress.hpp"

namespace corvane::monitor {
namespace {

HookReport at(std::int64_t rank, std::int64_t step) {
  HookReport r;
  r.rank = rank;
  r.step = step;
  return r;
}
HookReport timed(std::int64_t rank, std::int64_t step, double forward, double step_time) {
  HookReport r = at(rank, step);
  r.step_time = step_time;
  r.has_phase_map = true;
  r.first_phases.push_back({"forward-compute", false, forward});
  return r;
}

// Runs `steps` steps of `ranks` ranks through `peers`, rank by rank; `make` builds a report.
template <class Make>
std::vector<Detection> run(StepPeers& peers, int first, int steps, int ranks, Make make) {
  std::vector<Detection> found;
  for (int s = first; s < first + steps; ++s) {
    for (int r = 0; r < ranks; ++r) {
      for (auto& d : peers.add(make(r, s), 1000.0 + s)) found.push_back(d);
    }
  }
  return found;
}

TEST(StepPeers, NormsAreComparedWithinTheirStepNeverWithAPeersOtherStep) {
  StepPeers peers({2.0, 0.1, 0.05, 0});
  // Every rank has the same norm at a step, and the norm changes each step; rank 4 runs a
  // step ahead, as ranks do between synchronisations.
  std::vector<Detection> found;
  for (int s = 1; s <= 20; ++s) {
    for (int r = 0; r < 5; ++r) {
      HookReport rep = at(r, r == 4 ? s + 1 : s);
      rep.gradient_norm = 1.0 / (r == 4 ? s + 1 : s);
      for (auto& d : peers.add(rep, s)) found.push_back(d);
    }
  }
  EXPECT_TRUE(found.empty());
  // Five ranks of one step, rank 3 ten times the others: judged when the step is complete.
  found = run(peers, 40, 1, 5, [](int r, int s) {
    HookReport rep = at(r, s);
    rep.gradient_norm = r == 3 ? 10.0 : 1.0;
    return rep;
  });
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].rank, 3);
  EXPECT_EQ(found[0].step, 40);
  EXPECT_EQ(found[0].score, 2.24);
  EXPECT_EQ(found[0].peer_ranks, (std::vector<std::int64_t>{0, 1, 2, 3, 4}));
}

TEST(StepPeers, ANormThatIsNotFiniteIsToldAtOnceEvenInWarmUp) {
  StepPeers peers({2.0, 0.1, 0.05, 10});
  HookReport rep = at(2, 1);
  rep.gradient_norm = std::numeric_limits<double>::quiet_NaN();
  auto found = peers.add(rep, 1.0);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_TRUE(found[0].non_finite);
  EXPECT_EQ(found[0].peer_ranks, std::vector<std::int64_t>{2});
}

struct StragglerCase {
  const char* name;
  double slow_by;     // seconds rank 1 is slower in its forward pass, from step 15 on
  int warmup, steps;  // steps from 1
  bool found;
};

class Stragglers : public ::testing::TestWithParam<StragglerCase> {};

TEST_P(Stragglers, OnlyARankThatStaysSlowByAClearMarginAfterWarmUp) {
  const StragglerCase& c = GetParam();
  StepPeers peers({2.0, 0.1, 0.05, c.warmup});
  auto found = run(peers, 1, c.steps, 4, [&](int r, int s) {
    // Jitter: every rank has one slow step in four, at different steps.
    double forward = 0.02 + ((s + r) % 4 == 0 ? 0.3 : 0.0);
    if (r == 1 && s >= 15) forward += c.slow_by;
    return timed(r, s, forward, 0.1);
  });
  std::vector<Detection> phase;
  for (const auto& d : found) {
    EXPECT_NE(d.kind, Detection::kRankStraggler);  // DDP's step times are the same everywhere
    if (d.kind == Detection::kPhaseStraggler) phase.push_back(d);
  }
  if (!c.found) {
    EXPECT_TRUE(phase.empty()) << c.name;
    return;
  }
  ASSERT_EQ(phase.size(), 1u) << c.name;
  EXPECT_EQ(phase[0].rank, 1);
  EXPECT_EQ(phase[0].phase, "forward-compute");
  EXPECT_EQ(phase[0].window, kStragglerWindow);
  EXPECT_EQ(phase[0].step, 17);  // the third slow step: most of the window
}

INSTANTIATE_TEST_SUITE_P(
    StepPeers, Stragglers,
    ::testing::Values(StragglerCase{"persistent", 0.3, 10, 30, true},
                      StragglerCase{"jitter only", 0.0, 10, 30, false},
                      StragglerCase{"slower but by under the gap", 0.01, 10, 30, false},
                      StragglerCase{"slow only during warm-up", 0.3, 40, 30, false},
                      StragglerCase{"two slow steps of five", 0.3, 10, 16, false}),
    [](const auto& info) {
      std::string n = info.param.name;
      for (char& ch : n) ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
      return n;
    });

TEST(StepPeers, AJobStartedAgainFromAnEarlierStepWarmsUpAgain) {
  StepPeers peers({2.0, 0.1, 0.05, 5});
  run(peers, 100, 20, 3, [](int r, int s) { return timed(r, s, 0.02, 0.1); });
  // Back at step 50: the slow rank of the first steps after the restart is not judged.
  auto found =
      run(peers, 50, 6, 3, [](int r, int s) { return timed(r, s, r == 2 ? 1.0 : 0.02, 0.1); });
  EXPECT_TRUE(found.empty());
}

TEST(Progress, AHangNamesTheRanksThatGotLeastFar) {
  ProgressBook book;
  auto phase_start = [](std::int64_t rank, std::int64_t last_step, std::int64_t index,
                        std::string name) {
    HookReport r = at(rank, last_step);
    r.phase_index = index;
    r.phase = std::move(name);
    return r;
  };
  EXPECT_EQ(stuck_rank_details(book.ranks(), 10.0).front().second.text,
            "no hook reports were seen");
  for (std::int64_t r = 0; r < 4; ++r) book.saw(at(r, 69), 1.0);
  for (std::int64_t r = 0; r < 4; ++r) book.saw(phase_start(r, 69, 0, "forward-compute"), 2.0);
  for (std::int64_t r : {0, 2, 3}) book.saw(phase_start(r, 69, 1, "backward-compute"), 2.5);
  HookReport where = phase_start(1, 69, 0, "");
  where.node = "n2";
  book.saw(where, 2.0);
  Details d = stuck_rank_details(book.ranks(), 50.0);
  auto get = [&](const std::string& key) {
    for (auto& [k, v] : d) {
      if (k == key) return v;
    }
    ADD_FAILURE() << key;
    return DetailValue{};
  };
  EXPECT_EQ(get("rank").i, 1);
  EXPECT_EQ(get("phase").text, "forward-compute");
  EXPECT_EQ(get("step").i, 69);
  EXPECT_EQ(get("report_age_s").f, 48.0);
  EXPECT_EQ(get("node").text, "n2");
  EXPECT_EQ(get("action").text, "reboot");  // its node is drained, not only the job restarted
  EXPECT_EQ(get("stuck").text,
            "rank 1 on n2 after step 69, in forward-compute (last report 48 s ago); ranks 0, 2, "
            "3 wait in backward-compute");
  // All at the same point: every rank is named, none singled out.
  book.saw(phase_start(1, 69, 1, "backward-compute"), 3.0);
  d = stuck_rank_details(book.ranks(), 50.0);
  EXPECT_EQ(d.front().first, "stuck_ranks");
  EXPECT_EQ(d.front().second.list, (std::vector<std::int64_t>{0, 1, 2, 3}));
  EXPECT_EQ(d.back().second.text, "restart_job");
}

}  // namespace
}  // namespace corvane::monitor
