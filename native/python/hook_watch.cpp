// The training hook monitor: a background thread of the job that tails the ranks' report
// file, publishes rank 0's phase and step, and hands the reports to the peer analysis.
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "../core/hooks/detection_finding.hpp"
#include "../core/hooks/file_tail.hpp"
#include "../core/hooks/fresh_ranks.hpp"
#include "../core/hooks/hook_file.hpp"
#include "../core/hooks/peer_analysis.hpp"
#include "../core/hooks/progress.hpp"
#include "../core/hooks/report_builder.hpp"
#include "../core/hooks/report_policy.hpp"
#include "../core/hooks/report_reader.hpp"
#include "../core/hooks/step_peers.hpp"
#include "../core/job/watch_sources.hpp"
#include "finding_record.hpp"
#include "host.hpp"
#include "monitoring_host.hpp"
#include "settings.hpp"
#include "thread_guard.hpp"

namespace corvane::bindings {
namespace {

using namespace nb::literals;
namespace mon = corvane::monitor;

// -- the hook monitor ---------------------------------------------------------------------

// `convert(value)` (the host's int() or float()), or `fallback` when the value does not
// convert (overflow included).
nb::object coerce(nb::handle value, nb::handle fallback, PyObject* (*convert)(PyObject*)) {
  nb::object r = try_convert(value, convert);
  return r.is_valid() ? r : nb::borrow(fallback);
}

nb::object coerce_int(nb::handle value, nb::handle fallback) {
  if (PyLong_CheckExact(value.ptr())) return nb::borrow(value);
  return coerce(value, fallback, PyNumber_Long);
}

nb::object coerce_float(nb::handle value, nb::handle fallback) {
  if (PyFloat_CheckExact(value.ptr())) return nb::borrow(value);
  return coerce(value, fallback, PyNumber_Float);
}

nb::object coerce_hook_int(nb::handle value, nb::handle fallback) {
  if (!fallback.is_none() && !PyLong_Check(fallback.ptr())) {
    raise_type("default", "an int or None", fallback);
  }
  return coerce_int(value, fallback);
}

nb::object coerce_hook_float(nb::handle value, nb::handle fallback) {
  nb::object f = nb::none();
  if (!fallback.is_none()) {
    if (!PyLong_Check(fallback.ptr()) && !PyFloat_Check(fallback.ptr())) {
      raise_type("default", "a number or None", fallback);
    }
    f = nb::steal(PyNumber_Float(fallback.ptr()));
    if (!f.is_valid()) throw nb::python_error();
  }
  return coerce_float(value, f);
}

std::optional<double> as_optional_double(nb::handle v) {
  nb::object f = coerce_float(v, nb::none());
  if (f.is_none()) return std::nullopt;
  return PyFloat_AsDouble(f.ptr());
}

nb::object host_median(nb::handle values) {
  if (!PyList_Check(values.ptr())) raise_type("values", "a list", values);
  nb::list ordered = nb::borrow<nb::list>(import("builtins").attr("sorted")(values));
  Py_ssize_t n = nb::len(ordered), middle = n / 2;
  if (n == 0) throw nb::index_error("_median() of an empty list");
  if (n % 2 == 1) return ordered[middle];
  nb::object sum = nb::steal(PyNumber_Add(ordered[middle - 1].ptr(), ordered[middle].ptr()));
  if (!sum.is_valid()) throw nb::python_error();
  nb::object out = nb::steal(PyNumber_TrueDivide(sum.ptr(), nb::float_(2.0).ptr()));
  if (!out.is_valid()) throw nb::python_error();
  return out;
}

// A host int or float as a double; raises what float() of it raises (OverflowError for an
// int beyond a double's range).
double real_of(nb::handle v, const char* what) {
  if (!PyLong_Check(v.ptr()) && !PyFloat_Check(v.ptr())) raise_type(what, "a number", v);
  double d = PyFloat_AsDouble(v.ptr());
  if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
  return d;
}

// The analysis's population spread of `values` around `mean`.
nb::object host_stdev(nb::handle values, nb::handle mean) {
  if (!PyList_Check(values.ptr())) raise_type("values", "a list", values);
  if (PyList_Size(values.ptr()) < 2) return nb::float_(0.0);
  double centre = real_of(mean, "mean");
  std::vector<double> numbers;
  for (nb::handle v : nb::borrow<nb::list>(values)) {
    double x = real_of(v, "values[]");
    // The host's float ** 2 raises where a finite difference squares beyond the range.
    if (std::isfinite(x - centre) && !std::isfinite((x - centre) * (x - centre))) {
      PyErr_SetString(PyExc_OverflowError, "(34, 'Numerical result out of range')");
      throw nb::python_error();
    }
    numbers.push_back(x);
  }
  return nb::float_(mon::PeerAnalyzer::stdev(numbers, centre));
}

// -- reports read natively ----------------------------------------------------------------

// The host value of a simple JSON scalar (for str() of a published phase).
nb::object json_host_value(const mon::JsonScalar& v) {
  switch (v.kind) {
    case mon::JsonScalar::kTrue:
      return nb::bool_(true);
    case mon::JsonScalar::kFalse:
      return nb::bool_(false);
    case mon::JsonScalar::kString:
      return str_of(v.text);
    case mon::JsonScalar::kInt: {
      std::string text(v.text);
      return nb::steal(PyLong_FromString(text.c_str(), nullptr, 10));
    }
    case mon::JsonScalar::kFloat:
      return nb::float_(mon::json_number(v));
    default:
      return nb::none();
  }
}

// Runs a call that touches no host object without holding the interpreter.
void without_interpreter(const std::function<void()>& call) {
  without_gil([&] {
    call();
    return 0;
  });
}

// The peer analysis with the thresholds of the configuration's "monitor" section.
// The median of samples holding NaN is the host's. `*released` is the thread's state while
// the analysis runs without the interpreter: it is taken back for the host's median.
mon::PeerAnalyzer peer_analyzer(nb::handle config, LogOnce& log, PyThreadState** released) {
  mon::PeerSettings s = read_configuration(config, log, mon::read_peer_settings);
  // Settings the configuration check has already bounded; clamped again for a host that
  // calls the thread's body with a configuration of its own.
  double warmup = std::isfinite(s.warmup_steps) ? std::clamp(s.warmup_steps, 0.0, 1e15) : 0.0;
  mon::StepSettings steps{s.divergence_sigma, s.straggler_threshold, s.min_gap_s,
                          static_cast<std::int64_t>(warmup)};
  return mon::PeerAnalyzer(steps, [released](const std::vector<double>& values) {
    PyThreadState* state = *released;
    *released = nullptr;
    if (state != nullptr) restore_thread(state);
    nb::list items;
    for (double v : values) items.append(v);
    double median = nb::cast<double>(host_median(items));
    if (state != nullptr) *released = PyEval_SaveThread();
    return median;
  });
}

struct HookWatch {
  nb::handle findings, lock, training_state;
  LogOnce log;
  PyThreadState* released = nullptr;  // while the analysis runs without the interpreter
  mon::PeerAnalyzer analyzer;
  nb::object json_loads = import("json").attr("loads");
  nb::object clock;                // the module's time.time, taken at each pass
  bool host_decoder_only = false;  // for tests: every line through json.loads
  // The job (its stop event) whose agents forward the hook reports of their nodes; those
  // nodes' reports in the file read here are left to their agents.
  const void* job_key = nullptr;
  std::set<std::string> forwarded_nodes;
  bool reading_file = false;

