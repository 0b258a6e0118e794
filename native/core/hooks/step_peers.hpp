// Peer comparison of reports that name their step. In data-parallel training every rank
// holds the same averaged gradients at a step, and ranks drift up to a step apart between
// synchronisation points, so a rank's report is compared only with the others' reports of
// the same step, never with their latest. A rank is a straggler only when it stays slow:
// the median of its last few step (or phase) times against the median of its peers' over
// the same steps, by a clear margin in time as well as in proportion. The first steps of a
// run (start-up, compilation, first buckets) are not judged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "peer_analysis.hpp"

namespace corvane::monitor {

struct StepSettings {
  double divergence_sigma = 2.0;
  double straggler_threshold = 0.1;
  double min_gap_s = 0.05;         // a straggler is also at least this much slower
  std::int64_t warmup_steps = 10;  // the first steps seen are not judged
};

inline constexpr std::size_t kStragglerWindow = 5;    // steps a straggler is judged over
inline constexpr std::size_t kMinStragglerRanks = 3;  // the rank and at least two others
inline constexpr std::size_t kStepsKept = 8;          // steps waiting for their last ranks
inline constexpr std::size_t kMaxSeries = std::size_t{1} << 16;
inline constexpr std::size_t kMaxStepRanks = std::size_t{1} << 16;

class StepPeers {
 public:
  explicit StepPeers(StepSettings settings) : s_(settings) {}

  // `r.step` is set. A step is judged once every rank seen so far has reported it, or when
  // it falls out of the kept steps; a gradient norm that is not finite is reported at once.
  std::vector<Detection> add(const HookReport& r, double now);

 private:
  struct RankRow {
    std::optional<double> gradient_norm, step_time;
    std::vector<std::pair<std::string, double>> phases;  // valid entries of the first 32
  };
  struct Series {
    std::deque<double> own, peers;  // the rank's value and its peers' median, per step
  };
  using Key = std::pair<std::string, std::int64_t>;  // metric ("" the step time), rank

  void judge(std::int64_t step, const std::map<std::int64_t, RankRow>& row, double now,
             std::vector<Detection>& out);
  void divergence(std::int64_t step, const std::map<std::int64_t, RankRow>& row, double now,
                  const std::vector<std::int64_t>& ranks, std::vector<Detection>& out);
  void stragglers(std::int64_t step, const std::string& metric,
                  const std::vector<std::pair<std::int64_t, double>>& values, double now,
                  std::vector<Detection>& out);
  bool cooled(const Key& key, double now);

  StepSettings s_;
  std::map<std::int64_t, std::map<std::int64_t, RankRow>> steps_;  // not yet judged
  std::set<std::int64_t> ranks_seen_;
  std::optional<std::int64_t> first_step_, last_judged_;
  std::map<Key, Series> series_;
  std::map<Key, double> cooldowns_;
};

}  // namespace corvane::monitor
