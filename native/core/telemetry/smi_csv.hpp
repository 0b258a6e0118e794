// The nvidia-smi tool's CSV answers read into plain GPU rows: the two queries the shell
// backend runs, how a field becomes a number, and when an answer is no answer.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::monitor {

struct SmiQuery {
  const char* tool;
  const char* command;
  int timeout_s;
};
// Every GPU's readings (11 fields), and the PCIe replay counters (a separate query: older
// drivers reject the field, and the readings must not be lost with it).
extern const SmiQuery kSmiMainQuery, kSmiReplayQuery;

// The reason a tool call gave no usable answer, as the "telemetry_unavailable" finding
// says it; nothing for a usable answer. A cancelled call (its job ended) is no failure
// but no answer either: `usable` false with an empty reason.
struct ToolVerdict {
  bool usable = true;
  std::string reason;  // "no answer within 15 s", "exited with status 9", "printed nothing"
  bool timed_out = false;
};
ToolVerdict judge_tool_answer(bool timed_out, bool cancelled, bool status_zero,
                              std::string_view status_text, bool printed, int timeout_s);

// A field as a number: nothing for "[N/A]", "N/A", "[Not Supported]", "[Unknown Error]",
// an empty field or anything else that is no decimal number ("0x40").
std::optional<double> smi_number(std::string_view field);
// A counter field: a number that is finite, truncated toward zero as int() does.
std::optional<double> smi_counter(std::string_view field);

// One GPU row of the main query. Counters are whole numbers.
struct SmiRow {
  std::string index;       // decimal digits: the tool's integer, of any size
  std::string pci_bus_id;  // as printed; the host brings it to its short form
  std::optional<double> temperature_c, util_gpu, memory_used_mb, memory_total_mb, power_draw_w,
      power_limit_w;
  std::string throttle_reasons_text;
  std::optional<double> ecc_corrected, ecc_uncorrected, pcie_replay;
};

// Replay counters by GPU index (decimal digits); rows without a readable index and count
// are left out.
using ReplayCounters = std::map<std::string, double>;
ReplayCounters parse_smi_replay(std::string_view text);

struct SmiRows {
  std::vector<SmiRow> rows;
  // Why each row with enough fields but no readable GPU index was left out; rows with
  // fewer than 10 fields are left out silently.
  std::vector<std::string> skipped;
};
SmiRows parse_smi_main(std::string_view text, const ReplayCounters& replay);

}  // namespace corvane::monitor
