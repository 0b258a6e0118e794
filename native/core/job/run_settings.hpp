// The settings of a run that it cannot start without: a bad one stops the run before its
// job starts.
#pragma once

#include <cstdint>
#include <optional>

#include "../common/settings.hpp"

namespace corvane::monitor {

// "monitor" -> "max_output_lines": the most recent lines of output a run keeps; nothing
// (None) keeps every line. Anything but a whole number of at least 1 or None throws
// InvalidSetting.
std::optional<std::int64_t> max_output_lines(ConfigValue& value);

}  // namespace corvane::monitor
