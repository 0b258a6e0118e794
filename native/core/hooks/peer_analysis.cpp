#include "peer_analysis.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "../common/pyfloat.hpp"
#include "step_peers.hpp"

namespace corvane::monitor {

namespace {

constexpr double kTiny = 1e-9;
// Slack for the host's own rounding when a decision is taken from the running sums.
constexpr long double kSlack = 1e-12L;

bool fresh(double ts, double t) { return std::fabs(ts - t) <= kFreshSeconds; }

}  // namespace

bool two_rank_ratio(double first, double second, double sigma) {
  double a = std::fabs(first), b = std::fabs(second);
  double smallest = 0.0;
  bool any = false;
  for (double v : {a, b}) {
    if (v > kTiny && (!any || v < smallest)) {
      smallest = v;
      any = true;
    }
  }
  double largest = b > a ? b : a;
  return smallest > 0 && largest / smallest > 1.0 + sigma;
}

double slowdown_pct(double value, double median) {
  return py_round((value / median - 1.0) * 100.0, 2);
}

PeerAnalyzer::PeerAnalyzer(double divergence_sigma, double straggler_threshold,
                           NanMedian nan_median)
    : PeerAnalyzer(StepSettings{divergence_sigma, straggler_threshold}, std::move(nan_median)) {}

PeerAnalyzer::PeerAnalyzer(const StepSettings& steps, NanMedian nan_median)
    : divergence_sigma_(steps.divergence_sigma),
      straggler_threshold_(steps.straggler_threshold),
      nan_median_(std::move(nan_median)),
      steps_(std::make_unique<StepPeers>(steps)) {}

PeerAnalyzer::~PeerAnalyzer() = default;

double PeerAnalyzer::median(std::vector<double> values, const NanMedian& nan_median) {
  for (double v : values) {
    if (std::isnan(v)) return nan_median(values);
  }
  // A stable sort orders equal values (0.0 and -0.0) as the host's sort does.
  std::stable_sort(values.begin(), values.end());
  std::size_t middle = values.size() / 2;
  if (values.size() % 2 == 1) return values[middle];
  return (values[middle - 1] + values[middle]) / 2.0;
}

double PeerAnalyzer::stdev(const std::vector<double>& values, double mean) {
  if (values.size() < 2) return 0.0;
  // sum() of floats as the host adds them: the first term onto 0, then compensated.
  double total = 0.0, compensation = 0.0;
  bool first = true;
  for (double v : values) {
    double x = std::pow(v - mean, 2.0);
    if (first) {
      total = 0.0 + x;
      first = false;
      continue;
    }
    double t = total + x;
    if (std::fabs(total) >= std::fabs(x)) {
      compensation += (total - t) + x;
    } else {
      compensation += (x - t) + total;
    }
    total = t;
  }
  if (compensation != 0.0 && std::isfinite(compensation)) total += compensation;
  return std::pow(total / static_cast<double>(values.size()), 0.5);
}

// Healthy ranks agree to a few percent: a spread below 5 % of the median (or 1e-6) is taken
// as that much, so that ranks agreeing unusually closely don't turn a 2 % difference into a
// large z-score.
double PeerAnalyzer::sigma_floor(double center) const {
  double scaled = std::fabs(center) * 0.05;
  return scaled >= 1e-6 ? scaled : 1e-6;
}

bool PeerAnalyzer::cooled(const std::pair<std::string, std::int64_t>& key, double now) {
  auto it = cooldowns_.find(key);
  double until = it == cooldowns_.end() ? 0.0 : it->second;  // the host's get(key, 0)
  if (!(until <= now)) return false;
  cooldowns_[key] = now + kCooldownSeconds;
  return true;
}

// -- the window -------------------------------------------------------------------------

void PeerAnalyzer::enter_window(std::size_t index) {
  Stored& s = reports_[index];
  const HookReport& r = s.report;
  s.in_window = true;
  window_ts_.emplace(r.timestamp, index);
  window_ranks_.insert(r.rank);
  if (r.gradient_norm) {
    gradient_.insert(*r.gradient_norm);
    gradient_sums_.update(*r.gradient_norm, +1);
  }
  if (r.step_time) step_.insert(*r.step_time);
  for (const auto& [name, value] : r.phase_values) phases_[name].insert(value);
}

void PeerAnalyzer::leave_window(std::size_t index) {
  Stored& s = reports_[index];
  const HookReport& r = s.report;
  s.in_window = false;
  auto [first, last] = window_ts_.equal_range(r.timestamp);
  for (auto it = first; it != last; ++it) {
    if (it->second == index) {
      window_ts_.erase(it);
      break;
    }
  }
  window_ranks_.erase(r.rank);
  if (r.gradient_norm) {
    gradient_.erase(*r.gradient_norm);
    gradient_sums_.update(*r.gradient_norm, -1);
  }
  if (r.step_time) step_.erase(*r.step_time);
  for (const auto& [name, value] : r.phase_values) {
    auto it = phases_.find(name);
    it->second.erase(value);
    if (it->second.count() == 0) phases_.erase(it);
  }
  // Running sums drift with every update: start them afresh now and then.
  Sums& g = gradient_sums_;
  if (g.updates > 4 * gradient_.size() + 64) {
    g = Sums{};
    for (double v : gradient_.values()) g.update(v, +1);
  }
}

void PeerAnalyzer::evict_stale(double t) {
  while (!window_ts_.empty()) {
    auto [oldest, index] = *window_ts_.begin();
    if (!(oldest < t) || fresh(oldest, t)) break;
    leave_window(index);
    stale_ts_.insert(oldest);
  }
}

bool PeerAnalyzer::window_is_fresh_set(double t) const {
  if (!std::isfinite(t) || window_ts_.empty()) return false;
  if (!fresh(window_ts_.begin()->first, t) || !fresh(window_ts_.rbegin()->first, t)) return false;
  return stale_ts_.empty() || t - *stale_ts_.rbegin() > kFreshSeconds;
}

std::vector<std::int64_t> PeerAnalyzer::window_ranks() const {
  return {window_ranks_.begin(), window_ranks_.end()};
}

std::vector<std::size_t> PeerAnalyzer::fresh_indices(double t) const {
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < reports_.size(); ++i) {
    if (fresh(reports_[i].report.timestamp, t)) out.push_back(i);
  }
  return out;
}

