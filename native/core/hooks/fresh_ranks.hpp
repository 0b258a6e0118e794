// How many ranks reported lately: when each rank's report was last read. Bounded: a file
// naming more ranks than any job has is not followed rank by rank.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>

namespace corvane::monitor {

class FreshRanks {
 public:
  static constexpr std::size_t kMaxTracked = std::size_t{1} << 16;

  void saw(std::int64_t rank, double now);
  // Ranks read within the peer analysis's freshness window; the others are forgotten.
  std::size_t count(double now);

 private:
  std::map<std::int64_t, double> seen_;
};

}  // namespace corvane::monitor
