#include "checks.hpp"

namespace corvane::monitor {

std::optional<JobFindingText> SilenceWatch::check(double now, double last_output_at,
                                                  bool progress_seen) {
  if (!(now - last_output_at > limit_s_) || !(last_output_at > reported_for_)) return std::nullopt;
  reported_for_ = last_output_at;
  if (progress_seen) {
    return JobFindingText{"training_hang", "CRITICAL",
                          "Training progress stopped beyond the hang timeout"};
  }
  return JobFindingText{"output_stall", "WARN",
                        "Command produced no output within the monitoring timeout"};
}

bool inventory_shrank(std::size_t before, std::size_t after) {
  return before != 0 && after < before;
}

std::optional<JobFindingText> disk_check(double free_gb) {
  if (!(free_gb < 1)) return std::nullopt;
  return JobFindingText{"filesystem_lost", "CRITICAL",
                        "Less than 1GB of free disk remains in the working volume"};
}

}  // namespace corvane::monitor
