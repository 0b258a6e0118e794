// What the NVML backend reads of each GPU besides its plain readings, and how a failed
// read maps: the error counters, the NVLink counters per active link, and the units.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace corvane::monitor {

// NVML reports memory in bytes and power in milliwatts; snapshots hold MiB and watts.
inline constexpr long kBytesPerMb = 1048576;
inline constexpr double kMilliwattsPerWatt = 1000.0;

// The NVLink error counters a snapshot holds, with the binding's constant names for each,
// tried in order (the recovery counter has two names across binding versions).
struct NvlinkCounterName {
  const char* key;
  std::vector<const char*> constants;
};
extern const std::vector<NvlinkCounterName> kNvlinkCounters;

// The clock-throttle query under its old name, then its new one.
extern const std::vector<const char*> kThrottleReasonQueries;

// A GPU that NVML reports lost says so in its error's text.
inline bool names_lost_gpu(std::string_view error_repr) {
  return error_repr.find("GPU_IS_LOST") != std::string_view::npos;
}

// A GPU's ECC and PCIe replay counters. ECC counts come as a pair: a GPU that cannot give
// both has neither. `read_ecc(corrected)` and `read_replay()` give nothing on failure.
template <class Value>
struct ErrorCounters {
  std::optional<Value> ecc_corrected, ecc_uncorrected, pcie_replay;
};
template <class Value, class ReadEcc, class ReadReplay>
ErrorCounters<Value> read_error_counters(ReadEcc&& read_ecc, ReadReplay&& read_replay) {
  ErrorCounters<Value> out;
  std::optional<Value> corrected = read_ecc(true);
  std::optional<Value> uncorrected = corrected ? read_ecc(false) : std::nullopt;
  if (corrected && uncorrected) {
    out.ecc_corrected = std::move(corrected);
    out.ecc_uncorrected = std::move(uncorrected);
  }
  out.pcie_replay = read_replay();
  return out;
}

// The error counters of each active link that has any. Links from 0 to `link_count` (none
// when it is negative) are asked; `active(link)` gives nothing when the query failed (the
// link is skipped), `read(link, counter)` nothing for a counter that cannot be read (it is
// left out). `known[c]`: the binding has counter c of kNvlinkCounters.
template <class Value>
struct LinkErrors {
  long link;
  std::vector<std::pair<const char*, Value>> counters;
};
template <class Value, class Active, class Read>
std::vector<LinkErrors<Value>> read_nvlink_errors(long link_count, const std::vector<bool>& known,
                                                  Active&& active, Read&& read) {
  std::vector<LinkErrors<Value>> out;
  for (long link = 0; link < link_count; ++link) {
    std::optional<bool> up = active(link);
    if (!up || !*up) continue;
    LinkErrors<Value> errors{link, {}};
    for (std::size_t c = 0; c < kNvlinkCounters.size() && c < known.size(); ++c) {
      if (!known[c]) continue;
      if (std::optional<Value> v = read(link, c)) {
        errors.counters.emplace_back(kNvlinkCounters[c].key, std::move(*v));
      }
    }
    if (!errors.counters.empty()) out.push_back(std::move(errors));
  }
  return out;
}

}  // namespace corvane::monitor
