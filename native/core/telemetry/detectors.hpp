// The per-GPU telemetry detectors: temperature, ECC, clock throttling, utilisation,
// memory drops, power, NVLink errors and PCIe replays, with their state between polls.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "../common/finding.hpp"

namespace corvane::monitor {

struct GpuSample {
  std::int64_t index = -1;
  std::optional<double> temperature, util, mem_used, mem_total, power_draw, power_limit;
  std::uint64_t throttle_mask = 0;  // the integer of "throttle_reasons"; 0 when absent
  bool throttle_mask_present = false;
  std::string throttle_text;
  std::optional<Num> ecc_corrected, ecc_uncorrected, pcie_replay;
  struct Counter {
    std::string key;
    Num value;
  };
  struct Link {
    std::int64_t link = 0;
    std::vector<Counter> counters;
  };
  std::vector<Link> nvlink;
  // GPU state from NVML; unset where the GPU or the driver cannot tell.
  std::optional<bool> remap_pending, remap_failure, retired_pending, persistence, ecc_mode;
  std::optional<std::int64_t> fabric_state, fabric_status, pcie_width, pcie_width_max, pcie_gen,
      pcie_gen_max;
  // The NVLink links the GPU's profile expects, by their state; unset where not asked.
  std::optional<std::int64_t> nvlink_up;
  std::vector<std::int64_t> nvlink_down;
};

// The detectors' limits; the defaults are what a configuration without them gets.
struct Thresholds {
  double warn_temp = 85, critical_temp = 95, ecc_warn_rate = 10;
  double nvlink_crc_rate_critical = 100, nvlink_error_rate_critical = 10;
  double pcie_replay_rate_critical = 8;
  // The PCIe link the GPU's profile expects; 0 where no model profile is known.
  std::int64_t expected_pcie_gen = 0, expected_pcie_width = 0;
};

struct TelemetryFinding {
  enum Kind {
    kThermalCritical,
    kThermalWarn,
    kEccDbe,
    kEccSbeRate,
    kThrottleMask,
    kThrottleText,
    kLowUtil,
    kMemoryDrop,
    kPowerHigh,
    kPowerLow,
    kNvlink,
    kPcieReplay,
    kRemapPending,
    kRemapFailure,
    kRetiredPending,
    kFabricIncomplete,
    kPcieWidthDegraded,
    kPcieGenDegraded,
    kNvlinkDown,
    kPersistenceOff,
    kEccDisabled
  } kind;
  bool critical = false;
  Num delta{};                   // ECC, NVLink and PCIe increases
  double rate = 0.0;             // rounded rate (ECC per hour, PCIe per minute)
  double before = 0, after = 0;  // rounded memory or power figures
  std::uint64_t mask = 0;
  const char* label = "";
  std::size_t link_pos = 0, counter_pos = 0;  // which NVLink counter of the sample
  std::int64_t expected = 0;                  // the model's PCIe width or generation
};

// "hardware thermal slowdown" etc. by clock-throttle bit, in reporting order.
extern const std::vector<std::pair<std::uint64_t, const char*>> kThrottleReasonMasks;
extern const std::vector<const char*> kThrottleReasonTextPatterns;

// The bit mask in a text such as "0x0000000000000048", as the tool prints it.
std::optional<std::uint64_t> parse_hex_mask(std::string_view text);

class TelemetryDetectors {
 public:
  std::vector<TelemetryFinding> run(const GpuSample& s, bool active_job, double poll_interval,
                                    const Thresholds& t);

 private:
  using Findings = std::vector<TelemetryFinding>;
  // One function per detector, in the order their findings come.
  void thermal(const GpuSample& s, const Thresholds& t, Findings& out);
  void ecc(const GpuSample& s, double poll_interval, const Thresholds& t, Findings& out);
  void clock_throttle(const GpuSample& s, Findings& out);
  void low_utilisation(const GpuSample& s, bool active_job, Findings& out);
  void memory_drop(const GpuSample& s, bool active_job, Findings& out);
  void power(const GpuSample& s, bool active_job, Findings& out);
  void nvlink_errors(const GpuSample& s, double poll_interval, const Thresholds& t, Findings& out);
  void pcie_replay(const GpuSample& s, double poll_interval, const Thresholds& t, Findings& out);
  // States that last (a pending remap, a degraded link, a setting): each is told once, and
  // again only after it cleared and came back.
  void gpu_state(const GpuSample& s, const Thresholds& t, Findings& out);

  std::map<std::int64_t, Num> previous_corrected_, previous_uncorrected_, previous_pcie_replay_;
  std::map<std::int64_t, double> previous_memory_used_;
  std::map<std::tuple<std::int64_t, std::int64_t, std::string>, Num> previous_nvlink_;
  std::map<std::int64_t, int> high_temp_polls_, low_util_polls_, low_power_polls_,
      pcie_replay_polls_;
  std::map<std::pair<std::int64_t, int>, bool> state_told_;
  std::map<std::int64_t, bool> nvlink_seen_up_;
};

}  // namespace corvane::monitor
