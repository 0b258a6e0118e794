#include "report_builder.hpp"

#include <locale.h>

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace corvane::monitor {

double json_number(const JsonScalar& v) {
  double d = 0.0;
  auto [ptr, ec] = std::from_chars(v.text.data(), v.text.data() + v.text.size(), d);
  if (ec != std::errc() || ptr != v.text.data() + v.text.size()) {
    static locale_t c_locale = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
    std::string copy(v.text);
    d = strtod_l(copy.c_str(), nullptr, c_locale);  // saturates to inf like the host
  }
  if (v.kind == JsonScalar::kInt && d == 0.0) d = 0.0;  // int("-0") is 0
  return d;
}

std::optional<double> json_float(const JsonScalar& v) {
  switch (v.kind) {
    case JsonScalar::kTrue:
      return 1.0;
    case JsonScalar::kFalse:
      return 0.0;
    case JsonScalar::kInt:
    case JsonScalar::kFloat:
      return json_number(v);
    default:
      return std::nullopt;  // absent, null, containers: TypeError
  }
}

IntResult json_int(const JsonScalar& v, std::int64_t* out) {
  switch (v.kind) {
    case JsonScalar::kTrue:
      *out = 1;
      return IntResult::kValue;
    case JsonScalar::kFalse:
      *out = 0;
      return IntResult::kValue;
    case JsonScalar::kInt: {
      auto [ptr, ec] = std::from_chars(v.text.data(), v.text.data() + v.text.size(), *out);
      return ec == std::errc() ? IntResult::kValue : IntResult::kTooBig;
    }
    case JsonScalar::kFloat: {
      double d = json_number(v);
      if (!std::isfinite(d)) return IntResult::kDefault;  // int(inf) overflows: the default
      double t = std::trunc(d);
      if (!(t >= -9.2233720368547758e18 && t < 9.2233720368547758e18)) return IntResult::kTooBig;
      *out = static_cast<std::int64_t>(t);
      return IntResult::kValue;
    }
    default:
      return IntResult::kDefault;
  }
}

ReportBuilder::ReportBuilder(std::int64_t rank, double timestamp,
                             std::optional<double> gradient_norm, std::optional<double> step_time) {
  report_.rank = rank;
  report_.timestamp = timestamp;
  report_.gradient_norm = gradient_norm;
  report_.step_time = step_time;
}

void ReportBuilder::add_phase(std::string name, std::size_t name_chars,
                              std::optional<double> duration) {
  if (position_ < kMaxPhasesPerPayload) {
    PhaseEntry entry;
    entry.name_too_long = name_chars > kMaxPhaseNameChars;
    if (!entry.name_too_long) {
      entry.name = name;
      entry.duration = duration;
    }
    report_.first_phases.push_back(std::move(entry));
  }
  ++position_;
  if (duration) report_.phase_values[std::move(name)] = *duration;
}

HookReport fast_report(const FastHookReport& f, std::int64_t rank, double now) {
  ReportBuilder builder(rank, json_float(f.timestamp).value_or(now), json_float(f.gradient_norm),
                        json_float(f.step_time));
  if (f.phase_times.kind == JsonScalar::kContainer && f.phase_times.text.front() == '{') {
    builder.begin_phases();
    for (const auto& [name, value] : f.phase_entries) {
      // The native reader reads ASCII names only: bytes are characters.
      builder.add_phase(std::string(name), name.size(), json_float(value));
    }
  }
  HookReport r = builder.take();
  std::int64_t v = 0;
  if (json_int(f.step, &v) == IntResult::kValue) r.step = v;
  if (json_int(f.phase_index, &v) == IntResult::kValue) r.phase_index = v;
  // The native reader takes strings without escapes only: the text is the name.
  if (f.phase.kind == JsonScalar::kString) r.phase = std::string(f.phase.text);
  if (f.node.kind == JsonScalar::kString) r.node = std::string(f.node.text);
  return r;
}

}  // namespace corvane::monitor
