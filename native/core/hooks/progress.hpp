// Where each rank got to, from its reports: the last step it finished and the phase it
// entered after it (the hook writes a report as each phase starts). When training stops,
// the ranks that got least far are the ones the others wait for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "../common/finding.hpp"
#include "peer_analysis.hpp"

namespace corvane::monitor {

struct RankProgress {
  std::int64_t rank = 0;
  std::optional<std::int64_t> step = std::nullopt;  // the last step it finished
  std::int64_t phase_index = -1;                    // the phase it entered since; -1: none
  std::string phase = {};                           // the last phase it named
  std::string node = {};                            // where it runs, as it says
  double reported_at = 0.0;                         // when its last report was read
};

class ProgressBook {
 public:
  static constexpr std::size_t kMaxRanks = std::size_t{1} << 16;
  void saw(const HookReport& r, double now);
  std::vector<RankProgress> ranks() const;
  // Where `rank` runs, as its reports say; empty when they do not.
  std::string node_of(std::int64_t rank) const;

 private:
  std::map<std::int64_t, RankProgress> ranks_;
};

// What a hang's finding says of the ranks: the ones that got least far (all of them when
// none is behind), their last step and phase and how long ago they last reported, and the
// phase the others wait in; or that no rank reported at all.
Details stuck_rank_details(const std::vector<RankProgress>& ranks, double now);

}  // namespace corvane::monitor