  mon::FileTail tail;
  mon::FreshRanks fresh;       // for the count of ranks that reported lately
  mon::ProgressBook progress;  // where each rank got to
  mon::LineReaders readers;    // how a line is read; built once, the readers refer to this watch

  HookWatch(nb::handle f, nb::handle l, nb::handle state, nb::handle config)
      : findings(f),
        lock(l),
        training_state(state),
        analyzer(peer_analyzer(config, log, &released)) {
    readers.blocking = without_interpreter;
    readers.fast = [this](const mon::FastHookReport& f) { return handle_fast(f); };
    readers.host = [this](std::string_view line) {
      nb::object payload = decode(line);
      if (payload.is_none()) return false;
      handle_report(nb::borrow<nb::dict>(payload));
      return true;
    };
    readers.warn = [this](const std::string& message) { log.warn(message); };
  }
  HookWatch(const HookWatch&) = delete;
  HookWatch& operator=(const HookWatch&) = delete;

  // Decodes one report; None when the line is not a JSON object.
  nb::object decode(std::string_view raw) {
    nb::object text =
        nb::steal(PyUnicode_DecodeUTF8(raw.data(), static_cast<Py_ssize_t>(raw.size()), "replace"));
    if (!text.is_valid()) throw nb::python_error();
    // The usual report is "{...}" with nothing around it: no need to strip that.
    if (raw.empty() || raw.front() != '{' || raw.back() != '}') text = text.attr("strip")();
    if (nb::len(text) == 0) return nb::none();
    try {
      nb::object payload = json_loads(text);
      return PyDict_Check(payload.ptr()) ? payload : nb::none();
    } catch (nb::python_error& e) {
      // Garbage, a half line, or nesting too deep for the decoder: not a report.
      if (e.matches(PyExc_Exception)) return nb::none();
      throw;
    }
  }

