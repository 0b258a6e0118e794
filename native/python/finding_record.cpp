#include "finding_record.hpp"

#include "host.hpp"

namespace corvane::bindings {
namespace {

nb::object detail_object(const monitor::DetailValue& v, const std::vector<nb::object>& kept,
                         nb::handle snapshot) {
  using V = monitor::DetailValue;
  switch (v.kind) {
    case V::kInt:
      return nb::int_(v.i);
    case V::kFloat:
      return nb::float_(v.f);
    case V::kBool:
      return nb::bool_(v.i != 0);
    case V::kText:
      return from_exact_utf8(v.text);
    case V::kCount:
      return v.count.is_int ? nb::steal(PyLong_FromDouble(v.count.v)) : nb::float_(v.count.v);
    case V::kDigits: {
      // int(digits) as the host would make it; past the host's own limit on digits the
      // text itself is kept, so a freak line still gives its finding instead of an error.
      PyObject* n = PyLong_FromString(v.text.c_str(), nullptr, 10);
      if (n != nullptr) return nb::steal(n);
      PyErr_Clear();
      return from_exact_utf8(v.text);
    }
    case V::kIntList: {
      nb::list out;
      for (std::int64_t i : v.list) out.append(i);
      return out;
    }
    case V::kSnapshotField:
      return snapshot.attr("get")(v.text.c_str());
    case V::kKept:
      return kept.at(static_cast<std::size_t>(v.i));
    case V::kNone:
      break;
  }
  return nb::none();
}

}  // namespace

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

  static const std::array<FieldSpec, 13> launch_fields = {
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
       {"output_lines_dropped", FieldSpec::kZero},
       // How often each delivered finding occurred, in the order of `findings`.
       {"finding_counts", FieldSpec::kNone},
       // "hang" or "recovery" when the monitor ended the job itself.
       {"stopped_for", FieldSpec::kNone}}};
  bind_record<LaunchResult>(m, "LaunchResult", launch_fields, false,
                            "The result of one monitored job.");
}

nb::object make_finding(nb::handle event_type, nb::handle severity, nb::handle summary,
                        nb::handle details) {
  return new_record(MonitorFinding{
      {nb::borrow(event_type), nb::borrow(severity), nb::borrow(summary), nb::borrow(details)}});
}

nb::object finding_of(const monitor::Finding& finding, const std::vector<nb::object>& kept,
                      nb::handle snapshot) {
  nb::dict details;
  for (const auto& [key, value] : finding.details) {
    details[str_of(key)] = detail_object(value, kept, snapshot);
  }
  return make_finding(str_of(finding.event_type), str_of(finding.severity),
                      from_exact_utf8(finding.summary), details);
}

}  // namespace corvane::bindings
