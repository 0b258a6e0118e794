// What happens to the job's findings: each distinct one is delivered when it is first seen
// and again when it comes back long after, every other occurrence is counted, and critical
// ones ask for a recovery plan.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace corvane::monitor {

// The identity of a finding: event type, severity, summary and node, each field kept apart
// from the next (("a", "bc") is not ("ab", "c")). The same finding from two nodes is two.
std::string finding_signature(std::string_view event_type, std::string_view severity,
                              std::string_view summary, std::string_view node);

// The findings of one job by signature. A finding is delivered the first time its
// signature is seen, and again when it recurs more than `repeat_after_s` after its last
// delivery; every occurrence in between only adds to the count of that delivery. The work
// per finding does not depend on how many came before it.
class DeliveryBook {
 public:
  explicit DeliveryBook(double repeat_after_s) : repeat_after_s_(repeat_after_s) {}

  struct Delivery {
    std::uint64_t count = 1;  // occurrences since this delivery
    double first_seen = 0.0, last_seen = 0.0;
    bool recorded = true;  // the count as the registry has it is the current one
  };
  struct Outcome {
    bool deliver;          // show and record it: a new delivery
    std::size_t delivery;  // the delivery this occurrence counts towards
  };
  Outcome observe(const std::string& signature, double now);

  // In order of delivery.
  const std::vector<Delivery>& deliveries() const { return deliveries_; }
  // Deliveries whose count changed since the registry last heard of it; marks them heard.
  std::vector<std::size_t> take_unrecorded();

 private:
  double repeat_after_s_;
  std::unordered_map<std::string, std::size_t> latest_;  // signature -> its latest delivery
  std::vector<Delivery> deliveries_;
  std::vector<std::size_t> unrecorded_;
};

// Event types that say how the job runs rather than what is wrong with it: they are shown
// and counted, but never named as a reason for a recovery.
bool supports_recovery(std::string_view event_type);

// Recovery is planned per node: a node's plan is asked for by its first CRITICAL finding,
// and asked for again when a CRITICAL finding of another event type comes from it. A plan
// names the event types of that node's CRITICAL and WARN findings that support recovery,
// sorted and distinct, so one node's findings never become another's drain reason. Fed one
// delivered finding at a time.
class RecoveryTrigger {
 public:
  // Returns true when the finding makes its node's plan due.
  bool add(std::string_view node, std::string_view severity, std::string_view event_type);
  // Whether any node has a CRITICAL finding.
  bool armed() const { return armed_; }
  // The nodes whose plan is due, in the order they became due; they are no longer due.
  std::vector<std::string> take_due();
  // Byte order of UTF-8 is code point order: the host's sorted() of the same texts.
  std::vector<std::string> triggers(std::string_view node) const;

 private:
  struct NodeFindings {
    std::set<std::string> kinds, criticals;
    bool due = false;
  };
  bool armed_ = false;
  std::map<std::string, NodeFindings, std::less<>> nodes_;
  std::vector<std::string> due_;
};

// A plan is executed (simulated unless live execution is on) in the "confirm" and "auto"
// modes; without a configured mode it is recorded only, rather than failing the job's
// monitoring after the plan already exists.
bool recovery_executes(std::string_view mode);
// A recorded plan: the fields it keeps, and its summary for the node it is for.
inline constexpr const char* kRecoveryPlanFields[] = {"checkpoint_path", "drain_command",
                                                      "restart_command", "replacement_node"};
std::string recovery_plan_summary(std::string_view node);

}  // namespace corvane::monitor