  void handle_report(nb::dict payload) {
    if (!clock.is_valid()) clock = host("time").attr("time");
    handle_report(payload, nb::cast<double>(clock()));
  }

  // A value of the report, None when absent.
  static nb::handle field(nb::handle payload, const char* key) {
    PyObject* v = PyDict_GetItemString(payload.ptr(), key);  // borrowed
    return v != nullptr ? nb::handle(v) : nb::handle(Py_None);
  }

  // A report read from the file that the agent of its node forwards too.
  bool forwarded_elsewhere(std::string_view node) const {
    return reading_file && !forwarded_nodes.empty() &&
           forwarded_nodes.find(std::string(node)) != forwarded_nodes.end();
  }

  void handle_report(nb::dict payload, double now) {
    nb::handle from = field(payload, "node");
    if (PyUnicode_Check(from.ptr()) && forwarded_elsewhere(exact_utf8(from))) return;
    nb::object rank = coerce_int(field(payload, "rank"), nb::int_(0));
    nb::object ts = coerce_float(field(payload, "timestamp"), nb::float_(now));

    int overflow = 0;
    long long rank_value = PyLong_AsLongLongAndOverflow(rank.ptr(), &overflow);
    if (overflow != 0) return;  // a rank beyond 64 bits is no rank of this job
    fresh.saw(rank_value, now);

    if (!training_state.is_none() && rank_value == 0) {
      nb::handle phase = field(payload, "phase");
      if (!phase.is_none()) training_state["phase"] = nb::str(phase);
      nb::handle step = field(payload, "step");
      if (!step.is_none()) {
        nb::object s = coerce_int(step, nb::none());
        if (!s.is_none()) training_state["step"] = s;
      }
    }

    mon::ReportBuilder report(rank_value, PyFloat_AsDouble(ts.ptr()),
                              as_optional_double(field(payload, "gradient_norm")),
                              as_optional_double(field(payload, "step_time")));
    nb::handle phases = field(payload, "phase_times");
    if (PyDict_Check(phases.ptr())) {
      report.begin_phases();
      for (auto [key, value] : nb::borrow<nb::dict>(phases)) {
        nb::str name(key);
        // float(None) fails like any other unconvertible value: one conversion serves both.
        report.add_phase(exact_utf8(name), static_cast<std::size_t>(nb::len(name)),
                         as_optional_double(value));
      }
    }

    mon::HookReport r = report.take();
    r.step = whole_number(field(payload, "step"));
    r.phase_index = whole_number(field(payload, "phase_index"));
    nb::handle phase_name = field(payload, "phase");
    if (!phase_name.is_none()) r.phase = exact_utf8(nb::str(phase_name));
    nb::handle node = field(payload, "node");
    if (PyUnicode_Check(node.ptr())) r.node = exact_utf8(node);
    progress.saw(r, now);
    for (auto& d : analyzer.add(std::move(r), now)) emit(d);
  }

  // int(value) where it fits 64 bits, else nothing.
  static std::optional<std::int64_t> whole_number(nb::handle value) {
    if (value.is_none()) return std::nullopt;
    return small_int(coerce_int(value, nb::none()));
  }

  // A finding about a rank that runs on another node than the monitor's is filed under
  // that node.
  void emit(const mon::Detection& d) {
    nb::object finding = finding_of(mon::describe(d));
    std::string node = progress.node_of(d.rank);
    if (!node.empty()) {
      if (!own_node) own_node = exact_utf8(nb::str(host("host_snapshot")()["hostname"]));
      if (node != *own_node) finding.attr("node_id") = from_exact_utf8(node);
    }
    append_finding(findings, lock, finding);
  }
  std::optional<std::string> own_node;  // the monitor's node, read once