// -- analysis ---------------------------------------------------------------------------

std::vector<Detection> PeerAnalyzer::add(HookReport report, double now) {
  if (report.phase_index) return {};
  if (report.step) return steps_->add(report, now);
  auto [it, is_new] = index_.try_emplace(report.rank, reports_.size());
  std::size_t index = it->second;
  if (is_new) {
    reports_.push_back(Stored{});
  } else {
    Stored& old = reports_[index];
    if (old.in_window) {
      leave_window(index);
    } else if (std::isfinite(old.report.timestamp)) {
      stale_ts_.erase(stale_ts_.find(old.report.timestamp));
    }
  }
  reports_[index].report = std::move(report);
  const HookReport& r = reports_[index].report;
  double t = r.timestamp;
  // A report whose time is not finite is never within 15 s of a finite one.
  if (std::isfinite(t)) {
    enter_window(index);
    evict_stale(t);
  }

  std::vector<Detection> out;
  if (window_is_fresh_set(t)) {
    analyse_window(r, now, out);
  } else {
    analyse_exact(r, now, out);
  }
  return out;
}

std::optional<Detection> PeerAnalyzer::exact_divergence(const HookReport& r,
                                                        const std::vector<std::size_t>& fresh_set) {
  if (!r.gradient_norm) return std::nullopt;
  std::vector<double> samples;  // the finite gradient norms of the fresh reports
  for (std::size_t i : fresh_set) {
    const std::optional<double>& v = reports_[i].report.gradient_norm;
    if (v && std::isfinite(*v)) samples.push_back(*v);
  }
  double g = *r.gradient_norm;
  Detection d{
      Detection::kRankDivergence, r.rank, "", g, std::nullopt, std::nullopt, false, {}, false};
  if (!std::isfinite(g)) {
    // Diverged whatever its peers report, and however few they are.
    if (!samples.empty()) d.median = median(samples, nan_median_);
    d.non_finite = true;
    return d;
  }
  if (samples.size() < 2) return std::nullopt;
  double center = median(samples, nan_median_);
  double sigma = stdev(samples, center);
  double floor = sigma_floor(center);
  if (!(sigma > floor)) sigma = floor;
  double z = std::fabs(g - center) / sigma;
  bool ratio_trigger = false;
  if (samples.size() == 2)
    ratio_trigger = two_rank_ratio(samples[0], samples[1], divergence_sigma_);
  if (!(z > divergence_sigma_ || ratio_trigger)) return std::nullopt;
  d.median = center;
  d.score = py_round(z, 2);
  d.ratio_trigger = ratio_trigger;
  return d;
}

