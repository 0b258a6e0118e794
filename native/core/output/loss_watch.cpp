#include "loss_watch.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "../common/pyfloat.hpp"

namespace corvane::monitor {

std::optional<Finding> LossWatch::add(double loss) {
  if (!std::isfinite(loss)) return std::nullopt;
  std::optional<Finding> out;
  if (window_.size() >= kLossWarmup) {
    std::vector<double> v(window_.begin(), window_.end());
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
    double median = v[v.size() / 2];
    // A level at or below zero (a loss that may go negative) has no ratio to judge by.
    if (median > 0 && loss > median * ratio_) {
      out = Finding{"loss_spike",
                    "WARN",
                    "Training loss jumped far above its recent level",
                    {{"loss", DetailValue::number(loss)},
                     {"median_loss", DetailValue::number(median)},
                     {"ratio", DetailValue::number(py_round(loss / median, 1))},
                     {"window", DetailValue::integer(static_cast<std::int64_t>(v.size()))},
                     {"line", DetailValue::kept(0)}}};
    }
  }
  window_.push_back(loss);
  if (window_.size() > kLossWindow) window_.pop_front();
  return out;
}

}  // namespace corvane::monitor
