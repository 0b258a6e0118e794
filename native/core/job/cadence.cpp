#include "cadence.hpp"

#include <algorithm>

namespace corvane::monitor {

LoopCadence::LoopCadence(double poll_s, double now)
    : period_(poll_s > 1.0 ? poll_s : 1.0), started_(now), last_checks_(now) {}

bool LoopCadence::checks_due(double now) {
  if (now < last_checks_ + period_) return false;
  last_checks_ = now;
  return true;
}

std::optional<std::string> LoopCadence::watching_line(const WatchState& state,
                                                      const std::string& hook_path, double now) {
  if (watching_told_ || !(sources_known(state) || now - started_ >= 3.0)) return std::nullopt;
  watching_told_ = true;
  return monitor::watching_line(state, hook_path);
}

std::optional<double> LoopCadence::slice_end(double now, double end, bool output_ended) {
  if (now >= end) return std::nullopt;
  return std::min(end, now + (output_ended ? 0.010 : 0.100));
}

}  // namespace corvane::monitor
