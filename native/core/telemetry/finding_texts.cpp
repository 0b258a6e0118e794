#include "finding_texts.hpp"

#include <algorithm>

#include "../common/pyfloat.hpp"

namespace corvane::monitor {
namespace {

using K = TelemetryFinding;
using V = DetailValue;

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
    {K::kRemapPending, "row_remap_pending", "has remapped memory rows pending a GPU reset"},
    {K::kRemapFailure, "row_remap_failure", "could not remap a memory row (needs replacing)"},
    {K::kRetiredPending, "retired_pages_pending", "has retired memory pages pending a reset"},
    {K::kFabricIncomplete, "gpu_fabric_incomplete", "is not registered with the GPU fabric"},
    {K::kPersistenceOff, "persistence_mode_off", "runs with persistence mode off"},
    {K::kEccDisabled, "ecc_disabled", "runs with ECC disabled"},
};

std::string gpu_prefix(std::int64_t index) { return "GPU " + std::to_string(index) + " "; }

// What a link should run at: the larger of its maximum and the model's own (0: unknown).
std::int64_t expected_link(const std::optional<std::int64_t>& max, std::int64_t model) {
  return std::max(max.value_or(0), model);
}

// The event type and summary of a finding whose wording depends on its values.
void word_variable(const TelemetryFinding& f, const GpuSample& s, double warn_temp, Finding& out) {
  const std::string gpu = gpu_prefix(s.index);
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
    case K::kPcieWidthDegraded:
      out.event_type = "pcie_link_degraded";
      out.summary = gpu + "PCIe link runs at x" + std::to_string(s.pcie_width.value_or(0)) +
                    ", below x" + std::to_string(expected_link(s.pcie_width_max, f.expected));
      break;
    case K::kPcieGenDegraded:
      out.event_type = "pcie_link_degraded";
      out.summary =
          gpu + "PCIe link runs at gen " +
          std::to_string(s.pcie_gen_max && *s.pcie_gen_max < f.expected ? *s.pcie_gen_max
                                                                        : s.pcie_gen.value_or(0)) +
          ", below gen " + std::to_string(expected_link(s.pcie_gen_max, f.expected));
      break;
    case K::kNvlinkDown:
      out.event_type = "nvlink_link_down";
      out.summary = gpu + "has " + std::to_string(s.nvlink_down.size()) + " NVLink link" +
                    (s.nvlink_down.size() == 1 ? "" : "s") + " down";
      break;
    case K::kPcieReplay:
      out.event_type = "pcie_replay";
      out.summary = gpu + (f.critical ? "PCIe replay rate stayed above threshold"
                                      : "PCIe replay rate exceeded threshold");
      break;
    default:
      break;
  }
}

// What the details hold besides the GPU index.
Details details_of(const TelemetryFinding& f, const GpuSample& s) {
  switch (f.kind) {
    case K::kThermalCritical:
    case K::kThermalWarn:
      return {{"temperature_c", V::snapshot("temperature_c")}};
    case K::kEccDbe:
      return {{"delta", V::counted(f.delta)}};
    case K::kEccSbeRate:
      return {{"rate_per_hour", V::number(f.rate)}};
    case K::kThrottleMask:
      return {{"mask", V::integer(static_cast<std::int64_t>(f.mask))}};
    case K::kThrottleText:
      return {{"reason", V::string(s.throttle_text)}};
    case K::kLowUtil:
      return {{"util_gpu", V::snapshot("util_gpu")}};
    case K::kMemoryDrop:
      return {{"before_mb", V::number(f.before)}, {"after_mb", V::number(f.after)}};
    case K::kPowerHigh:
      return {{"power_draw_w", V::number(f.before)}, {"power_limit_w", V::number(f.after)}};
    case K::kPowerLow:
      return {{"power_draw_w", V::number(f.before)},
              {"power_limit_w", V::number(f.after)},
              {"util_gpu", V::snapshot("util_gpu")}};
    case K::kNvlink:
      return {{"link", V::kept(f.link_pos)},
              {"counter", V::string(s.nvlink.at(f.link_pos).counters.at(f.counter_pos).key)},
              {"delta", V::counted(f.delta)}};
    case K::kPcieReplay:
      return {{"delta", V::counted(f.delta)}, {"rate_per_min", V::number(f.rate)}};
    case K::kFabricIncomplete:
      return {{"fabric_state", V::snapshot("fabric_state")},
              {"fabric_status", V::snapshot("fabric_status")}};
    case K::kPcieWidthDegraded: {
      Details d{{"pcie_width", V::snapshot("pcie_width")},
                {"pcie_width_max", V::snapshot("pcie_width_max")}};
      if (f.expected > 0) d.push_back({"pcie_expected_width", V::integer(f.expected)});
      return d;
    }
    case K::kPcieGenDegraded: {
      Details d{{"pcie_gen", V::snapshot("pcie_gen")},
                {"pcie_gen_max", V::snapshot("pcie_gen_max")}};
      if (f.expected > 0) d.push_back({"pcie_expected_gen", V::integer(f.expected)});
      return d;
    }
    case K::kNvlinkDown:
      return {{"links_down", V::integers(s.nvlink_down)},
              {"links_up", V::integer(s.nvlink_up.value_or(0))}};
    default:
      break;
  }
  return {};
}

}  // namespace

Finding describe(const TelemetryFinding& f, const GpuSample& s, double warn_temp, bool injected) {
  Finding out{"", f.critical ? "CRITICAL" : "WARN", "", {}};
  bool fixed = false;
  for (const FixedText& t : kFixedTexts) {
    if (t.kind == f.kind) {
      out.event_type = t.event_type;
      out.summary = gpu_prefix(s.index) + std::string(t.text);
      fixed = true;
    }
  }
  if (!fixed) word_variable(f, s, warn_temp, out);
  out.details.push_back({"gpu_index", V::integer(s.index)});
  for (auto& detail : details_of(f, s)) out.details.push_back(std::move(detail));
  if (injected) out.details.push_back({"injected", V::flag(true)});
  return out;
}

Finding lost_gpu_finding(std::int64_t index, bool injected) {
  Finding out{"metric_disappearance",
              "CRITICAL",
              "GPU " + std::to_string(index) + " was lost from NVML",
              {}};
  out.details.push_back({"gpu_index", V::integer(index)});
  if (injected) out.details.push_back({"injected", V::flag(true)});
  return out;
}

Finding ecc_event_finding(std::optional<std::int64_t> index,
                          const std::optional<std::string>& pci_bus_id) {
  std::string gpu = index ? gpu_prefix(*index) : "GPU ";
  return {"ecc_dbe",
          "CRITICAL",
          gpu + "reported a new uncorrectable ECC error",
          {{"gpu_index", index ? V::integer(*index) : V::none()},
           {"pci_bus_id", V::text_or_none(pci_bus_id)},
           {"source", V::string("nvml")}}};
}

}  // namespace corvane::monitor
