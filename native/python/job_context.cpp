// The runner's job: delivery of its findings, its state for the metrics bridges, and the
// recovery its critical findings ask for (see job_context.hpp).
#include "job_context.hpp"

#include <limits>
#include <map>
#include <optional>
#include <vector>

#include "../core/common/fault_catalogue.hpp"
#include "../core/job/delivery.hpp"
#include "../core/kernel_log/kernel_findings.hpp"

namespace corvane::bindings {
namespace {

using namespace nb::literals;

// A finding's field as the core compares it: a str by its exact text, any other value by
// its repr, marked with a byte no text holds.
std::string field_key(nb::handle v) {
  if (PyUnicode_Check(v.ptr())) return exact_utf8(v);
  return "\xff" + exact_utf8(nb::repr(v));
}

// What a finding is about, where its details say: the GPU, the PCI device, the rank. The
// same words about another GPU or rank are another finding, never a repeat of this one.
std::string subject_key(nb::handle details) {
  if (!PyDict_Check(details.ptr())) return {};
  std::string key;
  for (const char* name : {"gpu_index", "pci_bus_id", "rank"}) {
    PyObject* v = PyDict_GetItemString(details.ptr(), name);  // borrowed
    key += v == nullptr || v == Py_None ? std::string("-") : field_key(v);
    key += '\0';
  }
  return key;
}

// A node's plan follows the action of its CRITICAL findings: one that asks for work on the
// node outweighs one that asks only for a restart of the job.
bool job_only(nb::handle action) {
  if (!PyUnicode_Check(action.ptr())) return false;
  std::string text = exact_utf8(action);
  return text == "restart_job" || text == "none";
}

// Every finding says what class of fault it is and what to do, from the catalogue by its
// event type where its source did not say (an Xid, an SXid or a job error form does).
void add_event_fault(nb::handle details, const std::string& type_key) {
  if (!PyDict_Check(details.ptr())) return;
  std::optional<monitor::FaultEntry> entry = monitor::event_fault(type_key);
  if (!entry) return;
  if (PyDict_GetItemString(details.ptr(), "class") == nullptr) {
    details["class"] = from_exact_utf8(monitor::fault_class_name(entry->fault_class));
  }
  if (PyDict_GetItemString(details.ptr(), "action") == nullptr) {
    details["action"] = from_exact_utf8(monitor::fault_action_name(entry->action));
  }
}

// A process the OOM killer ended that was one of the job's is named so.
void name_job_process(nb::handle finding, nb::handle details, const monitor::RecentPids& job_pids) {
  if (!PyDict_Check(details.ptr())) return;
  std::optional<long long> pid = small_int(details.attr("get")("pid"));
  nb::object process = details.attr("get")("process");
  if (!pid || *pid <= 0 || *pid > std::numeric_limits<pid_t>::max() ||
      !PyUnicode_Check(process.ptr()) ||
      !job_pids.holds(static_cast<pid_t>(*pid), steady_seconds())) {
    return;
  }
  finding.attr("summary") =
      from_exact_utf8(monitor::oom_kill_summary(std::to_string(*pid), exact_utf8(process), true));
  details["job_process"] = true;
}

void note_critical(JobContext::PlanFor& plan, nb::handle node, nb::handle finding) {
  nb::object details = nb::getattr(finding, "details", nb::none());
  nb::object action = PyDict_Check(details.ptr()) ? details.attr("get")("action") : nb::none();
  bool first = !plan.critical.is_valid();
  if (first || (job_only(plan.action) && !job_only(action))) plan.action = action;
  plan.node = nb::borrow(node);
  plan.critical = nb::borrow(finding);
}

}  // namespace

void JobContext::flush_new_findings() {
  // The shared list is emptied as it is read: it holds only what came since the last pass,
  // however many times a job repeats the same finding.
  nb::list batch;
  with_lock(findings_lock, [&] {
    batch = nb::list(findings);
    Py_ssize_t n = static_cast<Py_ssize_t>(nb::len(batch));
    if (n > 0 && PySequence_DelSlice(findings.ptr(), 0, n) != 0) throw nb::python_error();
  });
  if (nb::len(batch) == 0) return;
  double now = as_double(host("time").attr("time")());
  for (nb::handle finding : batch) {
    nb::object event_type = finding.attr("event_type"), details = finding.attr("details");
    std::string type_key = field_key(event_type);
    if (type_key == "host_oom_kill") name_job_process(finding, details, job_pids);
    nb::object severity = finding.attr("severity"), summary = finding.attr("summary");
    nb::object node = node_of(finding);
    std::string severity_key = field_key(severity);
    auto seen =
        book.observe(monitor::finding_signature(type_key, severity_key, field_key(summary),
                                                field_key(node) + '\0' + subject_key(details)),
                     now);
    if (!seen.deliver) continue;
    add_event_fault(details, type_key);
    delivered_findings.append(finding);
    trigger_types.emplace(type_key, event_type);
    std::string node_key = field_key(node);
    if (trigger.add(node_key, severity_key, type_key))
      note_critical(plans[node_key], node, finding);

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

void JobContext::record_counts() {
  std::vector<std::size_t> changed = book.take_unrecorded();
  if (changed.empty()) return;
  // A registry of the host's own may not keep counts.
  nb::object record = nb::getattr(registry, "record_occurrences", nb::none());
  if (record.is_none()) return;
  for (std::size_t i : changed) {
    const monitor::DeliveryBook::Delivery& d = book.deliveries()[i];
    nb::handle f = delivered_findings[i];
    deliver_to("registry", [&] {
      record("node_id"_a = node_of(f), "job_id"_a = job_id, "event_type"_a = f.attr("event_type"),
             "severity"_a = f.attr("severity"), "summary"_a = f.attr("summary"),
             "occurrences"_a = d.count, "first_seen"_a = d.first_seen, "last_seen"_a = d.last_seen);
    });
  }
}

nb::list JobContext::finding_counts() const {
  nb::list out;
  for (const auto& d : book.deliveries()) out.append(d.count);
  return out;
}

void JobContext::report_state(bool running, nb::handle last_output_at, double poll_s,
                              std::size_t hook_ranks_fresh) {
  try {
    if (!bridge_active(wandb_bridge)) return;
    nb::object call = nb::getattr(wandb_bridge, "log_job_state", nb::none());
    if (call.is_none()) return;
    nb::dict state;
    state["job_id"] = job_id;
    state["running"] = running;
    state["last_output_at"] = last_output_at;
    state["hook_ranks_fresh"] = hook_ranks_fresh;
    state["poll_interval_s"] = poll_s;
    call(state);
  } catch (nb::python_error& e) {
    if (e.matches(PyExc_KeyboardInterrupt)) throw;
    log.warn("job state not sent to the metrics bridge: " + python_error_line(e));
  }
}

void JobContext::maybe_trigger_recovery(nb::handle returncode) {
  if (!trigger.armed()) return;
  std::vector<std::string> due = trigger.take_due();
  if (due.empty()) return;
  nb::object recovery = section("recovery");
  if (!truthy(recovery.attr("get")("enabled", true))) return;
  // A plan that fails is not tried again: its node is no longer due.
  for (const std::string& key : due) plan_recovery(plans[key], recovery, returncode);
}

void JobContext::plan_recovery(const PlanFor& due, nb::handle recovery, nb::handle returncode) {
  nb::list sorted;
  for (const std::string& key : trigger.triggers(field_key(due.node)))
    sorted.append(trigger_types[key]);
  if (returncode.is_valid() && !truthy(host("recovery_wanted")(sorted, returncode))) return;
  nb::dict extra;  // passed only where there is one: the planner's call is otherwise as it was
  if (!due.action.is_none()) extra["action"] = due.action;
  nb::object plan =
      host("build_recovery_plan")(config, "job_id"_a = job_id, "node_id"_a = due.node,
                                  "command"_a = command_text, "checkpoint_dir"_a = checkpoint_dir,
                                  "failed_triggers"_a = sorted, "registry"_a = registry, **extra);
  nb::object mode = recovery.attr("get")("mode");
  if (!recovery_executed && PyUnicode_Check(mode.ptr()) &&
      monitor::recovery_executes(exact_utf8(mode))) {
    recovery_executed = true;
    nb::object live = host("remediation")
                          .attr("strict_bool")(recovery.attr("get")("live_execute", false),
                                               "flag"_a = "recovery.live_execute");
    bool simulate = !truthy(live);
    if (!simulate && end_job && !returncode.is_valid()) {
      // A live restart never runs beside the job it replaces: the job is ended first.
      recovery_result =
          host("execute_recovery")(plan, config, registry, "simulate"_a = false,
                                   "end_job"_a = nb::cpp_function([this] { end_job(); }));
    } else {
      recovery_result = host("execute_recovery")(plan, config, registry, "simulate"_a = simulate);
    }
    return;
  }
  nb::dict plan_map;
  for (const char* key : monitor::kRecoveryPlanFields) plan_map[key] = plan.attr(key);
  nb::dict details;
  details["trigger"] = due.critical.attr("summary");
  registry.attr("record_recovery_event")(
      "job_id"_a = job_id, "node_id"_a = due.node, "mode"_a = mode, "status"_a = "planned",
      "summary"_a = from_exact_utf8(monitor::recovery_plan_summary(exact_utf8(nb::str(due.node)))),
      "plan"_a = plan_map, "details"_a = details,
      "replacement_node"_a = plan.attr("replacement_node"));
}

}  // namespace corvane::bindings