  // One line of the file; true when it was a report.
  bool handle_line(std::string_view raw) {
    readers.host_only = host_decoder_only;
    return mon::read_hook_line(raw, readers);
  }

  // A line that cannot be handled is logged and skipped; reading goes on.
  bool take(std::string_view raw) {
    bool report = false;
    guarded_step(log, "hook line skipped", [&] { report = handle_line(raw); });
    return report;
  }

  // A report read natively; false when it needs the host decoder after all.
  bool handle_fast(const mon::FastHookReport& f) {
    if (f.node.kind == mon::JsonScalar::kString && forwarded_elsewhere(f.node.text)) return true;
    mon::FastPlan plan = mon::plan_fast_report(f, !training_state.is_none());
    if (plan.action != mon::FastPlan::kTake) return plan.action == mon::FastPlan::kDrop;
    if (!clock.is_valid()) clock = host("time").attr("time");
    double now = nb::cast<double>(clock());
    fresh.saw(plan.rank, now);
    if (plan.publish_phase) training_state["phase"] = nb::str(json_host_value(f.phase));
    if (plan.step == mon::FastPlan::kStepValue) training_state["step"] = plan.step_value;
    if (plan.step == mon::FastPlan::kStepLiteral) training_state["step"] = json_host_value(f.step);
    if (plan.step == mon::FastPlan::kStepFloat) {
      training_state["step"] = nb::steal(PyLong_FromDouble(mon::json_number(f.step)));
    }
    // Building the report and analysing it touch no host object: a report with very many
    // phases is taken through them without holding the interpreter.
    auto analyse = [&] {
      mon::HookReport r = mon::fast_report(f, plan.rank, now);
      progress.saw(r, now);
      return analyzer.add(std::move(r), now);
    };
    std::vector<mon::Detection> found;
    if (plan.without_interpreter) {
      released = PyEval_SaveThread();
      try {
        found = analyse();
      } catch (abi::__forced_unwind&) {
        throw;
      } catch (...) {
        if (released != nullptr) restore_thread(std::exchange(released, nullptr));
        throw;
      }
      restore_thread(std::exchange(released, nullptr));
    } else {
      found = analyse();
    }
    for (auto& d : found) emit(d);
    return true;
  }

