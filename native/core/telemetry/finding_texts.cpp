#include "finding_texts.hpp"

#include "../common/pyfloat.hpp"

namespace corvane::monitor {
namespace {

using K = TelemetryFinding;

// The findings whose wording is fixed: kind, event type, what the GPU did.
struct FixedText {
  K::Kind kind;
  std::string_view event_type, text;
};
constexpr FixedText kFixedTexts[] = {
    {K::kEccDbe, "ecc_dbe", "reported a new uncorrectable ECC error"},
    {K::kEccSbeRate, "ecc_sbe_rate", "correctable ECC error rate is elevated"},
    {K::kThrottleText, "clock_throttle", "reported active clock throttling"},
    {K::kLowUtil, "low_gpu_util", "utilization stayed below 10%"},
    {K::kMemoryDrop, "memory_drop", "memory usage dropped suddenly"},
    {K::kPowerHigh, "power_anomaly", "power draw exceeded expected limit"},
    {K::kPowerLow, "power_anomaly", "power draw stayed unusually low for a busy device"},
};

}  // namespace

FindingText describe(const TelemetryFinding& f, const GpuSample& s, double warn_temp) {
  const std::string gpu = "GPU " + std::to_string(s.index) + " ";
  FindingText out{"", f.critical ? "CRITICAL" : "WARN", ""};
  for (const FixedText& t : kFixedTexts) {
    if (t.kind == f.kind) {
      out.event_type = t.event_type;
      out.summary = gpu + std::string(t.text);
      return out;
    }
  }
  switch (f.kind) {
    case K::kThermalCritical:
      out.event_type = "thermal_warning";
      out.summary =
          gpu + "temperature reached " + py_format_fixed(s.temperature.value_or(0), 1) + "C";
      break;
    case K::kThermalWarn:
      out.event_type = "thermal_warning";
      out.summary = gpu + "temperature stayed above " + py_format_fixed(warn_temp, 0) + "C";
      break;
    case K::kThrottleMask:
      out.event_type = "clock_throttle";
      out.summary = gpu + "reported " + f.label;
      break;
    case K::kNvlink: {
      out.event_type = "nvlink_errors";
      const auto& link = s.nvlink.at(f.link_pos);
      out.summary = gpu + "link " + std::to_string(link.link) + " accumulated " +
                    link.counters.at(f.counter_pos).key + " errors";
      break;
    }
    case K::kPcieReplay:
      out.event_type = "pcie_replay";
      out.summary = gpu + (f.critical ? "PCIe replay rate stayed above threshold"
                                      : "PCIe replay rate exceeded threshold");
      break;
    default:
      break;
  }
  return out;
}

}  // namespace corvane::monitor
