// A training loss that jumps far above its recent level: a finite loss more than `ratio`
// times the median of the last losses seen, once enough were seen to know the level. A loss
// that falls noisily never comes near it; a blow-up (a learning rate far too high, a bad
// batch) does within a step. Losses that are not finite are the NaN/Inf detector's.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>

#include "../common/finding.hpp"

namespace corvane::monitor {

inline constexpr std::size_t kLossWindow = 50;
inline constexpr std::size_t kLossWarmup = 10;

class LossWatch {
 public:
  explicit LossWatch(double ratio) : ratio_(ratio) {}
  // A spike's finding names the output line as kept value 0.
  std::optional<Finding> add(double loss);

 private:
  double ratio_;
  std::deque<double> window_;
};

}  // namespace corvane::monitor
