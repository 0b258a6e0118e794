// What each telemetry finding says (see common/finding.hpp).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "detectors.hpp"

namespace corvane::monitor {

// A detector result. `warn_temp` is the configured warning temperature (named by a
// sustained-heat finding); `injected`: the snapshot came from or was changed by fault
// injection, which the details say.
Finding describe(const TelemetryFinding& f, const GpuSample& s, double warn_temp,
                 bool injected = false);

// A GPU that NVML reports lost.
Finding lost_gpu_finding(std::int64_t index, bool injected);

// An uncorrectable ECC error that NVML's event set reported: the counter's report, so
// delivery shows one of the two.
Finding ecc_event_finding(std::optional<std::int64_t> index,
                          const std::optional<std::string>& pci_bus_id);

}  // namespace corvane::monitor
