// A strict reader for the common shape of a hook report, so most lines need no host JSON
// decoder: one object of numbers, plain ASCII strings and a "phase_times" object of
// numbers. Anything it is not sure to read exactly as the host's json.loads would (escapes,
// non-ASCII text, NaN/Infinity literals, repeated top-level keys, strings where numbers are
// coerced, deep nesting) is handed back for the host decoder. The work is linear in the
// line's length.
#pragma once

#include <string_view>
#include <vector>

namespace corvane::monitor {

struct JsonScalar {
  enum Kind { kAbsent, kNull, kFalse, kTrue, kInt, kFloat, kString, kContainer } kind = kAbsent;
  std::string_view text;  // number literal, or string contents
};

struct FastHookReport {
  JsonScalar rank, timestamp, phase, step, gradient_norm, step_time, phase_times, phase_index, node;
  std::vector<std::pair<std::string_view, JsonScalar>> phase_entries;  // when an object
};

// kNotReport: blank, or cut off inside the object (no decoder would read it).
enum class FastParse { kReport, kNotReport, kNeedHost };

FastParse parse_hook_line(std::string_view line, FastHookReport* out);

}  // namespace corvane::monitor
