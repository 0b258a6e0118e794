// What each telemetry finding says: its event type, severity, one-line summary and the
// keys and values of its details, for the host to turn into a finding as they are.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "detectors.hpp"

namespace corvane::monitor {

// One value of a finding's details. Snapshot fields and NVLink link keys are passed on as
// the host had them (an int stays an int), so the finding names them instead of copying.
struct DetailValue {
  enum Kind { kInt, kFloat, kText, kTrue, kNone, kCount, kSnapshotField, kLinkKey } kind = kNone;
  std::int64_t i = 0;  // kInt; kLinkKey: the link's position in the sample
  double f = 0.0;      // kFloat
  Num count{};         // kCount
  std::string text{};  // kText; kSnapshotField: the snapshot's key

  static DetailValue integer(std::int64_t v) { return {kInt, v}; }
  static DetailValue number(double v) { return {kFloat, 0, v}; }
  static DetailValue string(std::string v) { return {kText, 0, 0.0, {}, std::move(v)}; }
  static DetailValue yes() { return {kTrue}; }
  static DetailValue none() { return {kNone}; }
  static DetailValue counted(Num v) { return {kCount, 0, 0.0, v}; }
  static DetailValue snapshot(std::string key) {
    return {kSnapshotField, 0, 0.0, {}, std::move(key)};
  }
  static DetailValue link_key(std::size_t pos) {
    return {kLinkKey, static_cast<std::int64_t>(pos)};
  }
  static DetailValue text_or_none(const std::optional<std::string>& v) {
    return v ? string(*v) : none();
  }
};
using Details = std::vector<std::pair<std::string, DetailValue>>;

struct FindingText {
  std::string_view event_type;
  std::string_view severity;  // "CRITICAL", "WARN" or "INFO"
  std::string summary;
  Details details;
};

// A detector result. `warn_temp` is the configured warning temperature (named by a
// sustained-heat finding); `injected`: the snapshot came from or was changed by fault
// injection, which the details say.
FindingText describe(const TelemetryFinding& f, const GpuSample& s, double warn_temp,
                     bool injected = false);

// A GPU that NVML reports lost.
FindingText lost_gpu_finding(std::int64_t index, bool injected);

// An uncorrectable ECC error that NVML's event set reported: the counter's report, so
// delivery shows one of the two.
FindingText ecc_event_finding(std::optional<std::int64_t> index,
                              const std::optional<std::string>& pci_bus_id);

}  // namespace corvane::monitor
