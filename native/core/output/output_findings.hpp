// The findings a line of job output gives, and what the reader says when the pipe fails.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "output_parser.hpp"

namespace corvane::monitor {

// One finding of a scanned line; its details hold the "line", and for an Xid also the
// code ("xid", from the scan's digits).
struct OutputFinding {
  std::string_view event_type, severity;
  std::string summary;
  bool with_xid = false;
};

// In order: divergence, Xid, ECC double-bit error.
std::vector<OutputFinding> output_findings(const OutputLineScan& scan);

// The pipe can no longer be read while the job may still run (details: "source" = "output"
// and the "error").
inline constexpr std::string_view kOutputLostEvent = "monitor_degraded";
inline constexpr std::string_view kOutputLostSeverity = "WARN";
inline constexpr std::string_view kOutputLostSummary = "The job's output is no longer watched";

}  // namespace corvane::monitor
