#include "smi_csv.hpp"

#include <cmath>

#include "host_text.hpp"

namespace corvane::monitor {

const SmiQuery kSmiMainQuery = {
    "nvidia-smi",
    "nvidia-smi --query-gpu=index,pci.bus_id,temperature.gpu,utilization.gpu,memory.used,"
    "memory.total,power.draw,power.limit,clocks_event_reasons.active,"
    "ecc.errors.corrected.volatile.total,ecc.errors.uncorrected.volatile.total "
    "--format=csv,noheader,nounits",
    15};
const SmiQuery kSmiReplayQuery = {
    "nvidia-smi", "nvidia-smi --query-gpu=index,pcie.replay.counter --format=csv,noheader,nounits",
    10};

ToolVerdict judge_tool_answer(bool timed_out, bool cancelled, bool status_zero,
                              std::string_view status_text, bool printed, int timeout_s) {
  if (timed_out) return {false, "no answer within " + std::to_string(timeout_s) + " s", true};
  if (cancelled) return {false, "", false};
  if (!status_zero) return {false, "exited with status " + std::string(status_text)};
  if (!printed) return {false, "printed nothing"};
  return {};
}

std::optional<double> smi_number(std::string_view field) {
  std::string_view text = strip_space(field);
  while (!text.empty() && (text.front() == '[' || text.front() == ']')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == '[' || text.back() == ']')) text.remove_suffix(1);
  return text.empty() ? std::nullopt : parse_host_float(text);  // "N/A" is no float either
}

std::optional<double> smi_counter(std::string_view field) {
  std::optional<double> n = smi_number(field);
  if (!n || !std::isfinite(*n)) return std::nullopt;  // "nan", or beyond a double's range
  return std::trunc(*n);
}

ReplayCounters parse_smi_replay(std::string_view text) {
  ReplayCounters out;
  for (std::string_view line : split_lines(text)) {
    std::vector<std::string_view> fields = split_fields(line);
    if (fields.size() < 2) continue;
    std::optional<double> index = smi_counter(fields[0]), count = smi_counter(fields[1]);
    if (!index || !count) continue;
    out[whole_number_text(*index)] = *count;
  }
  return out;
}

SmiRows parse_smi_main(std::string_view text, const ReplayCounters& replay) {
  SmiRows out;
  for (std::string_view line : split_lines(text)) {
    std::vector<std::string_view> f = split_fields(line);
    if (f.size() < 10) continue;
    std::optional<std::string> index = parse_host_int(f[0]);
    if (!index) {
      out.skipped.push_back("no GPU index in '" + std::string(f[0]) + "'");
      continue;
    }
    SmiRow row;
    row.index = *index;
    row.pci_bus_id = f[1];
    std::optional<double>* numbers[] = {&row.temperature_c,  &row.util_gpu,
                                        &row.memory_used_mb, &row.memory_total_mb,
                                        &row.power_draw_w,   &row.power_limit_w};
    for (std::size_t k = 0; k < 6; ++k) *numbers[k] = smi_number(f[2 + k]);
    row.throttle_reasons_text = f[8];
    row.ecc_corrected = smi_counter(f[9]);
    if (f.size() >= 11) row.ecc_uncorrected = smi_counter(f[10]);
    auto replayed = replay.find(row.index);
    if (replayed != replay.end()) row.pcie_replay = replayed->second;
    out.rows.push_back(std::move(row));
  }
  return out;
}

}  // namespace corvane::monitor
