#include "detection_finding.hpp"

namespace corvane::monitor {

DetectionText describe(const Detection& d) {
  const std::string rank = "Rank " + std::to_string(d.rank);
  switch (d.kind) {
    case Detection::kRankDivergence:
      return {"rank_divergence", rank + " gradient norm diverged from peers"};
    case Detection::kRankStraggler:
      return {"rank_straggler", rank + " is consistently slower than peers"};
    case Detection::kPhaseStraggler:
      break;
  }
  return {"phase_straggler", rank + " is slower than peers in " + d.phase};
}

Details detection_details(const Detection& d) {
  struct Keys {
    std::string_view value, median, score;
  };
  static constexpr Keys kKeys[] = {
      {"gradient_norm", "median_gradient_norm", "z_score"},  // kRankDivergence
      {"step_time", "median_step_time", "slowdown_pct"},     // kRankStraggler
      {"duration", "median_duration", "slowdown_pct"},       // kPhaseStraggler
  };
  const Keys& keys = kKeys[d.kind];
  const bool divergence = d.kind == Detection::kRankDivergence;
  Details out;
  out.emplace_back("rank", d.rank);
  if (d.kind == Detection::kPhaseStraggler) out.emplace_back("phase", d.phase);
  out.emplace_back(keys.value, d.value);
  out.emplace_back(keys.median, d.median);
  out.emplace_back(keys.score, d.score);
  if (divergence) out.emplace_back("ratio_trigger", d.ratio_trigger);
  out.emplace_back("peer_ranks", d.peer_ranks);
  if (divergence) out.emplace_back("non_finite", d.non_finite);
  return out;
}

}  // namespace corvane::monitor
