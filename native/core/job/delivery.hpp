// What happens to the job's findings: each distinct one is delivered once, and critical
// ones ask for a recovery plan.
#pragma once

#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace corvane::monitor {

// Findings already delivered, told apart by event type, severity, summary and node: the
// same finding from two nodes is two findings.
class DeliveredFindings {
 public:
  // True the first time this (event type, severity, summary, node) is seen.
  bool first_time(std::string_view event_type, std::string_view severity, std::string_view summary,
                  std::string_view node);

 private:
  std::set<std::tuple<std::string, std::string, std::string, std::string>> seen_;
};

struct FindingKind {
  std::string_view severity, event_type;
};

// A recovery is asked for by the first CRITICAL finding; the plan names the event types of
// every CRITICAL and WARN finding, sorted and distinct.
struct RecoveryTrigger {
  std::size_t first_critical = 0;  // position among the findings
  std::vector<std::string> triggers;
};
std::optional<RecoveryTrigger> recovery_trigger(const std::vector<FindingKind>& findings);

// A plan is executed (simulated unless live execution is on) in the "confirm" and "auto"
// modes; without a configured mode it is recorded only, rather than failing the job's
// monitoring after the plan already exists.
bool recovery_executes(std::string_view mode);
// A recorded plan: the fields it keeps, and its summary for the node it is for.
inline constexpr const char* kRecoveryPlanFields[] = {"checkpoint_path", "drain_command",
                                                      "restart_command", "replacement_node"};
std::string recovery_plan_summary(std::string_view node);

}  // namespace corvane::monitor
