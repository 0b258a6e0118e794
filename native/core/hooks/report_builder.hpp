// One report for the peer analysis, built the same way whichever reader read the line: the
// native reader (simple JSON values) or the host's decoder (any values, converted by the
// binding as the host's int() and float() would).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "detection_finding.hpp"
#include "peer_analysis.hpp"
#include "report_reader.hpp"

namespace corvane::monitor {

// float() of a JSON number literal, as the host's decoder and float() give it.
double json_number(const JsonScalar& v);
// float(value) of a simple JSON value; nullopt where the host gives the default (absent,
// null, strings, containers).
std::optional<double> json_float(const JsonScalar& v);
// int(value) of a simple JSON value.
enum class IntResult { kValue, kDefault, kTooBig };
IntResult json_int(const JsonScalar& v, std::int64_t* out);

class ReportBuilder {
 public:
  ReportBuilder(std::int64_t rank, double timestamp, std::optional<double> gradient_norm,
                std::optional<double> step_time);
  // The report holds a "phase_times" map; its entries follow in order. `name_chars` is the
  // name's length in characters; `duration` is nullopt when the value is no float.
  void begin_phases() { report_.has_phase_map = true; }
  void add_phase(std::string name, std::size_t name_chars, std::optional<double> duration);
  HookReport take() { return std::move(report_); }

 private:
  HookReport report_;
  std::size_t position_ = 0;
};

// The report of a line the native reader read (`rank` already decided, `now` for a missing
// or unusable timestamp).
HookReport fast_report(const FastHookReport& f, std::int64_t rank, double now);

}  // namespace corvane::monitor
