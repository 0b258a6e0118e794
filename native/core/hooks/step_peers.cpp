#include "step_peers.hpp"

#include <algorithm>
#include <cmath>

#include "../common/pyfloat.hpp"

namespace corvane::monitor {
namespace {

constexpr double kTiny = 1e-9;

double median_of(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  std::size_t m = v.size() / 2;
  return v.size() % 2 == 1 ? v[m] : (v[m - 1] + v[m]) / 2.0;
}

// The median of `sorted` without its element at `skip`.
double median_without(const std::vector<double>& sorted, std::size_t skip) {
  std::size_t n = sorted.size() - 1, m = n / 2;
  auto at = [&](std::size_t k) { return sorted[k < skip ? k : k + 1]; };
  return n % 2 == 1 ? at(m) : (at(m - 1) + at(m)) / 2.0;
}

}  // namespace

bool StepPeers::cooled(const Key& key, double now) {
  auto it = cooldowns_.find(key);
  if (it != cooldowns_.end() && !(it->second <= now)) return false;
  cooldowns_[key] = now + kCooldownSeconds;
  return true;
}

std::vector<Detection> StepPeers::add(const HookReport& r, double now) {
  std::vector<Detection> out;
  const std::int64_t step = *r.step;
  if (ranks_seen_.size() < kMaxStepRanks) ranks_seen_.insert(r.rank);
  if (r.gradient_norm && !std::isfinite(*r.gradient_norm) &&
      cooled({"rank_divergence", r.rank}, now)) {
    // Not finite: a divergence by itself, said at once.
    Detection d{Detection::kRankDivergence, r.rank,       {},
                *r.gradient_norm,           std::nullopt, std::nullopt};
    d.non_finite = true;
    d.step = step;
    auto pending = steps_.find(step);
    if (pending != steps_.end()) {
      for (const auto& [rank, row] : pending->second) d.peer_ranks.push_back(rank);
    }
    auto at = std::lower_bound(d.peer_ranks.begin(), d.peer_ranks.end(), r.rank);
    if (at == d.peer_ranks.end() || *at != r.rank) d.peer_ranks.insert(at, r.rank);
    out.push_back(std::move(d));
  }

  const auto kept = static_cast<std::int64_t>(kStepsKept);
  std::optional<std::int64_t> newest = last_judged_;
  if (!steps_.empty()) {
    newest = std::max(newest.value_or(steps_.rbegin()->first), steps_.rbegin()->first);
  }
  if (newest && step < *newest - kept) {
    // Far behind every step seen: the job started again from an earlier checkpoint, and
    // warms up again.
    steps_.clear();
    first_step_.reset();
    last_judged_.reset();
  } else if (last_judged_ && step <= *last_judged_ && steps_.count(step) == 0) {
    return out;  // a step already judged
  }
  if (!first_step_) first_step_ = step;

  auto& row = steps_[step];
  if (row.size() >= kMaxStepRanks && row.count(r.rank) == 0) return out;
  RankRow& mine = row[r.rank];
  mine.gradient_norm = r.gradient_norm;
  mine.step_time = r.step_time;
  mine.phases.clear();
  if (r.has_phase_map) {
    for (const PhaseEntry& e : r.first_phases) {
      if (!e.name_too_long && e.duration) mine.phases.emplace_back(e.name, *e.duration);
    }
  }

  if (row.size() >= ranks_seen_.size()) {
    auto it = steps_.find(step);
    judge(step, it->second, now, out);
    steps_.erase(it);
    last_judged_ = std::max(last_judged_.value_or(step), step);
  }
  while (steps_.size() > kStepsKept) {
    auto oldest = steps_.begin();
    judge(oldest->first, oldest->second, now, out);
    last_judged_ = std::max(last_judged_.value_or(oldest->first), oldest->first);
    steps_.erase(oldest);
  }
  return out;
}

void StepPeers::judge(std::int64_t step, const std::map<std::int64_t, RankRow>& row, double now,
                      std::vector<Detection>& out) {
  if (step < *first_step_ + s_.warmup_steps) return;
  std::vector<std::int64_t> ranks;
  for (const auto& [rank, data] : row) ranks.push_back(rank);
  divergence(step, row, now, ranks, out);

  std::vector<std::pair<std::int64_t, double>> step_times;
  std::map<std::string, std::vector<std::pair<std::int64_t, double>>> phases;
  for (const auto& [rank, data] : row) {
    if (data.step_time && std::isfinite(*data.step_time))
      step_times.emplace_back(rank, *data.step_time);
    for (const auto& [name, value] : data.phases) {
      if (std::isfinite(value)) phases[name].emplace_back(rank, value);
    }
  }
  stragglers(step, "", step_times, now, out);
  for (const auto& [name, values] : phases) stragglers(step, name, values, now, out);
  for (Detection& d : out) {
    if (d.step == step && d.peer_ranks.empty()) d.peer_ranks = ranks;
  }
}

void StepPeers::divergence(std::int64_t step, const std::map<std::int64_t, RankRow>& row,
                           double now, const std::vector<std::int64_t>& ranks,
                           std::vector<Detection>& out) {
  std::vector<std::pair<std::int64_t, double>> norms;
  for (const auto& [rank, data] : row) {
    if (data.gradient_norm && std::isfinite(*data.gradient_norm)) {
      norms.emplace_back(rank, *data.gradient_norm);
    }
  }
  if (norms.size() < 2) return;
  std::vector<double> values;
  for (const auto& n : norms) values.push_back(n.second);
  double center = median_of(values);
  double sigma = PeerAnalyzer::stdev(values, center);
  if (sigma <= kTiny) sigma = std::max(std::fabs(center) * 0.05, 1e-6);
  for (const auto& [rank, g] : norms) {
    double z = std::fabs(g - center) / sigma;
    bool ratio = norms.size() == 2 && two_rank_ratio(values[0], values[1], s_.divergence_sigma);
    if (!(z > s_.divergence_sigma || ratio) || !cooled({"rank_divergence", rank}, now)) continue;
    Detection d{Detection::kRankDivergence, rank, {}, g, center, py_round(z, 2)};
    d.ratio_trigger = ratio;
    d.peer_ranks = ranks;
    d.step = step;
    out.push_back(std::move(d));
  }
}

void StepPeers::stragglers(std::int64_t step, const std::string& metric,
                           const std::vector<std::pair<std::int64_t, double>>& values, double now,
                           std::vector<Detection>& out) {
  if (values.size() < kMinStragglerRanks) return;
  std::vector<double> sorted;
  for (const auto& v : values) sorted.push_back(v.second);
  std::sort(sorted.begin(), sorted.end());
  for (const auto& [rank, value] : values) {
    Key key{metric, rank};
    auto it = series_.find(key);
    if (it == series_.end()) {
      if (series_.size() >= kMaxSeries) continue;
      it = series_.emplace(key, Series{}).first;
    }
    Series& s = it->second;
    auto at = std::lower_bound(sorted.begin(), sorted.end(), value);
    s.own.push_back(value);
    s.peers.push_back(median_without(sorted, static_cast<std::size_t>(at - sorted.begin())));
    if (s.own.size() > kStragglerWindow) {
      s.own.pop_front();
      s.peers.pop_front();
    }
    if (s.own.size() < kStragglerWindow) continue;
    double own = median_of({s.own.begin(), s.own.end()});
    double peers = median_of({s.peers.begin(), s.peers.end()});
    if (!(peers > kTiny && own > peers * (1.0 + s_.straggler_threshold) &&
          own - peers >= s_.min_gap_s)) {
      continue;
    }
    std::string cooldown = metric.empty() ? "rank_straggler" : "phase_straggler:" + metric;
    if (!cooled({cooldown, rank}, now)) continue;
    Detection d{metric.empty() ? Detection::kRankStraggler : Detection::kPhaseStraggler,
                rank,
                metric,
                own,
                peers,
                slowdown_pct(own, peers)};
    d.step = step;
    d.window = kStragglerWindow;
    out.push_back(std::move(d));
  }
}

}  // namespace corvane::monitor
