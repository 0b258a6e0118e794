// The job-level checks of the runner's loop: silence of the job's output, GPUs that went
// missing, a full disk, and what each finding says.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "../common/finding.hpp"

namespace corvane::monitor {

// Silence past the hang timeout and its grace: a hang when the job had shown training
// progress (losses, step times or a published step), else an output stall. One finding per
// silence: the next comes only after the job printed again. Its details name the configured
// hang timeout and grace as kept values 0 and 1 (the host's own, as configured).
class SilenceWatch {
 public:
  explicit SilenceWatch(double limit_s) : limit_s_(limit_s) {}
  std::optional<Finding> check(double now, double last_output_at, bool progress_seen);

 private:
  double limit_s_;
  double reported_for_ = 0.0;  // the last output time a finding was made for
};

// GPUs lost since the last count (`before` 0: nothing known before): a
// "metric_disappearance" (CRITICAL), seen by the runner's loop (`at_launch`) or by the
// telemetry thread.
bool inventory_shrank(std::size_t before, std::size_t after);
std::optional<Finding> inventory_check(std::size_t before, std::size_t after, bool at_launch);

// Less than 1 GB free in the working volume. Its detail is kept value 0: the free space as
// the host had it.
std::optional<Finding> disk_check(double free_gb);

}  // namespace corvane::monitor
