#include "detection_finding.hpp"

namespace corvane::monitor {

namespace {

Finding worded(const Detection& d) {
  const std::string rank = "Rank " + std::to_string(d.rank);
  switch (d.kind) {
    case Detection::kRankDivergence:
      return {"rank_divergence", "WARN", rank + " gradient norm diverged from peers", {}};
    case Detection::kRankStraggler:
      return {"rank_straggler", "WARN", rank + " is consistently slower than peers", {}};
    case Detection::kPhaseStraggler:
      break;
  }
  return {"phase_straggler", "WARN", rank + " is slower than peers in " + d.phase, {}};
}

}  // namespace

Finding describe(const Detection& d) {
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
  using V = DetailValue;
  Finding out = worded(d);
  auto add = [&](std::string_view key, DetailValue v) { out.details.emplace_back(key, v); };
  add("rank", V::integer(d.rank));
  if (d.kind == Detection::kPhaseStraggler) add("phase", V::string(d.phase));
  add(keys.value, V::number(d.value));
  add(keys.median, V::number(d.median));
  add(keys.score, V::number(d.score));
  if (divergence) add("ratio_trigger", V::flag(d.ratio_trigger));
  add("peer_ranks", V::integers(d.peer_ranks));
  if (d.non_finite) add("non_finite", V::flag(true));
  // Reports compared step by step: the step judged, and a straggler's window of steps.
  if (d.step) add("step", V::integer(*d.step));
  if (d.window > 0) add("window_steps", V::integer(static_cast<std::int64_t>(d.window)));
  return out;
}

}  // namespace corvane::monitor