std::optional<double> PeerAnalyzer::exact_step_median(const std::vector<std::size_t>& fresh_set) {
  std::vector<double> samples;
  for (std::size_t i : fresh_set) {
    if (reports_[i].report.step_time) samples.push_back(*reports_[i].report.step_time);
  }
  if (samples.size() < 2) return std::nullopt;
  return median(samples, nan_median_);
}

std::optional<double> PeerAnalyzer::exact_phase_median(const std::string& phase,
                                                       const std::vector<std::size_t>& fresh_set) {
  std::vector<double> peers;
  for (std::size_t i : fresh_set) {
    const HookReport& p = reports_[i].report;
    if (!p.has_phase_map) continue;
    auto found = p.phase_values.find(phase);
    if (found != p.phase_values.end()) peers.push_back(found->second);
  }
  if (peers.size() < 2) return std::nullopt;
  return median(peers, nan_median_);
}

void PeerAnalyzer::straggler(const HookReport& r, double med, double now, const PeerRanks& peers,
                             std::vector<Detection>& out) {
  double st = *r.step_time;
  if (med > kTiny && st > med * (1.0 + straggler_threshold_) &&
      cooled({"rank_straggler", r.rank}, now)) {
    out.push_back({Detection::kRankStraggler, r.rank, "", st, med, slowdown_pct(st, med), false,
                   peers(), false});
  }
}

void PeerAnalyzer::phase_straggler(const HookReport& r, const PhaseEntry& e, double med, double now,
                                   const PeerRanks& peers, std::vector<Detection>& out) {
  double d = *e.duration;
  if (med > kTiny && d > med * (1.0 + straggler_threshold_) &&
      cooled({"phase_straggler:" + e.name, r.rank}, now)) {
    out.push_back({Detection::kPhaseStraggler, r.rank, e.name, d, med, slowdown_pct(d, med), false,
                   peers(), false});
  }
}

void PeerAnalyzer::analyse_exact(const HookReport& r, double now, std::vector<Detection>& out) {
  std::vector<std::size_t> fresh_set = fresh_indices(r.timestamp);
  std::vector<std::int64_t> ranks;
  PeerRanks peers = [&]() -> const std::vector<std::int64_t>& {
    if (ranks.empty()) {
      for (std::size_t i : fresh_set) ranks.push_back(reports_[i].report.rank);
      std::stable_sort(ranks.begin(), ranks.end());
    }
    return ranks;
  };

  if (auto d = exact_divergence(r, fresh_set)) {
    if (cooled({"rank_divergence", r.rank}, now)) {
      d->peer_ranks = peers();
      out.push_back(std::move(*d));
    }
  }
  if (r.step_time) {
    if (auto med = exact_step_median(fresh_set)) straggler(r, *med, now, peers, out);
  }
  if (!r.has_phase_map) return;
  for (const PhaseEntry& e : r.first_phases) {
    if (e.name_too_long || !e.duration) continue;
    if (auto med = exact_phase_median(e.name, fresh_set))
      phase_straggler(r, e, *med, now, peers, out);
  }
}

