#include "fresh_ranks.hpp"

#include <iterator>

#include "peer_analysis.hpp"

namespace corvane::monitor {

void FreshRanks::saw(std::int64_t rank, double now) {
  if (seen_.size() < kMaxTracked || seen_.count(rank) != 0) seen_[rank] = now;
}

std::size_t FreshRanks::count(double now) {
  for (auto it = seen_.begin(); it != seen_.end();) {
    it = now - it->second > kFreshSeconds ? seen_.erase(it) : std::next(it);
  }
  return seen_.size();
}

}  // namespace corvane::monitor
