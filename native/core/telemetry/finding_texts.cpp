#include "finding_texts.hpp"

#include "../common/pyfloat.hpp"

namespace corvane::monitor {

FindingText describe(const TelemetryFinding& f, const GpuSample& s, double warn_temp) {
  using K = TelemetryFinding;
  const std::string gpu = "GPU " + std::to_string(s.index) + " ";
  FindingText out{"", f.critical ? "CRITICAL" : "WARN", ""};
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
    case K::kEccDbe:
      out.event_type = "ecc_dbe";
      out.summary = gpu + "reported a new uncorrectable ECC error";
      break;
    case K::kEccSbeRate:
      out.event_type = "ecc_sbe_rate";
      out.summary = gpu + "correctable ECC error rate is elevated";
      break;
    case K::kThrottleMask:
      out.event_type = "clock_throttle";
      out.summary = gpu + "reported " + f.label;
      break;
    case K::kThrottleText:
      out.event_type = "clock_throttle";
      out.summary = gpu + "reported active clock throttling";
      break;
    case K::kLowUtil:
      out.event_type = "low_gpu_util";
      out.summary = gpu + "utilization stayed below 10%";
      break;
    case K::kMemoryDrop:
      out.event_type = "memory_drop";
      out.summary = gpu + "memory usage dropped suddenly";
      break;
    case K::kPowerHigh:
      out.event_type = "power_anomaly";
      out.summary = gpu + "power draw exceeded expected limit";
      break;
    case K::kPowerLow:
      out.event_type = "power_anomaly";
      out.summary = gpu + "power draw stayed unusually low for a busy device";
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
      out.summary = f.critical ? gpu + "PCIe replay rate stayed above threshold"
                               : gpu + "PCIe replay rate exceeded threshold";
      break;
  }
  return out;
}

}  // namespace corvane::monitor
