// Comparing each rank's report with its peers: diverging gradient norms, straggling ranks
// and straggling phases.
//
// The statistics of the fresh reports (those within 15 s of the report being analysed) are
// kept incrementally: order statistics per metric and per phase, and running sums for the
// spread of the gradient norms, updated as each rank's latest report replaces its previous
// one. Reports that went stale are moved out of them. Whenever that set is not exactly the
// fresh set of a report (reports out of time order, values that are not finite, a median
// of zero whose sign depends on order, a decision too close to call from the running
// sums), the report is analysed by the exact computation over all stored reports, so the
// results are always those of the exact definitions.
//
// Gradient norms that are not finite take no part in the statistics of the others: a rank
// reporting one is a divergence by itself, and its NaN would make every comparison of its
// peers false while it stays fresh.
#pragma once

#include <cmath>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "order_stat.hpp"

namespace corvane::monitor {

inline constexpr double kFreshSeconds = 15.0;
inline constexpr double kCooldownSeconds = 30.0;
inline constexpr std::size_t kMaxPhasesPerPayload = 32;
inline constexpr std::size_t kMaxPhaseNameChars = 128;

// With two ranks the z-score can't exceed 1: compare the larger norm with the smaller
// (those at or below 1e-9 don't count as the smaller). min() and max() as the host takes
// them: the first value stays unless a later one compares smaller (larger).
bool two_rank_ratio(double first, double second, double sigma);
// How much slower `value` is than `median`, in percent rounded to 2 decimals.
double slowdown_pct(double value, double median);

struct PhaseEntry {
  std::string name;
  bool name_too_long = false;
  std::optional<double> duration;  // nullopt when it does not convert to a float
};

struct HookReport {
  std::int64_t rank = 0;
  double timestamp = 0.0;
  std::optional<double> gradient_norm;
  std::optional<double> step_time;
  bool has_phase_map = false;
  std::vector<PhaseEntry> first_phases;  // the first 32 entries, in order
  // Every phase whose value is present, not None and converts to a float.
  std::unordered_map<std::string, double> phase_values;
  // The step the report is about, where it names one as a whole number.
  std::optional<std::int64_t> step;
  // A report the rank makes as it enters a phase ("phase_index": the phase's place in the
  // step): progress only, never compared.
  std::optional<std::int64_t> phase_index;
  std::string phase;  // the phase it names, where that is plain text
  std::string node;   // where the rank runs, as it says
};

struct Detection {
  enum Kind { kRankDivergence, kRankStraggler, kPhaseStraggler } kind;
  std::int64_t rank;
  std::string phase;
  double value;                  // gradient norm, step time or phase duration
  std::optional<double> median;  // of the peers, the reporting rank included; none without any
  std::optional<double> score;   // rounded z-score or slowdown percentage; none when not finite
  bool ratio_trigger = false;
  std::vector<std::int64_t> peer_ranks = {};
  bool non_finite = false;  // a gradient norm that is NaN or infinite
  // Reports compared step by step: the step judged, and for a straggler the number of steps
  // whose medians were compared (0: a single report).
  std::optional<std::int64_t> step = std::nullopt;
  std::size_t window = 0;
};

// The host's median for samples holding NaN (its sort order then depends on its algorithm).
using NanMedian = std::function<double(const std::vector<double>&)>;

// The sorted ranks of the fresh reports, built only when a detection needs them.
using PeerRanks = std::function<const std::vector<std::int64_t>&()>;

struct StepSettings;
class StepPeers;

class PeerAnalyzer {
 public:
  PeerAnalyzer(double divergence_sigma, double straggler_threshold, NanMedian nan_median);
  // Reports that name their step are compared step by step with these settings.
  PeerAnalyzer(const StepSettings& steps, NanMedian nan_median);
  ~PeerAnalyzer();

  // A report that names its step is compared with the other ranks' reports of that step;
  // one that does not is stored as its rank's latest and compared with the other ranks'
  // latest reports. A report made as a phase starts is not compared.
  std::vector<Detection> add(HookReport report, double now);

  // The host's statistics helpers.
  static double median(std::vector<double> values, const NanMedian& nan_median);
  static double stdev(const std::vector<double>& values, double mean);

 private:
  struct Stored {
    HookReport report;
    bool in_window = false;
  };
  struct Sums {
    long double s1 = 0, s2 = 0;  // sum of values and of squares
    long double a1 = 0, a2 = 0;  // the same over magnitudes of every update: error scale
    std::size_t updates = 0;
    // Adds (sign +1) or removes (-1) a value; values that are not finite are not summed.
    void update(double v, int sign) {
      if (!std::isfinite(v)) return;
      long double lv = v;
      s1 += sign * lv;
      s2 += sign * lv * lv;
      a1 += std::fabs(lv);
      a2 += lv * lv;
      ++updates;
    }
  };

  void enter_window(std::size_t index);
  void leave_window(std::size_t index);
  void evict_stale(double t);
  bool window_is_fresh_set(double t) const;
  bool cooled(const std::pair<std::string, std::int64_t>& key, double now);
  std::vector<std::int64_t> window_ranks() const;
  std::vector<std::size_t> fresh_indices(double t) const;

  void analyse_exact(const HookReport& r, double now, std::vector<Detection>& out);
  void analyse_window(const HookReport& r, double now, std::vector<Detection>& out);
  std::optional<bool> divergence_from_sums(double g) const;
  std::optional<Detection> exact_divergence(const HookReport& r,
                                            const std::vector<std::size_t>& fresh);
  std::optional<double> exact_step_median(const std::vector<std::size_t>& fresh);
  std::optional<double> exact_phase_median(const std::string& phase,
                                           const std::vector<std::size_t>& fresh);
  void straggler(const HookReport& r, double med, double now, const PeerRanks& peers,
                 std::vector<Detection>& out);
  void phase_straggler(const HookReport& r, const PhaseEntry& e, double med, double now,
                       const PeerRanks& peers, std::vector<Detection>& out);

  double sigma_floor(double center) const;

  double divergence_sigma_;
  double straggler_threshold_;
  NanMedian nan_median_;

  std::vector<Stored> reports_;  // in order of first appearance
  std::unordered_map<std::int64_t, std::size_t> index_;
  std::map<std::pair<std::string, std::int64_t>, double> cooldowns_;

  // The window: reports not yet gone stale.
  std::multimap<double, std::size_t> window_ts_;  // timestamp -> report index
  std::multiset<double> stale_ts_;                // finite timestamps of reports that went stale
  std::set<std::int64_t> window_ranks_;
  OrderStat gradient_;
  Sums gradient_sums_;
  OrderStat step_;
  std::unordered_map<std::string, OrderStat> phases_;

  std::unique_ptr<StepPeers> steps_;
};

}  // namespace corvane::monitor
