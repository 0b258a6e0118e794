// The runner's job: delivery of its findings, its state for the metrics bridges, and the
// recovery its critical findings ask for (see job_context.hpp).
#include "job_context.hpp"

#include <map>
#include <optional>
#include <vector>

#include "../core/job/delivery.hpp"

namespace corvane::bindings {
namespace {

using namespace nb::literals;

// A finding's field as the core compares it: a str by its exact text, any other value by
// its repr, marked with a byte no text holds.
std::string field_key(nb::handle v) {
  if (PyUnicode_Check(v.ptr())) return exact_utf8(v);
  return "\xff" + exact_utf8(nb::repr(v));
}

}  // namespace

void JobContext::flush_new_findings() {
  nb::list copy;
  with_lock(findings_lock, [&] { copy = nb::list(findings); });
  for (nb::handle finding : copy) {
    nb::object event_type = finding.attr("event_type"), severity = finding.attr("severity"),
               summary = finding.attr("summary"), details = finding.attr("details");
    nb::object node = node_of(finding);
    if (!delivered.first_time(field_key(event_type), field_key(severity), field_key(summary),
                              field_key(node))) {
      continue;
    }
    delivered_findings.append(finding);

    // Each sink on its own: a console, bridge or registry that fails is logged once and
    // the others still get the finding.
    deliver_to("display", [&] {
      host("display_monitoring_finding")(finding, "cost_config"_a = runtime_costs,
                                         "timestamp"_a = host("time").attr("strftime")("%H:%M:%S"));
    });
    deliver_to("metrics bridge", [&] {
      if (!bridge_active(wandb_bridge)) return;
      nb::object sent = truthy(details) ? details : nb::object(nb::dict());
      wandb_bridge.attr("log_finding")(event_type, severity, summary, sent,
                                       "step"_a = training_state.attr("get")("step"),
                                       "phase"_a = training_state.attr("get")("phase"));
    });
    deliver_to("registry", [&] {
      if (!node.equal(node_id) && PySet_Contains(other_nodes.ptr(), node.ptr()) == 0) {
        registry.attr("ensure_node")(
            node, "gpu_type"_a = config["cluster"].attr("get")("gpu_type", "UNKNOWN"));
        if (PySet_Add(other_nodes.ptr(), node.ptr()) != 0) throw nb::python_error();
      }
      registry.attr("record_event")(
          "node_id"_a = node, "job_id"_a = job_id, "event_type"_a = event_type,
          "severity"_a = severity, "summary"_a = summary, "details"_a = details,
          "gpu_type"_a = config["cluster"].attr("get")("gpu_type", "UNKNOWN"));
    });
  }
}

void JobContext::report_state(bool running, nb::handle last_output_at, double poll_s) {
  try {
    if (!bridge_active(wandb_bridge)) return;
    nb::object call = nb::getattr(wandb_bridge, "log_job_state", nb::none());
    if (call.is_none()) return;
    nb::dict state;
    state["job_id"] = job_id;
    state["running"] = running;
    state["last_output_at"] = last_output_at;
    state["hook_ranks_fresh"] = training_state.attr("get")("hook_ranks_fresh", 0);
    state["poll_interval_s"] = poll_s;
    call(state);
  } catch (nb::python_error& e) {
    if (e.matches(PyExc_KeyboardInterrupt)) throw;
    log.warn("job state not sent to the metrics bridge: " + python_error_line(e));
  }
}

void JobContext::maybe_trigger_recovery(nb::handle returncode) {
  if (recovery_triggered) return;
  nb::object recovery = section("recovery");
  if (!truthy(recovery.attr("get")("enabled", true))) return;
  nb::list current;
  with_lock(findings_lock, [&] { current = nb::list(findings); });
  std::vector<std::string> texts;  // severity and event type of each finding, as keys
  std::map<std::string, nb::object> event_types;
  for (nb::handle f : current) {
    nb::object event_type = f.attr("event_type");
    texts.push_back(field_key(f.attr("severity")));
    texts.push_back(field_key(event_type));
    event_types.emplace(texts.back(), event_type);
  }
  std::vector<monitor::FindingKind> kinds;
  for (std::size_t i = 0; i < texts.size(); i += 2) kinds.push_back({texts[i], texts[i + 1]});
  std::optional<monitor::RecoveryTrigger> trigger = monitor::recovery_trigger(kinds);
  if (!trigger) return;
  nb::object critical = current[trigger->first_critical];
  nb::list sorted;
  for (const std::string& key : trigger->triggers) sorted.append(event_types[key]);
  if (returncode.is_valid() && !truthy(host("recovery_wanted")(sorted, returncode))) return;
  recovery_triggered = true;  // before planning: a plan that fails is not tried again
  // The plan is for the node the critical finding came from.
  nb::object plan_node = node_of(critical);
  nb::object plan = host("build_recovery_plan")(
      config, "job_id"_a = job_id, "node_id"_a = plan_node, "command"_a = command_text,
      "checkpoint_dir"_a = checkpoint_dir, "failed_triggers"_a = sorted, "registry"_a = registry);
  nb::object mode = recovery.attr("get")("mode");
  if (PyUnicode_Check(mode.ptr()) && monitor::recovery_executes(exact_utf8(mode))) {
    nb::object live = host("remediation")
                          .attr("strict_bool")(recovery.attr("get")("live_execute", false),
                                               "flag"_a = "recovery.live_execute");
    recovery_result =
        host("execute_recovery")(plan, config, registry, "simulate"_a = !truthy(live));
    return;
  }
  nb::dict plan_map;
  for (const char* key : monitor::kRecoveryPlanFields) plan_map[key] = plan.attr(key);
  nb::dict details;
  details["trigger"] = critical.attr("summary");
  registry.attr("record_recovery_event")(
      "job_id"_a = job_id, "node_id"_a = plan_node, "mode"_a = mode, "status"_a = "planned",
      "summary"_a = from_exact_utf8(monitor::recovery_plan_summary(exact_utf8(nb::str(plan_node)))),
      "plan"_a = plan_map, "details"_a = details,
      "replacement_node"_a = plan.attr("replacement_node"));
}

}  // namespace corvane::bindings
