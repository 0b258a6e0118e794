#include "finding_record.hpp"

namespace corvane::bindings {

void bind_monitor_records(nb::module_& m) {
  static const std::array<FieldSpec, 5> finding_fields = {{{"event_type"},
                                                           {"severity"},
                                                           {"summary"},
                                                           {"details", FieldSpec::kNewDict},
                                                           {"node_id", FieldSpec::kNone}}};
  bind_record<MonitorFinding>(m, "MonitorFinding", finding_fields, false,
                              "One finding of the job monitor: event type, severity, summary, "
                              "a map of supporting details, and the node it was seen on when "
                              "that is another node than the monitor's (None: its own).");

  static const std::array<FieldSpec, 11> launch_fields = {
      {{"job_id"},
       {"returncode"},
       {"findings"},
       {"output_lines"},
       {"recovery", FieldSpec::kNone},
       {"sbatch_job_id", FieldSpec::kNone},
       {"sbatch_script_path", FieldSpec::kNone},
       {"sbatch_output_path", FieldSpec::kNone},
       {"sbatch_exit_code", FieldSpec::kNone},
       {"sbatch_node_list", FieldSpec::kNone},
       {"output_lines_dropped", FieldSpec::kZero}}};
  bind_record<LaunchResult>(m, "LaunchResult", launch_fields, false,
                            "The result of one monitored job.");
}

nb::object make_finding(nb::handle event_type, nb::handle severity, nb::handle summary,
                        nb::handle details) {
  return new_record(MonitorFinding{
      {nb::borrow(event_type), nb::borrow(severity), nb::borrow(summary), nb::borrow(details)}});
}

}  // namespace corvane::bindings
