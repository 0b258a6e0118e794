#include "delivery.hpp"

#include <utility>

namespace corvane::monitor {

std::string finding_signature(std::string_view event_type, std::string_view severity,
                              std::string_view summary, std::string_view node) {
  std::string key;
  key.reserve(event_type.size() + severity.size() + summary.size() + node.size() + 32);
  for (std::string_view field : {event_type, severity, summary, node}) {
    key += std::to_string(field.size());
    key += ':';
    key += field;
  }
  return key;
}

DeliveryBook::Outcome DeliveryBook::observe(const std::string& signature, double now) {
  auto [it, fresh] = latest_.try_emplace(signature, deliveries_.size());
  if (!fresh) {
    Delivery& d = deliveries_[it->second];
    if (!(now - d.first_seen > repeat_after_s_)) {
      ++d.count;
      d.last_seen = now;
      if (d.recorded) unrecorded_.push_back(it->second);
      d.recorded = false;
      return {false, it->second};
    }
    it->second = deliveries_.size();  // it came back long after: delivered again
  }
  deliveries_.push_back({1, now, now, true});
  return {true, deliveries_.size() - 1};
}

std::vector<std::size_t> DeliveryBook::take_unrecorded() {
  std::vector<std::size_t> out;
  out.swap(unrecorded_);
  for (std::size_t i : out) deliveries_[i].recorded = true;
  return out;
}

bool supports_recovery(std::string_view event_type) {
  // Slow ranks and a jumping loss are the job's own behaviour: a restart does not mend them.
  return event_type != "rank_straggler" && event_type != "phase_straggler" &&
         event_type != "loss_spike";
}

bool RecoveryTrigger::add(std::string_view node, std::string_view severity,
                          std::string_view event_type) {
  bool critical = severity == "CRITICAL";
  if (!critical && severity != "WARN") return false;
  auto it = nodes_.find(node);
  if (it == nodes_.end()) it = nodes_.emplace(std::string(node), NodeFindings{}).first;
  NodeFindings& found = it->second;
  if (supports_recovery(event_type)) found.kinds.emplace(event_type);
  if (!critical || !found.criticals.emplace(event_type).second || found.due) return false;
  armed_ = found.due = true;
  due_.push_back(it->first);
  return true;
}

std::vector<std::string> RecoveryTrigger::take_due() {
  for (const std::string& node : due_) nodes_.find(node)->second.due = false;
  return std::exchange(due_, {});
}

std::vector<std::string> RecoveryTrigger::triggers(std::string_view node) const {
  auto it = nodes_.find(node);
  if (it == nodes_.end()) return {};
  return {it->second.kinds.begin(), it->second.kinds.end()};
}

bool recovery_executes(std::string_view mode) { return mode == "confirm" || mode == "auto"; }

std::string recovery_plan_summary(std::string_view node) {
  return "Prepared recovery plan for " + std::string(node);
}

}  // namespace corvane::monitor
