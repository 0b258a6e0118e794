#include "progress.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "../common/fault_catalogue.hpp"
#include "../common/pyfloat.hpp"

namespace corvane::monitor {
namespace {

// How far a rank got: its last finished step, then the phase it entered after it.
std::pair<std::int64_t, std::int64_t> how_far(const RankProgress& p) {
  return {p.step.value_or(std::numeric_limits<std::int64_t>::min()), p.phase_index};
}

std::string rank_list(const std::vector<std::int64_t>& ranks) {
  constexpr std::size_t kShown = 8;
  std::string out = ranks.size() == 1 ? "rank " : "ranks ";
  for (std::size_t i = 0; i < ranks.size() && i < kShown; ++i) {
    if (i > 0) out += ", ";
    out += std::to_string(ranks[i]);
  }
  if (ranks.size() > kShown) out += " and " + std::to_string(ranks.size() - kShown) + " more";
  return out;
}

}  // namespace

void ProgressBook::saw(const HookReport& r, double now) {
  auto it = ranks_.find(r.rank);
  if (it == ranks_.end()) {
    if (ranks_.size() >= kMaxRanks) return;
    it = ranks_.emplace(r.rank, RankProgress{r.rank}).first;
  }
  RankProgress& p = it->second;
  if (r.phase_index) {
    if (r.step) p.step = r.step;
    p.phase_index = *r.phase_index;
  } else if (r.step) {
    p.step = r.step;
    p.phase_index = -1;
  }
  if (!r.phase.empty()) p.phase = r.phase;
  if (!r.node.empty()) p.node = r.node;
  p.reported_at = now;
}

std::vector<RankProgress> ProgressBook::ranks() const {
  std::vector<RankProgress> out;
  out.reserve(ranks_.size());
  for (const auto& [rank, p] : ranks_) out.push_back(p);
  return out;
}

std::string ProgressBook::node_of(std::int64_t rank) const {
  auto it = ranks_.find(rank);
  return it == ranks_.end() ? std::string() : it->second.node;
}

Details stuck_rank_details(const std::vector<RankProgress>& ranks, double now) {
  // Where no one rank holds the others up, nothing points at a node: the job is restarted
  // and no node is drained for it.
  const std::pair<std::string, DetailValue> restart{"action", DetailValue::string("restart_job")};
  if (ranks.empty()) return {{"stuck", DetailValue::string("no hook reports were seen")}, restart};
  auto least = std::min_element(ranks.begin(), ranks.end(), [](const auto& a, const auto& b) {
    return how_far(a) < how_far(b);
  });
  std::vector<std::int64_t> stuck, waiting;
  double oldest = now;
  std::string waiting_phase;
  for (const RankProgress& p : ranks) {
    if (how_far(p) == how_far(*least)) {
      stuck.push_back(p.rank);
      oldest = std::min(oldest, p.reported_at);
    } else {
      waiting.push_back(p.rank);
      if (waiting_phase.empty()) waiting_phase = p.phase;
    }
  }
  double age = py_round(now - oldest, 1);
  std::string text = waiting.empty() ? "every rank stopped at the same point: " : "";
  text += rank_list(stuck);
  if (stuck.size() == 1 && !least->node.empty()) text += " on " + least->node;
  text += least->step ? " after step " + std::to_string(*least->step) : " before any step";
  if (!least->phase.empty()) text += ", in " + least->phase;
  text += " (last report " + std::to_string(static_cast<long long>(age)) + " s ago)";
  if (!waiting.empty()) {
    text += "; " + rank_list(waiting) + (waiting.size() == 1 ? " waits" : " wait");
    if (!waiting_phase.empty()) text += " in " + waiting_phase;
  }
  Details d;
  if (stuck.size() == 1 && !waiting.empty()) {
    d.emplace_back("rank", DetailValue::integer(stuck.front()));
    if (!least->phase.empty()) d.emplace_back("phase", DetailValue::string(least->phase));
    if (!least->node.empty()) d.emplace_back("node", DetailValue::string(least->node));
  }
  d.emplace_back("stuck_ranks", DetailValue::integers(stuck));
  d.emplace_back("step", least->step ? DetailValue::integer(*least->step) : DetailValue::none());
  d.emplace_back("report_age_s", DetailValue::number(age));
  d.emplace_back("stuck", DetailValue::string(std::move(text)));
  if (stuck.size() != 1 || waiting.empty()) {
    d.push_back(restart);
  } else {
    // One rank stopped while the others wait for it: most often a process stuck in the
    // driver or its network, which only a reboot frees; its node is drained.
    add_fault_details(d, {FaultClass::kDriver, FaultAction::kReboot});
  }
  return d;
}

}  // namespace corvane::monitor
