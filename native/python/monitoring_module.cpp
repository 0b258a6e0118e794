// corvane.monitor.monitoring: findings, the job-output parser and the host services the
// monitor calls (bound as module attributes, read at call time so they can be replaced).
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <chrono>
#include <string>
#include <vector>

#include "../core/job/srun.hpp"
#include "../core/kernel_log/xid_codes.hpp"
#include "../core/output/output_findings.hpp"
#include "../core/output/output_parser.hpp"
#include "../core/output/patterns.hpp"
#include "finding_record.hpp"
#include "host.hpp"
#include "monitoring_host.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using corvane::bindings::append_finding;
using corvane::bindings::make_finding;
using corvane::bindings::maybe_wrap_srun;
using corvane::bindings::raise_type;
using corvane::bindings::utf8_of;

using corvane::bindings::str_of;

namespace {
nb::handle g_module;
}  // namespace

namespace corvane::bindings {

nb::handle monitoring_module() { return g_module; }

void append_finding(nb::handle findings, nb::handle lock, nb::handle finding) {
  with_lock(lock, [&] {
    if (PyList_CheckExact(findings.ptr())) {
      if (PyList_Append(findings.ptr(), finding.ptr()) != 0) throw nb::python_error();
    } else {
      findings.attr("append")(finding);
    }
  });
  wake_runners();
}

nb::object xid_finding(const char* summary, nb::handle xid, nb::handle index, nb::handle pci,
                       const char* source, nb::dict details) {
  details["xid"] = xid;
  details["gpu_index"] = index;
  details["pci_bus_id"] = pci;
  details["source"] = source;
  bool critical = PySequence_Contains(host("CRITICAL_XIDS").ptr(), xid.ptr()) == 1;
  nb::str text = nb::str(summary).format(xid, host("_xid_description")(xid));
  return make_finding(nb::str("xid_critical"), nb::str(critical ? "CRITICAL" : "WARN"), text,
                      details);
}

}  // namespace corvane::bindings

namespace {

nb::str xid_description(nb::handle xid) {
  nb::object value;
  if (PyLong_Check(xid.ptr())) {
    value = nb::borrow(xid);
  } else {
    PyObject* converted = PyNumber_Long(xid.ptr());
    if (converted == nullptr) {
      PyErr_Clear();
      raise_type("xid", "an integer", xid);
    }
    value = nb::steal(converted);
  }
  int overflow = 0;
  long long code = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (overflow != 0) return nb::str("GPU fault");
  return str_of(corvane::monitor::xid_description(code));
}

}  // namespace

namespace corvane::bindings {

nb::list findings_for_scan(nb::handle line, const corvane::monitor::OutputLineScan& scan) {
  nb::list result;
  for (const corvane::monitor::Finding& f : corvane::monitor::output_findings(scan)) {
    result.append(finding_of(f, {nb::borrow(line)}));
  }
  return result;
}

void append_samples(const corvane::monitor::OutputLineScan& scan, nb::handle step_times,
                    nb::handle losses) {
  if (scan.has_loss) {
    nb::object v = nb::steal(PyFloat_FromDouble(scan.loss));
    if (PyList_Append(losses.ptr(), v.ptr()) != 0) throw nb::python_error();
  }
  if (scan.has_step_time) {
    nb::object v = nb::steal(PyFloat_FromDouble(scan.step_time));
    if (PyList_Append(step_times.ptr(), v.ptr()) != 0) throw nb::python_error();
  }
}

}  // namespace corvane::bindings

