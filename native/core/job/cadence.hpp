// The timing of the runner's loop over one job: the periodic checks, the "watching:" line,
// and the slices of its waits. Times are seconds of a steady clock, given by the caller.
#pragma once

#include <optional>
#include <string>

#include "watch_sources.hpp"

namespace corvane::monitor {

class LoopCadence {
 public:
  // The checks run every `poll_s`, at least a second apart; the first after one period.
  LoopCadence(double poll_s, double now);

  // How long the wait before the next checks is.
  double wait_s(double now) const { return last_checks_ + period_ - now; }
  // True when the checks are due; they count as run from `now`.
  bool checks_due(double now);
  // The "watching:" line, once: when the telemetry and the kernel log have spoken, or
  // after 3 s whatever has.
  std::optional<std::string> watching_line(const WatchState& state, const std::string& hook_path,
                                           double now);

  // The end of the next slice of a wait that ends at `end`: waits wake at least every
  // 100 ms to let the host run signal handlers, and every 10 ms once the job's output has
  // ended (its exit follows shortly). Nothing when the wait is over.
  static std::optional<double> slice_end(double now, double end, bool output_ended);

 private:
  double period_, started_, last_checks_;
  bool watching_told_ = false;
};

}  // namespace corvane::monitor
