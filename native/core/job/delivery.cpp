#include "delivery.hpp"

#include <algorithm>

namespace corvane::monitor {

bool DeliveredFindings::first_time(std::string_view event_type, std::string_view severity,
                                   std::string_view summary, std::string_view node) {
  return seen_
      .emplace(std::string(event_type), std::string(severity), std::string(summary),
               std::string(node))
      .second;
}

std::optional<RecoveryTrigger> recovery_trigger(const std::vector<FindingKind>& findings) {
  std::optional<std::size_t> critical;
  std::set<std::string> kinds;
  for (std::size_t i = 0; i < findings.size(); ++i) {
    bool is_critical = findings[i].severity == "CRITICAL";
    if (is_critical && !critical) critical = i;
    if (is_critical || findings[i].severity == "WARN") kinds.emplace(findings[i].event_type);
  }
  if (!critical) return std::nullopt;
  // Byte order of UTF-8 is code point order: the host's sorted() of the same texts.
  return RecoveryTrigger{*critical, std::vector<std::string>(kinds.begin(), kinds.end())};
}

bool recovery_executes(std::string_view mode) { return mode == "confirm" || mode == "auto"; }

std::string recovery_plan_summary(std::string_view node) {
  return "Prepared recovery plan for " + std::string(node);
}

}  // namespace corvane::monitor
