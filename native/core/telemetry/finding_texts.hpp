// What a telemetry finding says: its event type, severity and one-line summary.
#pragma once

#include <string>
#include <string_view>

#include "detectors.hpp"

namespace corvane::monitor {

struct FindingText {
  std::string_view event_type;
  std::string_view severity;  // "CRITICAL" or "WARN"
  std::string summary;
};

// `warn_temp` is the configured warning temperature (named by a sustained-heat finding).
FindingText describe(const TelemetryFinding& f, const GpuSample& s, double warn_temp);

}  // namespace corvane::monitor
