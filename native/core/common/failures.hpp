// What the watchers say when something goes wrong: errors as one line, each distinct error
// logged once, tool calls that gave no usable answer, and a watcher that stopped early.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <unordered_set>

#include "finding.hpp"

namespace corvane {

inline constexpr std::size_t kMaxErrorLineChars = 300;

// One line of at most kMaxErrorLineChars bytes (never cutting a UTF-8 character), "..."
// added where it was cut; line breaks and tabs become spaces.
std::string one_line(std::string text);

// Which messages of one thread are logged: each distinct one once. After
// kMaxMessages distinct ones a single "further errors are not logged" is, then nothing,
// so that a flood of distinct messages keeps the memory bounded.
class OnceFilter {
 public:
  static constexpr std::size_t kMaxMessages = 256;
  // The text to log for `message`, or nothing.
  std::optional<std::string> admit(const std::string& message);

 private:
  std::unordered_set<std::string> seen_;
};

// A tool call made for a watcher that gave no usable answer.
struct ToolFailure {
  std::string tool;    // "nvidia-smi"
  std::string reason;  // "no answer within 15 s", "exited with status 9"
  bool timed_out = false;
};

// The "monitor_degraded" finding of a watcher that stopped before its job ended: "Monitoring
// of <source> stopped early"; `source` is "telemetry", "kernel_log" or "hooks", `error` why.
monitor::Finding watcher_stopped_finding(const std::string& source, const std::string& error);

}  // namespace corvane
