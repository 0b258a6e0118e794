// The job-level checks of the runner's loop: silence of the job's output, GPUs that went
// missing, a full disk, and what each finding says.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace corvane::monitor {

struct JobFindingText {
  std::string_view event_type, severity, summary;
};

// Silence past the hang timeout and its grace: a hang when the job had shown training
// progress (losses, step times or a published step), else an output stall. One finding per
// silence: the next comes only after the job printed again.
class SilenceWatch {
 public:
  explicit SilenceWatch(double limit_s) : limit_s_(limit_s) {}
  std::optional<JobFindingText> check(double now, double last_output_at, bool progress_seen);

 private:
  double limit_s_;
  double reported_for_ = 0.0;  // the last output time a finding was made for
};

// GPUs lost since the last count (`before` 0: nothing known before). The finding is a
// "metric_disappearance" (CRITICAL) with one of the two summaries below.
bool inventory_shrank(std::size_t before, std::size_t after);
inline constexpr std::string_view kInventoryShrankEvent = "metric_disappearance";
inline constexpr std::string_view kInventoryShrankAtLaunch =
    "GPU inventory shrank during launch monitoring";
inline constexpr std::string_view kInventoryShrankAtRuntime =
    "GPU inventory shrank during runtime monitoring";

// Less than 1 GB free in the working volume.
std::optional<JobFindingText> disk_check(double free_gb);

}  // namespace corvane::monitor