  // One pass over what was appended since the last one.
  void pass(const std::string& path) {
    clock = host("time").attr("time");
    // A file on a slow or stuck filesystem is waited for without the interpreter.
    if (job_key != nullptr) forwarded_nodes = mon::forwarded_hook_nodes(job_key);
    reading_file = true;
    std::string warning;
    try {
      warning = mon::read_hook_file(tail, path, without_interpreter,
                                    [&](std::string_view line) { return take(line); });
    } catch (...) {
      reading_file = false;
      throw;
    }
    reading_file = false;
    if (!warning.empty()) log.warn(warning);
    if (job_key == nullptr) return;
    for (const std::string& line : mon::take_forwarded_hook_lines(job_key)) take(line);
  }
};

nb::object hook_monitor_loop(nb::handle hook_path, nb::handle config, nb::handle findings,
                             nb::handle lock, nb::handle stop_event, nb::handle training_state) {
  if (!training_state.is_none() && !PyDict_Check(training_state.ptr())) {
    raise_type("training_state", "a dict or None", training_state);
  }
  return watcher_body("hooks", findings, lock, stop_event, [&] {
    HookWatch watch(findings, lock, training_state, config);
    watch.job_key = stop_event.ptr();
    nb::bytes raw_path(import("os").attr("fsencode")(hook_path));
    std::string path(raw_path.c_str(), raw_path.size());
    bool stopping = false;
    while (!stopping) {
      // One last pass once stopped: reports written as the job ended are still read.
      stopping = event_wait(stop_event, 1.0);
      guarded_step(watch.log, "hook file pass failed", [&] { watch.pass(path); });
      guarded_step(watch.log, "rank progress not published", [&] {
        double now = nb::cast<double>(host("time").attr("time")());
        mon::report_hook_progress(stop_event.ptr(), watch.progress.ranks(), watch.fresh.count(now));
      });
    }
    return nb::none();
  });
}

#if defined(CORVANE_TEST_HOOKS)
// A job's watch state for a hook monitor run on its own: what it publishes (the fresh-rank
// count) is kept under its stop event while the watch lives.
std::map<const void*, std::unique_ptr<mon::JobWatch>>& test_watches() {
  static auto* all = new std::map<const void*, std::unique_ptr<mon::JobWatch>>();
  return *all;
}

// Runs reports (already decoded maps) through the hook monitor's analysis with the given
// clock readings; for tests and benchmarks. Returns the findings.
nb::list hook_replay(nb::handle payloads, nb::handle config, nb::handle nows,
                     nb::handle training_state) {
  nb::list findings;
  nb::object lock = import("threading").attr("Lock")();
  HookWatch watch(findings, lock, training_state, config);
  nb::object now_iter = nb::iter(nows);
  for (nb::handle payload : payloads) {
    double now = nb::cast<double>(now_iter.attr("__next__")());
    if (PyDict_Check(payload.ptr())) watch.handle_report(nb::borrow<nb::dict>(payload), now);
  }
  return findings;
}

// Runs hook-file lines through the monitor's line handling with a fixed clock; for tests
// that compare the native reading with the host decoder. Returns the findings.
nb::list hook_replay_lines(nb::handle lines, nb::handle config, double now,
                           nb::handle training_state, bool host_decoder_only) {
  nb::list findings;
  nb::object lock = import("threading").attr("Lock")();
  HookWatch watch(findings, lock, training_state, config);
  watch.host_decoder_only = host_decoder_only;
  watch.clock = nb::cpp_function([now]() { return now; });
  for (nb::handle line : lines) {
    std::string storage;
    watch.handle_line(utf8_of(line, storage));
  }
  return findings;
}
#endif

}  // namespace

void bind_hook_watch(nb::module_& m) {
  using Args = const std::vector<nb::handle>&;
  def_plain(
      m, "_hook_monitor_loop",
      {{"hook_path", {}},
       {"config", {}},
       {"findings", {}},
       {"findings_lock", {}},
       {"stop_event", {}},
       {"training_state", nb::none()}},
      [](Args a) {
        return while_active(a[4],
                            [&] { return hook_monitor_loop(a[0], a[1], a[2], a[3], a[4], a[5]); });
      },
      "Hook-file thread: tails the ranks' reports, publishes rank 0's phase and step, "
      "and reports diverging and straggling ranks.");
  nb::list phases;
  for (const char* p :
       {"forward-compute", "backward-compute", "forward-send", "backward-recv", "cross-mesh-send",
        "cross-mesh-recv", "unshard-all-gather", "grad-reduce-scatter", "grad-all-reduce"}) {
    phases.append(p);
  }
  m.attr("HOOK_PHASES") = nb::tuple(phases);
  m.attr("MAX_HOOK_PHASES_PER_PAYLOAD") = mon::kMaxPhasesPerPayload;
  m.attr("MAX_HOOK_PHASE_NAME_CHARS") = mon::kMaxPhaseNameChars;
  m.def("_coerce_hook_int", &coerce_hook_int, "value"_a.none(), "default"_a.none() = nb::none(),
        "int(value), or `default` where int() raises TypeError or ValueError.");
  m.def("_coerce_hook_float", &coerce_hook_float, "value"_a.none(), "default"_a.none() = nb::none(),
        "float(value), or `default` where float() raises TypeError or ValueError.");
  m.def("_median", &host_median, "values"_a.none(), "The median of a non-empty list.");
  m.def("_stdev", &host_stdev, "values"_a.none(), "mean"_a.none(),
        "The population standard deviation of a list around `mean`.");

#if defined(CORVANE_TEST_HOOKS)
  nb::module_ hooks = test_hooks(m);
  hooks.def("hook_replay_lines", &hook_replay_lines, "lines"_a, "config"_a, "now"_a,
            "training_state"_a.none() = nb::none(), "host_decoder_only"_a = false);
  hooks.def("watch_job", [](nb::handle key) {
    test_watches()[key.ptr()] = std::make_unique<mon::JobWatch>(key.ptr());
  });
  hooks.def("unwatch_job", [](nb::handle key) { test_watches().erase(key.ptr()); });
  hooks.def("hook_ranks_fresh", [](nb::handle key) {
    auto it = test_watches().find(key.ptr());
    return it == test_watches().end() ? std::size_t{0} : it->second->snapshot().hook_ranks_fresh;
  });
  hooks.def("hook_replay", &hook_replay, "payloads"_a, "config"_a, "nows"_a,
            "training_state"_a.none() = nb::none());
#endif
}

}  // namespace corvane::bindings
