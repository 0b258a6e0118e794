// A finding as the core words it: event type, severity, one-line summary and the keys and
// values of its details, in the order they are shown. Every watcher's findings take this
// one form; the binding turns it into the host's finding record as it is.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvane::monitor {

// A number as the host had it: counters keep integer arithmetic when they are integers.
struct Num {
  double v = 0.0;
  bool is_int = false;
};

// One value of a finding's details. Values the host handed in (a snapshot's field, an
// NVLink link key, a configured setting, the line itself) are passed back as the host had
// them, so the finding names them instead of copying: by the snapshot's key, or by their
// position among the values the caller keeps for the finding.
struct DetailValue {
  enum Kind {
    kNone,
    kInt,
    kFloat,
    kBool,
    kText,    // UTF-8 (a lone surrogate's bytes as the host had them)
    kCount,   // a counter: an integer when the host's was one
    kDigits,  // decimal digits, read as an integer where the host can
    kIntList,
    kSnapshotField,  // the snapshot's value under `text`
    kKept,           // the caller's kept value at position `i`
  } kind = kNone;
  std::int64_t i = 0;                // kInt, kBool (0 or 1), kKept
  double f = 0.0;                    // kFloat
  Num count{};                       // kCount
  std::string text{};                // kText, kDigits, kSnapshotField
  std::vector<std::int64_t> list{};  // kIntList

  static DetailValue none() { return {}; }
  static DetailValue integer(std::int64_t v) { return {kInt, v}; }
  static DetailValue number(double v) { return {kFloat, 0, v}; }
  static DetailValue number(const std::optional<double>& v) { return v ? number(*v) : none(); }
  static DetailValue flag(bool v) { return {kBool, v ? 1 : 0}; }
  static DetailValue string(std::string v) { return {kText, 0, 0.0, {}, std::move(v)}; }
  static DetailValue text_or_none(const std::optional<std::string>& v) {
    return v ? string(*v) : none();
  }
  static DetailValue counted(Num v) { return {kCount, 0, 0.0, v}; }
  static DetailValue digits(std::string v) { return {kDigits, 0, 0.0, {}, std::move(v)}; }
  static DetailValue integers(std::vector<std::int64_t> v) {
    return {kIntList, 0, 0.0, {}, {}, std::move(v)};
  }
  static DetailValue snapshot(std::string key) {
    return {kSnapshotField, 0, 0.0, {}, std::move(key)};
  }
  static DetailValue kept(std::size_t pos) { return {kKept, static_cast<std::int64_t>(pos)}; }
};
using Details = std::vector<std::pair<std::string, DetailValue>>;

struct Finding {
  std::string_view event_type;
  std::string_view severity;  // "CRITICAL", "WARN" or "INFO"
  std::string summary;
  Details details;
};

}  // namespace corvane::monitor