// Whether the finite norm `g` diverges, decided from the window's order statistics and
// running sums; nullopt for a call too close to make from them.
std::optional<bool> PeerAnalyzer::divergence_from_sums(double g) const {
  double center = gradient_.median();
  std::size_t n = gradient_.size();
  const Sums& s = gradient_sums_;
  long double c = center;
  long double dev2 = s.s2 - 2 * c * s.s1 + static_cast<long double>(n) * c * c;
  long double eps = LDBL_EPSILON;
  long double err =
      2 * static_cast<long double>(s.updates + 2) * eps * (s.a2 + 2 * std::fabs(c) * s.a1) +
      8 * eps * (std::fabs(s.s2) + 2 * std::fabs(c * s.s1) + n * c * c);
  // The host's spread lies within [lo, hi].
  long double lo = std::sqrt(std::max(0.0L, dev2 - err) / n) * (1 - kSlack);
  long double hi = std::sqrt((dev2 + err) / n) * (1 + kSlack);
  long double num = std::fabs(g - center);
  double floor = sigma_floor(center);
  if (n == 2 && two_rank_ratio(gradient_.min(), gradient_.max(), divergence_sigma_)) return true;
  // The floor is the spread: the z-score exactly as the host computes it.
  if (hi <= floor) return std::fabs(g - center) / floor > divergence_sigma_;
  // The spread used lies within [max(lo, floor), max(hi, floor)]; the slack on the floor
  // covers the host's rounding of the quotient.
  long double lo_used = std::max<long double>(lo, floor * (1 - kSlack));
  long double hi_used = std::max<long double>(hi, floor * (1 + kSlack));
  if (num / hi_used > divergence_sigma_) return true;
  if (num / lo_used <= divergence_sigma_) return false;
  return std::nullopt;
}

void PeerAnalyzer::analyse_window(const HookReport& r, double now, std::vector<Detection>& out) {
  // Here the window is exactly the fresh set, so its ranks are the peers.
  std::vector<std::int64_t> ranks;
  PeerRanks peer_ranks = [&]() -> const std::vector<std::int64_t>& {
    if (ranks.empty()) ranks = window_ranks();
    return ranks;
  };

  // Divergence: the median from the order statistics (of the finite norms only); the
  // spread from the running sums when they settle the question, else from the exact
  // computation. A norm that is not finite always fires, on the exact path.
  if (r.gradient_norm && (!std::isfinite(*r.gradient_norm) || gradient_.size() >= 2)) {
    double g = *r.gradient_norm;
    std::optional<bool> fires;
    if (std::isfinite(g) && !gradient_.median_touches_zero()) fires = divergence_from_sums(g);
    if (!fires || *fires) {
      // A firing detection (its details need the exact figures) or a close call.
      auto key = std::make_pair(std::string("rank_divergence"), r.rank);
      auto cd = cooldowns_.find(key);
      if ((cd == cooldowns_.end() ? 0.0 : cd->second) <= now) {
        if (auto d = exact_divergence(r, fresh_indices(r.timestamp))) {
          cooled(key, now);
          d->peer_ranks = peer_ranks();
          out.push_back(std::move(*d));
        }
      }
    }
  }

  if (r.step_time && step_.count() >= 2) {
    std::optional<double> med;
    if (step_.all_finite()) {
      med = step_.median();
    } else {
      med = exact_step_median(fresh_indices(r.timestamp));
    }
    if (med) straggler(r, *med, now, peer_ranks, out);
  }

  if (!r.has_phase_map) return;
  for (const PhaseEntry& e : r.first_phases) {
    if (e.name_too_long || !e.duration) continue;
    auto found = phases_.find(e.name);
    if (found == phases_.end() || found->second.count() < 2) continue;
    std::optional<double> med;
    if (found->second.all_finite()) {
      med = found->second.median();
    } else {
      med = exact_phase_median(e.name, fresh_indices(r.timestamp));
    }
    if (med) phase_straggler(r, e, *med, now, peer_ranks, out);
  }
}

}  // namespace corvane::monitor
