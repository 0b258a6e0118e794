// One monitored job as the runner's loop sees it: its registry records, the findings it
// delivered, and its recovery.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "../core/job/delivery.hpp"
#include "../core/job/process_tree.hpp"
#include "host.hpp"
#include "monitoring_host.hpp"
#include "thread_guard.hpp"

namespace corvane::bindings {

// Delivery and the recovery trigger (on the runner's thread only).

struct JobContext {
  nb::object config, registry, wandb_bridge, training_state, findings, findings_lock;
  nb::object node_id, job_id, command_text, runtime_costs, checkpoint_dir;
  // Each signature is delivered once, and again when it comes back more than "monitor" ->
  // "repeat_after" after its last delivery; other occurrences are counted.
  monitor::DeliveryBook book{600.0};
  monitor::RecoveryTrigger trigger;
  // Per node (by key): the node, the CRITICAL finding that last made its plan due, and the
  // catalogue action its plan follows.
  struct PlanFor {
    nb::object node, critical, action = nb::none();
  };
  std::map<std::string, PlanFor> plans;
  std::map<std::string, nb::object> trigger_types;  // event type key -> the host's text
  // The other nodes findings came from (an agent step's), each entered in the registry once.
  nb::object other_nodes = nb::steal(PySet_New(nullptr));
  // The agent step on the allocation's other nodes, or None.
  nb::object agents = nb::none();
  nb::list delivered_findings;
  bool recovery_executed = false;  // one plan is executed per job; later ones are recorded
  nb::object recovery_result = nb::none();
  // Ends the job (its whole process tree) before a live recovery restarts it; set by the
  // runner while the job runs.
  std::function<void()> end_job;
  // The job's processes seen at its checks: the OOM killer's victim is named as the job's.
  monitor::RecentPids job_pids{60.0};

  nb::object section(const char* name) const { return config.attr("get")(name, nb::dict()); }

  LogOnce log;

  // Delivers the findings appended since the last call and empties the shared list: a
  // finding seen before only adds to its delivery's count.
  void flush_new_findings();
  // Tells the registry the counts that changed since the last call.
  void record_counts();
  // The occurrences of each delivered finding, in delivery order.
  nb::list finding_counts() const;
  // The node a finding was seen on: its own node_id, else the monitor's.
  nb::object node_of(nb::handle finding) const {
    nb::object node = nb::getattr(finding, "node_id", nb::none());
    return node.is_none() ? node_id : node;
  }
  // `returncode` is given once the job has ended: a job that exited 0 gets no plan unless
  // a hardware finding is among the triggers.
  void maybe_trigger_recovery(nb::handle returncode = nb::handle());
  void plan_recovery(const PlanFor& due, nb::handle recovery, nb::handle returncode);
  // The job's state at each poll, for a bridge that exports it (log_job_state).
  void report_state(bool running, nb::handle last_output_at, double poll_s,
                    std::size_t hook_ranks_fresh);

  template <class Fn>
  void deliver_to(const char* sink, Fn&& fn) {
    try {
      fn();
    } catch (nb::python_error& e) {
      if (e.matches(PyExc_KeyboardInterrupt)) throw;
      log.warn(std::string("delivery of a finding to the ") + sink +
               " failed: " + python_error_line(e));
    }
  }
};

}  // namespace corvane::bindings
