// Which keys of the job's configuration set the telemetry thread's poll period, the
// detectors' thresholds, the configured GPU type and structural monitoring.
#pragma once

#include <string>

#include "../common/settings.hpp"
#include "detectors.hpp"

namespace corvane::monitor {

struct TelemetrySettings {
  double poll = 5.0;      // seconds between polls, never under one
  Thresholds thresholds;  // its defaults are what a configuration without them gets
  std::string gpu_type;   // "cluster" -> "gpu_type", exactly as the host's str() gave it
  bool structural = true;
};

// Reads them once, at the thread's start. "monitor", "thermal" and "ecc" are required.
TelemetrySettings read_telemetry_settings(SettingsReader& root);

}  // namespace corvane::monitor
