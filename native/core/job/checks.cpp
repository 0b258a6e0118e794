#include "checks.hpp"

#include "../common/pyfloat.hpp"

namespace corvane::monitor {

std::optional<Finding> SilenceWatch::check(double now, double last_output_at, bool progress_seen) {
  if (!(now - last_output_at > limit_s_) || !(last_output_at > reported_for_)) return std::nullopt;
  reported_for_ = last_output_at;
  Details details{{"hang_timeout_s", DetailValue::kept(0)},
                  {"hang_grace_s", DetailValue::kept(1)},
                  {"silence_s", DetailValue::number(py_round(now - last_output_at, 2))}};
  if (progress_seen) {
    return Finding{"training_hang", "CRITICAL", "Training progress stopped beyond the hang timeout",
                   std::move(details)};
  }
  return Finding{"output_stall", "WARN", "Command produced no output within the monitoring timeout",
                 std::move(details)};
}

bool inventory_shrank(std::size_t before, std::size_t after) {
  return before != 0 && after < before;
}

std::optional<Finding> inventory_check(std::size_t before, std::size_t after, bool at_launch) {
  if (!inventory_shrank(before, after)) return std::nullopt;
  return Finding{"metric_disappearance",
                 "CRITICAL",
                 at_launch ? "GPU inventory shrank during launch monitoring"
                           : "GPU inventory shrank during runtime monitoring",
                 {{"before", DetailValue::integer(static_cast<std::int64_t>(before))},
                  {"after", DetailValue::integer(static_cast<std::int64_t>(after))}}};
}

std::optional<Finding> disk_check(double free_gb) {
  if (!(free_gb < 1)) return std::nullopt;
  return Finding{"filesystem_lost",
                 "CRITICAL",
                 "Less than 1GB of free disk remains in the working volume",
                 {{"disk_free_gb", DetailValue::kept(0)}}};
}

}  // namespace corvane::monitor
