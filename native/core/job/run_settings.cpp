#include "run_settings.hpp"

namespace corvane::monitor {

std::optional<std::int64_t> max_output_lines(ConfigValue& value) {
  if (value.is_none()) return std::nullopt;
  std::optional<std::int64_t> n = value.is_bool() ? std::nullopt : value.whole_number();
  if (!n) throw InvalidSetting("monitor.max_output_lines must be a whole number or None");
  if (*n < 1) throw InvalidSetting("monitor.max_output_lines must be at least 1");
  return n;
}

}  // namespace corvane::monitor
