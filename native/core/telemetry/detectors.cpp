#include "detectors.hpp"

#include <algorithm>
#include <cctype>
#include <string_view>

#include "../common/pyfloat.hpp"

namespace corvane::monitor {

const std::vector<std::pair<std::uint64_t, const char*>> kThrottleReasonMasks = {
    {64, "hardware thermal slowdown"}, {8, "hardware slowdown"}, {128, "hardware power brake"}};

const std::vector<const char*> kThrottleReasonTextPatterns = {
    "hardware thermal slowdown", "hw thermal slowdown", "hardware slowdown", "hw slowdown",
    "hardware power brake",      "hw power brake"};

namespace {

// a - b, and max(a - b, 0), with the host's integer arithmetic kept for integers.
Num minus(const Num& a, const Num& b) { return {a.v - b.v, a.is_int && b.is_int}; }
Num clamp_positive(const Num& d) { return d.v > 0 ? d : Num{0.0, d.is_int}; }

// The value stored for `key` at the last poll, or `now` on a first poll.
template <class Map, class Key, class V>
V previous_or(const Map& table, const Key& key, const V& now) {
  auto it = table.find(key);
  return it == table.end() ? now : it->second;
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

std::optional<std::uint64_t> parse_hex_mask(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
    text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
    text.remove_suffix(1);
  if (text.size() < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text.substr(2)) {
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return std::nullopt;
    if (value >> 60) return std::nullopt;  // wider than 64 bits: not a mask we know
    value = value * 16 + static_cast<std::uint64_t>(d);
  }
  return value;
}

std::vector<TelemetryFinding> TelemetryDetectors::run(const GpuSample& s, bool active_job,
                                                      double poll_interval, const Thresholds& t) {
  std::vector<TelemetryFinding> out;
  thermal(s, t, out);
  ecc(s, poll_interval, t, out);
  clock_throttle(s, out);
  low_utilisation(s, active_job, out);
  memory_drop(s, active_job, out);
  power(s, active_job, out);
  nvlink_errors(s, poll_interval, t, out);
  pcie_replay(s, poll_interval, t, out);
  gpu_state(s, t, out);
  return out;
}

// NVML's fabric states: 0 not supported, 1 not started, 2 in progress, 3 completed; a
// completed registration with a status other than success (0) failed.
// A PCIe link is degraded below what it could run at (its maximum, which a slot or riser
// may lower) or below the GPU model's own link. Idle GPUs lower their link generation to
// save power, so a generation is judged only while the GPU is busy, unless the link
// cannot reach the model's generation at all. NVLink links the profile expects are down
// when the GPU has others up, or had them up before.
void TelemetryDetectors::gpu_state(const GpuSample& s, const Thresholds& t, Findings& out) {
  const bool fabric_bad = s.fabric_state && *s.fabric_state != 0 &&
                          (*s.fabric_state != 3 || (s.fabric_status && *s.fabric_status != 0));
  auto below = [](const std::optional<std::int64_t>& now, const std::optional<std::int64_t>& max,
                  std::int64_t expected) {
    return now && *now > 0 && ((max && *now < *max) || (expected > 0 && *now < expected));
  };
  const bool busy = s.util && *s.util >= 50;
  const bool gen_capped =
      s.pcie_gen_max && *s.pcie_gen_max > 0 && *s.pcie_gen_max < t.expected_pcie_gen;
  const bool gen_low =
      gen_capped || (busy && below(s.pcie_gen, s.pcie_gen_max, t.expected_pcie_gen));
  bool& seen_up = nvlink_seen_up_[s.index];
  const bool links_up = s.nvlink_up.value_or(0) > 0;
  const bool links_down = !s.nvlink_down.empty() && (links_up || seen_up);
  seen_up = seen_up || links_up;
  const std::pair<TelemetryFinding::Kind, bool> states[] = {
      {TelemetryFinding::kRemapFailure, s.remap_failure.value_or(false)},
      {TelemetryFinding::kRemapPending, s.remap_pending.value_or(false)},
      {TelemetryFinding::kRetiredPending, s.retired_pending.value_or(false)},
      {TelemetryFinding::kFabricIncomplete, fabric_bad},
      {TelemetryFinding::kPcieWidthDegraded,
       below(s.pcie_width, s.pcie_width_max, t.expected_pcie_width)},
      {TelemetryFinding::kPcieGenDegraded, gen_low},
      {TelemetryFinding::kNvlinkDown, links_down},
      {TelemetryFinding::kPersistenceOff, s.persistence.has_value() && !*s.persistence},
      {TelemetryFinding::kEccDisabled, s.ecc_mode.has_value() && !*s.ecc_mode},
  };
  for (const auto& [kind, on] : states) {
    bool& told = state_told_[{s.index, static_cast<int>(kind)}];
    if (on && !told) {
      TelemetryFinding f{kind, kind == TelemetryFinding::kRemapFailure ||
                                   kind == TelemetryFinding::kFabricIncomplete};
      if (kind == TelemetryFinding::kPcieWidthDegraded) f.expected = t.expected_pcie_width;
      if (kind == TelemetryFinding::kPcieGenDegraded) f.expected = t.expected_pcie_gen;
      out.push_back(f);
    }
    told = on;
  }
}

// Critical at once, a warning after three hot polls in a row.
void TelemetryDetectors::thermal(const GpuSample& s, const Thresholds& t, Findings& out) {
  if (!s.temperature) return;
  double temp = *s.temperature;
  int& hot = high_temp_polls_[s.index];
  hot = temp > t.warn_temp ? hot + 1 : 0;
  if (temp > t.critical_temp) {
    out.push_back({TelemetryFinding::kThermalCritical, true});
  } else if (hot >= 3) {
    out.push_back({TelemetryFinding::kThermalWarn});
  }
}

// Any new uncorrectable error; a high rate of corrected ones.
void TelemetryDetectors::ecc(const GpuSample& s, double poll_interval, const Thresholds& t,
                             Findings& out) {
  const std::int64_t i = s.index;
  if (s.ecc_uncorrected) {
    const Num& now = *s.ecc_uncorrected;
    Num prev = previous_or(previous_uncorrected_, i, now);
    if (now.v > prev.v) {
      TelemetryFinding f{TelemetryFinding::kEccDbe, true};
      f.delta = minus(now, prev);
      out.push_back(f);
    }
    previous_uncorrected_[i] = now;
  }
  if (s.ecc_corrected) {
    const Num& now = *s.ecc_corrected;
    Num prev = previous_or(previous_corrected_, i, now);
    Num delta = clamp_positive(minus(now, prev));
    double rate = delta.v * (3600 / poll_interval);
    if (rate > t.ecc_warn_rate) {
      TelemetryFinding f{TelemetryFinding::kEccSbeRate};
      f.rate = py_round(rate, 2);
      out.push_back(f);
    }
    previous_corrected_[i] = now;
  }
}

// The hardware bits of the mask, else the tool's words. The tool prints the mask as
// hexadecimal text; without an NVML mask that text is the mask.
void TelemetryDetectors::clock_throttle(const GpuSample& s, Findings& out) {
  std::uint64_t mask = s.throttle_mask;
  bool words = mask == 0;
  if (!s.throttle_mask_present) {
    if (auto hex = parse_hex_mask(s.throttle_text)) {
      mask = *hex;
      words = false;
    }
  }
  if (mask != 0) {
    for (const auto& [bit, label] : kThrottleReasonMasks) {
      if (mask & bit) {
        TelemetryFinding f{TelemetryFinding::kThrottleMask};
        f.mask = bit;
        f.label = label;
        out.push_back(f);
      }
    }
  } else if (words) {
    std::string text = lower(s.throttle_text);
    for (const char* phrase : kThrottleReasonTextPatterns) {
      if (text.find(phrase) != std::string::npos) {
        out.push_back({TelemetryFinding::kThrottleText});
        break;
      }
    }
  }
}

// Low utilisation during an active job, five polls in a row; idle polls neither count nor
// reset.
void TelemetryDetectors::low_utilisation(const GpuSample& s, bool active_job, Findings& out) {
  if (!s.util || !active_job) return;
  int& low = low_util_polls_[s.index];
  low = *s.util < 10.0 ? low + 1 : 0;
  if (low >= 5) out.push_back({TelemetryFinding::kLowUtil});
}

// A sudden drop of used memory during an active job.
void TelemetryDetectors::memory_drop(const GpuSample& s, bool active_job, Findings& out) {
  if (!s.mem_used || !active_job) return;
  double used = *s.mem_used;
  double prev = previous_or(previous_memory_used_, s.index, used);
  double total = s.mem_total && *s.mem_total != 0 ? *s.mem_total : 0.0;
  double before_floor = std::max(total * 0.1, 1024.0);
  double drop_floor = std::max(total * 0.05, 512.0);
  if (prev >= before_floor && prev - used >= drop_floor && used < prev * 0.5) {
    TelemetryFinding f{TelemetryFinding::kMemoryDrop};
    f.before = py_round(prev, 2);
    f.after = py_round(used, 2);
    out.push_back(f);
  }
  previous_memory_used_[s.index] = used;
}

// Power above the limit, or far below it on a busy GPU for three polls.
void TelemetryDetectors::power(const GpuSample& s, bool active_job, Findings& out) {
  if (!s.power_draw || !s.power_limit || *s.power_limit == 0) return;
  double draw = *s.power_draw, limit = *s.power_limit;
  TelemetryFinding f{TelemetryFinding::kPowerHigh};
  f.before = py_round(draw, 2);
  f.after = py_round(limit, 2);
  if (draw > limit * 1.1) {
    out.push_back(f);
    return;
  }
  bool util_ready = s.util && *s.util >= 40.0;
  bool low_power = active_job && util_ready && draw < limit * 0.15;
  int& low = low_power_polls_[s.index];
  low = low_power ? low + 1 : 0;
  if (low >= 3) {
    f.kind = TelemetryFinding::kPowerLow;
    out.push_back(f);
  }
}

// Every increase of an NVLink error counter; critical above the rates.
void TelemetryDetectors::nvlink_errors(const GpuSample& s, double poll_interval,
                                       const Thresholds& t, Findings& out) {
  for (std::size_t l = 0; l < s.nvlink.size(); ++l) {
    const auto& link = s.nvlink[l];
    for (std::size_t c = 0; c < link.counters.size(); ++c) {
      const auto& counter = link.counters[c];
      auto key = std::make_tuple(s.index, link.link, counter.key);
      Num prev = previous_or(previous_nvlink_, key, counter.value);
      Num delta = clamp_positive(minus(counter.value, prev));
      if (delta.v > 0) {
        bool crc = counter.key == "crc_flit" || counter.key == "crc_data";
        bool critical = crc ? delta.v / poll_interval > t.nvlink_crc_rate_critical
                            : delta.v * (60 / poll_interval) > t.nvlink_error_rate_critical;
        TelemetryFinding f{TelemetryFinding::kNvlink, critical};
        f.delta = delta;
        f.link_pos = l;
        f.counter_pos = c;
        out.push_back(f);
      }
      previous_nvlink_[key] = counter.value;
    }
  }
}

// A warning over the rate, critical when it lasts three polls.
void TelemetryDetectors::pcie_replay(const GpuSample& s, double poll_interval, const Thresholds& t,
                                     Findings& out) {
  if (!s.pcie_replay) return;
  const Num& now = *s.pcie_replay;
  Num prev = previous_or(previous_pcie_replay_, s.index, now);
  Num delta = clamp_positive(minus(now, prev));
  double rate = delta.v * (60 / poll_interval);
  bool over = rate > t.pcie_replay_rate_critical;
  int& streak = pcie_replay_polls_[s.index];
  streak = over ? streak + 1 : 0;
  if (streak >= 3 || over) {
    TelemetryFinding f{TelemetryFinding::kPcieReplay, streak >= 3};
    f.delta = delta;
    f.rate = py_round(rate, 2);
    out.push_back(f);
  }
  previous_pcie_replay_[s.index] = now;
}

}  // namespace corvane::monitor