namespace {

nb::list parse_output_line(nb::handle line, nb::handle step_times, nb::handle losses) {
  if (!PyUnicode_Check(line.ptr())) raise_type("line", "a str", line);
  if (!PyList_Check(step_times.ptr())) raise_type("step_times", "a list", step_times);
  if (!PyList_Check(losses.ptr())) raise_type("losses", "a list", losses);
  std::string storage;
  std::string_view text = utf8_of(line, storage);
  corvane::monitor::OutputLineScan scan = corvane::monitor::scan_output_line(text);
  nb::list result = corvane::bindings::findings_for_scan(line, scan);
  corvane::bindings::append_samples(scan, step_times, losses);
  return result;
}

#if defined(CORVANE_TEST_HOOKS)
// The native search behind one pattern constant: None, or the tuple of its groups.
nb::object native_search(const std::string& name, nb::handle line) {
  if (!PyUnicode_Check(line.ptr())) raise_type("line", "a str", line);
  for (auto p : corvane::monitor::kOutputPatterns) {
    if (corvane::monitor::pattern_name(p) != name) continue;
    std::string storage;
    std::string_view text = utf8_of(line, storage);
    std::vector<std::optional<std::string_view>> groups;
    if (!corvane::monitor::search_output_pattern(p, text, &groups)) return nb::none();
    nb::list out;
    for (const auto& g : groups) {
      if (g) {
        out.append(str_of(*g));
      } else {
        out.append(nb::none());
      }
    }
    return nb::tuple(out);
  }
  throw nb::value_error(("unknown pattern " + name).c_str());
}

// Runs the parser core over `lines` `rounds` times without the GIL; for benchmarks.
nb::tuple core_scan_benchmark(const std::vector<std::string>& lines, int rounds) {
  std::size_t hits = 0;
  double seconds = 0.0;
  {
    nb::gil_scoped_release release;
    auto start = std::chrono::steady_clock::now();
    for (int r = 0; r < rounds; ++r) {
      for (const auto& line : lines) {
        auto scan = corvane::monitor::scan_output_line(line);
        hits += scan.any_finding() + scan.has_loss + scan.has_step_time;
      }
    }
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  return nb::make_tuple(seconds, hits);
}
#endif

bool command_is_slurm_wrapped(nb::handle command) {
  if (!PyList_Check(command.ptr())) raise_type("command", "a list", command);
  if (PyList_Size(command.ptr()) == 0) return false;
  nb::handle first = PyList_GetItem(command.ptr(), 0);
  if (!PyUnicode_Check(first.ptr())) raise_type("command[0]", "a str", first);
  std::string storage;
  return corvane::monitor::is_slurm_launcher(utf8_of(first, storage));
}

}  // namespace

namespace corvane::bindings {

// The job command, prefixed with an srun invocation on Slurm clusters. Configuration values
// go in as configured (only the GPU count is turned into text); a "cluster" or "slurm"
// entry that is not a map fails here, before any process starts.
nb::object maybe_wrap_srun(nb::handle command, nb::handle config) {
  if (!PyList_Check(command.ptr())) raise_type("command", "a list", command);
  if (!PyDict_Check(config.ptr()) && !nb::hasattr(config, "get")) {
    raise_type("config", "a map", config);
  }
  nb::object cluster = config.attr("get")("cluster", nb::dict());
  nb::object scheduler = cluster.attr("get")("scheduler", "none");
  if (!scheduler.equal(nb::str("slurm"))) return nb::borrow(command);
  if (command_is_slurm_wrapped(command)) return nb::borrow(command);
  // Looked up on the runner's PATH as it is now, not as it was at import.
  nb::object srun = nb::module_::import_("shutil").attr("which")("srun");
  if (srun.is_none()) return nb::borrow(command);

  nb::object slurm = cluster.attr("get")("slurm", nb::dict());
  nb::object partition = slurm.attr("get")("partition", "gpu");
  nb::object gpus = slurm.attr("get")("gpus_per_node", 0);
  nb::object account = slurm.attr("get")("account", "");
  nb::object qos = slurm.attr("get")("qos", "");
  nb::object constraint = slurm.attr("get")("constraint", "");
  nb::list extra(slurm.attr("get")("extra_args", nb::list()));

  corvane::monitor::SrunSettings set;
  set.gpus = PyObject_IsTrue(gpus.ptr()) == 1;
  set.account = PyObject_IsTrue(account.ptr()) == 1;
  set.qos = PyObject_IsTrue(qos.ptr()) == 1;
  set.constraint = PyObject_IsTrue(constraint.ptr()) == 1;
  using A = corvane::monitor::SrunArg;
  // The configured value behind each kind of argument, by its place in A::Kind.
  const nb::object values[] = {
      nb::none(), partition, set.gpus ? nb::object(nb::str(gpus)) : nb::none(),
      account,    qos,       constraint};
  nb::list wrapped;
  for (const A& arg : corvane::monitor::srun_prefix(set)) {
    if (arg.kind == A::kWord) {
      wrapped.append(str_of(arg.word));
    } else if (arg.kind == A::kExtraArgs) {
      for (nb::handle extra_arg : extra) wrapped.append(extra_arg);
    } else {
      wrapped.append(values[arg.kind]);
    }
  }
  for (nb::handle arg : nb::borrow<nb::list>(command)) wrapped.append(arg);
  return wrapped;
}

// The agent step's command (see core/job/srun.hpp); `extra_args` go in as configured.
nb::list agent_command(nb::handle targets, nb::handle srun, nb::handle extra_args,
                       nb::handle python) {
  if (!PyList_Check(targets.ptr())) raise_type("targets", "a list", targets);
  std::vector<std::string> nodes;
  for (nb::handle target : nb::borrow<nb::list>(targets)) {
    if (!PyUnicode_Check(target.ptr())) raise_type("targets[]", "a str", target);
    nodes.push_back(exact_utf8(target));
  }
  if (!PyUnicode_Check(srun.ptr())) raise_type("srun", "a str", srun);
  if (!PyUnicode_Check(python.ptr())) raise_type("python", "a str", python);
  nb::list argv;
  for (const auto& arg :
       corvane::monitor::agent_step_command(nodes, exact_utf8(srun), exact_utf8(python))) {
    if (arg.kind == corvane::monitor::AgentArg::kText) {
      argv.append(from_exact_utf8(arg.text));
    } else {
      for (nb::handle extra : extra_args) argv.append(extra);
    }
  }
  return argv;
}

}  // namespace corvane::bindings

namespace {

void bind_host_services(nb::module_& m) {
  // The baselines module is part of the monitor: profiles come from it.
  nb::module_ baselines = nb::module_::import_("corvane.trust.baselines");
  m.attr("GPUProfile") = baselines.attr("GPUProfile");
  m.attr("detect_gpu_profile") = baselines.attr("detect_gpu_profile");
  nb::module_ env = nb::module_::import_("corvane.provision.environment");
  for (const char* name :
       {"parse_duration", "host_snapshot", "detect_gpu_inventory", "pretty_command", "run_shell"}) {
    m.attr(name) = env.attr(name);
  }
  nb::module_ display = nb::module_::import_("corvane.ui.display");
  m.attr("build_cost_config") = display.attr("cost_config");
  m.attr("display_monitoring_finding") = display.attr("display_monitoring_finding");
  nb::module_ recovery = nb::module_::import_("corvane.health.recovery");
  m.attr("build_recovery_plan") = recovery.attr("build_recovery_plan");
  m.attr("execute_recovery") = recovery.attr("execute_recovery");
  m.attr("recovery_wanted") = recovery.attr("recovery_wanted");
  m.attr("remediation") = nb::module_::import_("corvane.health.remediation");
  m.attr("TrustRegistry") = nb::module_::import_("corvane.trust.registry").attr("TrustRegistry");
  m.attr("validate_config") = nb::module_::import_("corvane.config").attr("validate_config");
  m.attr("start_agent_step") = nb::module_::import_("corvane.agent_step").attr("start_agent_step");
  m.attr("log") = nb::module_::import_("logging").attr("getLogger")("corvane.monitor.monitoring");
  m.attr("time") = nb::module_::import_("time");
  m.attr("threading") = nb::module_::import_("threading");
}

}  // namespace

NB_MODULE(monitoring, m) {
  corvane::bindings::configure_leak_checks();
  g_module = m;
  m.doc() = "Runs a training command under watch and turns what it sees into findings.";
  corvane::bindings::bind_monitor_records(m);

  nb::object critical = nb::module_::import_("builtins").attr("set")();
  for (auto xid : corvane::monitor::kCriticalXids) critical.attr("add")(xid);
  m.attr("CRITICAL_XIDS") = critical;

  nb::module_ re = nb::module_::import_("re");
  for (auto p : corvane::monitor::kOutputPatterns) {
    std::string name(corvane::monitor::pattern_name(p));
    m.attr(name.c_str()) =
        re.attr("compile")(str_of(corvane::monitor::pattern_text(p)), re.attr("IGNORECASE"));
  }
  // Compile the native searches now, not on the first line of a job.
  (void)corvane::monitor::scan_output_line("");

  m.def("_parse_output_line", &parse_output_line, "line"_a, "step_times"_a, "losses"_a,
        "Findings for one line of job output; loss and step-time samples are appended to the "
        "two lists.");
  m.def("_command_is_slurm_wrapped", &command_is_slurm_wrapped, "command"_a,
        "Whether the command already starts with srun, sbatch or salloc.");
  m.def("_maybe_wrap_srun", &maybe_wrap_srun, "command"_a, "config"_a,
        "The command prefixed with srun on a Slurm cluster, else the command itself.");
#if defined(CORVANE_TEST_HOOKS)
  nb::module_ hooks = corvane::bindings::test_hooks(m);
  hooks.def("native_search", &native_search, "name"_a, "line"_a);
  hooks.def("core_scan_benchmark", &core_scan_benchmark, "lines"_a, "rounds"_a);
#endif
  // The host's agent code appends findings from other nodes through this.
  m.def("_append_finding", &append_finding, "findings"_a, "lock"_a, "finding"_a,
        "Append one finding to the shared list under its lock.");
  m.def("_xid_description", &xid_description, "xid"_a);
  m.def("_agent_command", &corvane::bindings::agent_command, "targets"_a, "srun"_a, "extra_args"_a,
        "python"_a, "The agent step's srun command line.");

  bind_host_services(m);
  corvane::bindings::bind_runner(m);
  corvane::bindings::bind_kernel_log_watch(m);
  corvane::bindings::bind_hook_watch(m);
  corvane::bindings::bind_telemetry(m);
}
