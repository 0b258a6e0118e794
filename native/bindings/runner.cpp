// run_monitored_command: one job under watch, its output reader, the polling loop, the
// delivery of findings and the recovery trigger.
#include <cxxabi.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "../common/pyfloat.hpp"
#include "../monitor/line_splitter.hpp"
#include "../monitor/output_parser.hpp"
#include "finding_record.hpp"
#include "host_text.hpp"
#include "inventory_probe.hpp"
#include "monitor_shared.hpp"

namespace corvane::bindings {
namespace {

using namespace nb::literals;
using Clock = std::chrono::steady_clock;

// Interpreter exit. At exit the host ends daemon threads that still want the GIL by
// unwinding their stacks without it, and host objects on a C++ stack can't be released
// then. So an exit handler, run while threads still work normally, makes every running
// job leave its wait and unwind in order, and waits (bounded) until none is left.
std::atomic<bool> g_exiting{false};
std::atomic<int> g_active_runs{0};

[[noreturn]] void raise_exiting() {
  PyErr_SetString(PyExc_SystemExit, "interpreter exiting");  // ends a thread silently
  throw nb::python_error();
}

nb::object import(const char* name) { return nb::module_::import_(name); }

double as_double(nb::handle v) {
  double d = PyFloat_AsDouble(v.ptr());
  if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
  return d;
}

bool truthy(nb::handle v) {
  int r = PyObject_IsTrue(v.ptr());
  if (r < 0) throw nb::python_error();
  return r == 1;
}

// Runs `fn` with the findings lock held; the lock is released however `fn` ends.
template <class Fn>
void with_lock(nb::handle lock, Fn&& fn) {
  lock.attr("acquire")();
  try {
    fn();
  } catch (...) {
    lock.attr("release")();
    throw;
  }
  lock.attr("release")();
}

void print_line(const std::string& text) {
  PyObject* out = PySys_GetObject("stdout");  // borrowed; looked up at each call
  if (out == nullptr || out == Py_None) return;
  nb::handle stream(out);
  stream.attr("write")(nb::str((text + "\n").c_str()));
  stream.attr("flush")();
}

// ---------------------------------------------------------------------------------------
// The output reader. It runs on a host daemon thread whose target is a plain CPython
// function (not a nanobind one): at interpreter shutdown the host may end such a thread
// by unwinding its stack, and nothing on the way may swallow that. No host object lives
// on the reader's stack while it waits without the GIL.

struct ReaderContext {
  int fd = -1;  // the reader's own descriptor for the pipe
  std::atomic<bool> stop{false};
  nb::object output_lines, step_times, losses, last_output_at_ref, job_running_ref;
  nb::object findings, findings_lock;
  nb::object ended;  // event set once the output has ended
  bool echo_failed = false;

  // With the GIL: echo, record and parse one batch of lines.
  void deliver(const monitor::LineBatch& batch, const std::vector<monitor::OutputLineScan>& scans);
  void echo(const monitor::LineBatch& batch);
  void run();
};

// The batch goes to sys.stdout (looked up each time) in one write. A UTF-8 text stream
// with a byte buffer gets the bytes directly, after its own pending text.
void ReaderContext::echo(const monitor::LineBatch& batch) {
  PyObject* out = PySys_GetObject("stdout");  // borrowed
  if (out == nullptr || out == Py_None) return;
  nb::handle stream(out);
  const std::string& text = batch.text();
  nb::object buffer = nb::getattr(stream, "buffer", nb::none());
  nb::object encoding = nb::getattr(stream, "encoding", nb::none());
  bool utf8 =
      !buffer.is_none() && !encoding.is_none() &&
      nb::str(encoding).attr("lower")().attr("replace")("-", "").attr("replace")("_", "").equal(
          nb::str("utf8"));
  if (utf8) {
    stream.attr("flush")();
    buffer.attr("write")(nb::bytes(text.data(), text.size()));
    buffer.attr("flush")();
  } else {
    stream.attr("write")(nb::str(text.data(), text.size()));
    stream.attr("flush")();
  }
}

void ReaderContext::deliver(const monitor::LineBatch& batch,
                            const std::vector<monitor::OutputLineScan>& scans) {
  std::vector<nb::object> texts;
  texts.reserve(batch.size());
  for (std::size_t i = 0; i < batch.size(); ++i) {
    std::string_view l = batch.line(i);
    nb::object text =
        nb::steal(PyUnicode_DecodeUTF8(l.data(), static_cast<Py_ssize_t>(l.size()), "replace"));
    if (!text.is_valid() || PyList_Append(output_lines.ptr(), text.ptr()) != 0) {
      throw nb::python_error();
    }
    texts.push_back(std::move(text));
  }
  try {
    echo(batch);
  } catch (nb::python_error& e) {
    // A broken console must not stop the reader: the child would block on a full pipe.
    if (!echo_failed) {
      echo_failed = true;
      host("log").attr("warning")("echo of the job's output failed: %s", nb::str(e.value()));
    }
  }
  last_output_at_ref[0] = host("time").attr("time")();
  nb::list batch_findings;
  for (std::size_t i = 0; i < batch.size(); ++i) {
    const auto& scan = scans[i];
    if (scan.any_finding()) {
      for (nb::handle f : findings_for_scan(texts[i], scan)) batch_findings.append(f);
    }
    if (scan.has_loss || scan.has_step_time) append_samples(scan, step_times, losses);
  }
  // One turn of the lock for the batch: the same as appending them one by one, since
  // nothing else can append between them.
  if (nb::len(batch_findings) > 0) {
    findings_lock.attr("acquire")();
    try {
      if (PyList_CheckExact(findings.ptr())) {
        PyObject* tail = PyList_GetSlice(batch_findings.ptr(), 0, PY_SSIZE_T_MAX);
        nb::object keep = nb::steal(tail);
        Py_ssize_t n = PyList_Size(findings.ptr());
        if (PyList_SetSlice(findings.ptr(), n, n, keep.ptr()) != 0) throw nb::python_error();
      } else {
        for (nb::handle f : batch_findings) findings.attr("append")(f);
      }
    } catch (...) {
      findings_lock.attr("release")();
      throw;
    }
    findings_lock.attr("release")();
  }
}

void ReaderContext::run() {
  // Entered with the GIL. After a stop request the reader still drains what the pipe
  // holds (the tail of the job's output is not lost) but gives up once the pipe stays
  // quiet, or after a bound, when a process left behind keeps it open.
  constexpr auto kQuietAfterStop = std::chrono::milliseconds(100);
  constexpr auto kDrainBound = std::chrono::milliseconds(1500);
  monitor::LineSplitter splitter;
  monitor::LineBatch lines;
  std::vector<monitor::OutputLineScan> scans;
  std::vector<char> buffer(1 << 16);
  Clock::time_point stop_seen{};
  bool stopping = false, eof = false;

  PyThreadState* ts = PyEval_SaveThread();
  while (!eof) {
    if (!stopping && stop.load()) {
      stopping = true;
      stop_seen = Clock::now();
    }
    if (stopping && Clock::now() - stop_seen > kDrainBound) break;
    pollfd pfd{fd, POLLIN, 0};
    int ready = ::poll(&pfd, 1, stopping ? static_cast<int>(kQuietAfterStop.count()) : 100);
    if (ready < 0 && errno != EINTR) break;
    if (ready == 0) {
      if (stopping) break;  // quiet since the stop: whatever holds the pipe isn't the job
      continue;
    }
    if (ready < 0) continue;
    ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      eof = true;
    } else if (n == 0) {
      eof = true;
    } else {
      splitter.feed(std::string_view(buffer.data(), static_cast<std::size_t>(n)), lines);
    }
    if (eof) splitter.finish(lines);
    if (lines.empty()) continue;
    scans.clear();
    for (std::size_t i = 0; i < lines.size(); ++i) {
      scans.push_back(monitor::scan_output_line(lines.line(i)));
    }
    PyEval_RestoreThread(ts);
    try {
      deliver(lines, scans);
    } catch (nb::python_error& e) {
      e.discard_as_unraisable("corvane output reader");
    }
    ts = PyEval_SaveThread();
    lines.clear();
  }
  ::close(fd);
  fd = -1;
  PyEval_RestoreThread(ts);
}

PyObject* reader_entry(PyObject* capsule, PyObject*) {
  auto* ctx = static_cast<std::shared_ptr<ReaderContext>*>(
      PyCapsule_GetPointer(capsule, "corvane.output_reader"));
  if (ctx == nullptr) return nullptr;
  ReaderContext& reader = **ctx;
  try {
    reader.run();
  } catch (abi::__forced_unwind&) {
    throw;  // the host is ending this thread
  } catch (nb::python_error& e) {
    e.discard_as_unraisable("corvane output reader");
  } catch (...) {
  }
  try {
    reader.job_running_ref[0] = nb::bool_(false);
    reader.ended.attr("set")();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (nb::python_error& e) {
    e.discard_as_unraisable("corvane output reader");
  } catch (...) {
  }
  Py_RETURN_NONE;
}

PyMethodDef reader_def = {"_output_reader", reader_entry, METH_NOARGS,
                          "Echoes and parses the job's output until it ends."};

nb::object reader_callable(const std::shared_ptr<ReaderContext>& ctx) {
  auto* holder = new std::shared_ptr<ReaderContext>(ctx);
  PyObject* capsule = PyCapsule_New(holder, "corvane.output_reader", [](PyObject* cap) {
    delete static_cast<std::shared_ptr<ReaderContext>*>(
        PyCapsule_GetPointer(cap, "corvane.output_reader"));
  });
  if (capsule == nullptr) {
    delete holder;
    throw nb::python_error();
  }
  nb::object cap = nb::steal(capsule);
  PyObject* fn = PyCFunction_NewEx(&reader_def, cap.ptr(), nullptr);
  if (fn == nullptr) throw nb::python_error();
  return nb::steal(fn);
}

// ---------------------------------------------------------------------------------------
// Delivery and the recovery trigger (on the runner's thread only).

struct JobContext {
  nb::object config, registry, wandb_bridge, training_state, findings, findings_lock;
  nb::object node_id, job_id, command_text, runtime_costs, checkpoint_dir;
  nb::object reported_signatures = nb::steal(PySet_New(nullptr));
  nb::list delivered_findings;
  bool recovery_triggered = false;
  nb::object recovery_result = nb::none();

  nb::object section(const char* name) const { return config.attr("get")(name, nb::dict()); }

  void flush_new_findings();
  void maybe_trigger_recovery();
};

void JobContext::flush_new_findings() {
  nb::list copy;
  with_lock(findings_lock, [&] { copy = nb::list(findings); });
  for (nb::handle finding : copy) {
    nb::object event_type = finding.attr("event_type"), severity = finding.attr("severity"),
               summary = finding.attr("summary"), details = finding.attr("details");
    nb::tuple signature = nb::make_tuple(event_type, severity, summary);
    int seen = PySet_Contains(reported_signatures.ptr(), signature.ptr());
    if (seen < 0) throw nb::python_error();
    if (seen) continue;
    if (PySet_Add(reported_signatures.ptr(), signature.ptr()) != 0) throw nb::python_error();
    delivered_findings.append(finding);

    host("display_monitoring_finding")(finding, "cost_config"_a = runtime_costs,
                                       "timestamp"_a = host("time").attr("strftime")("%H:%M:%S"));
    if (!wandb_bridge.is_none() && truthy(nb::getattr(wandb_bridge, "active", nb::bool_(false)))) {
      nb::object sent = truthy(details) ? details : nb::object(nb::dict());
      wandb_bridge.attr("log_finding")(event_type, severity, summary, sent,
                                       "step"_a = training_state.attr("get")("step"),
                                       "phase"_a = training_state.attr("get")("phase"));
    }
    registry.attr("record_event")(
        "node_id"_a = node_id, "job_id"_a = job_id, "event_type"_a = event_type,
        "severity"_a = severity, "summary"_a = summary, "details"_a = details,
        "gpu_type"_a = config["cluster"].attr("get")("gpu_type", "UNKNOWN"));
  }
}

void JobContext::maybe_trigger_recovery() {
  if (recovery_triggered) return;
  nb::object recovery = section("recovery");
  if (!truthy(recovery.attr("get")("enabled", true))) return;
  nb::object critical = nb::none();
  nb::object triggers = nb::steal(PySet_New(nullptr));
  with_lock(findings_lock, [&] {
    for (nb::handle f : nb::borrow<nb::list>(findings)) {
      nb::object severity = f.attr("severity");
      bool is_critical = severity.equal(nb::str("CRITICAL"));
      if (is_critical && critical.is_none()) critical = nb::borrow(f);
      if (is_critical || severity.equal(nb::str("WARN"))) {
        PySet_Add(triggers.ptr(), f.attr("event_type").ptr());
      }
    }
  });
  if (critical.is_none()) return;
  recovery_triggered = true;  // before planning: a plan that fails is not tried again
  nb::object sorted = import("builtins").attr("sorted")(triggers);
  nb::object plan = host("build_recovery_plan")(
      config, "job_id"_a = job_id, "node_id"_a = node_id, "command"_a = command_text,
      "checkpoint_dir"_a = checkpoint_dir, "failed_triggers"_a = sorted, "registry"_a = registry);
  // Without a configured mode the plan is recorded only, rather than failing the job's
  // monitoring after the plan already exists.
  nb::object mode = recovery.attr("get")("mode");
  if (mode.equal(nb::str("confirm")) || mode.equal(nb::str("auto"))) {
    nb::object live = host("remediation")
                          .attr("strict_bool")(recovery.attr("get")("live_execute", false),
                                               "flag"_a = "recovery.live_execute");
    recovery_result =
        host("execute_recovery")(plan, config, registry, "simulate"_a = !truthy(live));
    return;
  }
  nb::dict plan_map;
  for (const char* key :
       {"checkpoint_path", "drain_command", "restart_command", "replacement_node"}) {
    plan_map[key] = plan.attr(key);
  }
  nb::dict details;
  details["trigger"] = critical.attr("summary");
  registry.attr("record_recovery_event")(
      "job_id"_a = job_id, "node_id"_a = node_id, "mode"_a = mode, "status"_a = "planned",
      "summary"_a = nb::str("Prepared recovery plan for {}").format(node_id), "plan"_a = plan_map,
      "details"_a = details, "replacement_node"_a = plan.attr("replacement_node"));
}

// ---------------------------------------------------------------------------------------
// The runner.

bool is_map(nb::handle v) {
  if (PyDict_Check(v.ptr())) return true;
  return PyObject_IsInstance(v.ptr(), import("collections.abc").attr("Mapping").ptr()) == 1;
}

nb::object start_thread(nb::handle target, nb::tuple args) {
  nb::object thread =
      import("threading").attr("Thread")("target"_a = target, "args"_a = args, "daemon"_a = true);
  thread.attr("start")();
  return thread;
}

nb::object child_status(nb::handle child) { return child.attr("poll")(); }

// Waits `seconds` in slices of at most 100 ms so signals reach the caller (the waits
// raise KeyboardInterrupt); returns early when the child has exited. Until the output
// ends, the wait is on the reader's "ended" event, so the end of a job is seen at once.
void wait_period(double seconds, nb::handle child, nb::handle output_ended) {
  auto end = Clock::now() + std::chrono::duration<double>(seconds);
  nb::object sleep = host("time").attr("sleep");
  while (true) {
    if (g_exiting.load()) raise_exiting();
    if (!child_status(child).is_none()) return;
    double left = std::chrono::duration<double>(end - Clock::now()).count();
    if (left <= 0) return;
    if (!truthy(output_ended.attr("is_set")())) {
      output_ended.attr("wait")(left < 0.1 ? left : 0.1);
    } else {
      sleep(left < 0.01 ? left : 0.01);  // output over: the exit follows shortly
    }
  }
}

nb::object run_monitored_command(nb::handle command, nb::handle config, nb::handle registry,
                                 nb::handle checkpoint_dir, nb::handle pre_check_result,
                                 nb::handle extra_env, nb::handle wandb_bridge) {
  if (!PyList_Check(command.ptr())) raise_type("command", "a list", command);
  if (!is_map(config)) raise_type("config", "a map", config);
  if (!pre_check_result.is_none() && !PyList_Check(pre_check_result.ptr())) {
    raise_type("pre_check_result", "a list or None", pre_check_result);
  }
  if (!extra_env.is_none() && !is_map(extra_env))
    raise_type("extra_env", "a map or None", extra_env);

  // Setup.
  nb::object monitor_cfg = config["monitor"];
  nb::object poll_text = monitor_cfg["poll_interval"];
  nb::object hang_text = monitor_cfg["hang_detection_timeout"];
  nb::object parse = host("parse_duration");
  nb::object poll_interval = parse(nb::str(poll_text));
  nb::object hang_timeout = parse(nb::str(hang_text));
  nb::object hang_grace = parse(nb::str(monitor_cfg.attr("get")("hang_detection_grace", "15s")));
  double poll_s = as_double(poll_interval);
  double silence_limit = as_double(hang_timeout) + as_double(hang_grace);

  JobContext job;
  job.config = nb::borrow(config);
  job.registry = nb::borrow(registry);
  job.wandb_bridge = nb::borrow(wandb_bridge);
  job.checkpoint_dir = nb::borrow(checkpoint_dir);
  job.node_id = host("host_snapshot")()["hostname"];
  nb::object cluster = config["cluster"];
  registry.attr("ensure_node")(job.node_id,
                               "gpu_type"_a = cluster.attr("get")("gpu_type", "UNKNOWN"));
  nb::str hex = nb::str(import("uuid").attr("uuid4")().attr("hex"));
  job.job_id = nb::str("job-") + nb::str(hex[nb::slice(0, 8, 1)]);
  nb::object effective = maybe_wrap_srun(command, config);
  job.command_text = host("pretty_command")(effective);
  nb::object os = import("os");
  nb::object slurm_job_id = os.attr("environ").attr("get")("SLURM_JOB_ID");
  nb::dict metadata;
  metadata["node_id"] = job.node_id;
  metadata["pre_check"] = (!pre_check_result.is_none() && truthy(pre_check_result))
                              ? nb::borrow(pre_check_result)
                              : nb::object(nb::list());
  if (!slurm_job_id.is_none() && truthy(slurm_job_id)) metadata["slurm_job_id"] = slurm_job_id;
  registry.attr("start_job")(job.job_id, job.command_text, metadata);
  print_line("[corvane] monitoring job " + nb::cast<std::string>(nb::str(job.job_id)) + " on " +
             nb::cast<std::string>(nb::str(job.node_id)) +
             " (poll=" + nb::cast<std::string>(nb::str(poll_text)) +
             ", hang_timeout=" + nb::cast<std::string>(nb::str(hang_text)) + ")");
  job.runtime_costs = host("build_cost_config")(config);
  nb::object inventory = host("detect_gpu_inventory")();
  nb::object raw_gpu_name =
      nb::len(inventory) > 0
          ? nb::object(inventory[0].attr("name"))
          : nb::object(nb::str(job.section("cluster").attr("get")("gpu_type", "")));
  nb::object gpu_profile = host("detect_gpu_profile")(raw_gpu_name, config);

  nb::list output_lines, findings, losses, step_times;
  nb::object time_mod = host("time");
  nb::list last_output_at_ref;
  last_output_at_ref.append(time_mod.attr("time")());
  nb::list job_running_ref;
  job_running_ref.append(true);
  nb::object threading = import("threading");
  nb::object findings_lock = threading.attr("Lock")();
  nb::object stop_background = threading.attr("Event")();
  // The exit handler sets this too, so the background threads end before the host goes.
  nb::object active_events = host("_active_stop_events");
  active_events.attr("add")(stop_background);
  job.findings = findings;
  job.findings_lock = findings_lock;
  nb::object hook_path = import("pathlib").attr("Path")(checkpoint_dir) /
                         (nb::str(job.job_id) + nb::str("-hooks.jsonl"));
  hook_path.attr("parent").attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
  nb::dict training_state;
  training_state["phase"] = nb::none();
  training_state["step"] = nb::none();
  job.training_state = training_state;

  nb::object telemetry = start_thread(
      host("_hardware_telemetry_loop"),
      nb::make_tuple(config, findings, findings_lock, stop_background, last_output_at_ref,
                     gpu_profile, wandb_bridge, training_state, job_running_ref));
  nb::object dmesg = start_thread(host("_dmesg_watcher_loop"),
                                  nb::make_tuple(findings, findings_lock, stop_background));
  nb::object hooks = start_thread(
      host("_hook_monitor_loop"),
      nb::make_tuple(hook_path, config, findings, findings_lock, stop_background, training_state));

  auto reader = std::make_shared<ReaderContext>();
  try {
    nb::object env = import("builtins").attr("dict")(os.attr("environ"));
    env["CORVANE_JOB_ID"] = job.job_id;
    env["CORVANE_HOOK_FILE"] = nb::str(hook_path);
    if (!extra_env.is_none() && truthy(extra_env)) env.attr("update")(extra_env);
    nb::object subprocess = import("subprocess");
    nb::object child = subprocess.attr("Popen")(effective, "stdout"_a = subprocess.attr("PIPE"),
                                                "stderr"_a = subprocess.attr("STDOUT"),
                                                "env"_a = env, "bufsize"_a = 0);
    nb::object child_out = child.attr("stdout");
    int fd = nb::cast<int>(child_out.attr("fileno")());
    reader->fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (reader->fd < 0) throw nb::python_error();
    reader->output_lines = output_lines;
    reader->step_times = step_times;
    reader->losses = losses;
    reader->last_output_at_ref = last_output_at_ref;
    reader->job_running_ref = job_running_ref;
    reader->findings = findings;
    reader->findings_lock = findings_lock;
    reader->ended = threading.attr("Event")();
    nb::object reader_thread = start_thread(reader_callable(reader), nb::tuple());

    // A count the tool does not give within a second is taken up by a later iteration,
    // and its query ends at shutdown: a hung tool holds up neither the loop nor the end.
    constexpr double kInventoryWait = 1.0;
    InventoryProbe inventory(stop_background);
    Py_ssize_t last_gpu_count = inventory.count(kInventoryWait, child).value_or(0);
    double stall_reported_for = 0.0;
    while (child_status(child).is_none()) {
      wait_period(poll_s > 1.0 ? poll_s : 1.0, child, reader->ended);
      if (!child_status(child).is_none()) break;
      nb::object snapshot = host("host_snapshot")();
      double last_output_at = as_double(last_output_at_ref[0]);
      double silence = as_double(time_mod.attr("time")()) - last_output_at;
      bool structured = nb::len(step_times) > 0 || nb::len(losses) > 0 ||
                        !training_state.attr("get")("step").is_none();
      if (silence > silence_limit && last_output_at > stall_reported_for) {
        nb::dict details;
        details["hang_timeout_s"] = hang_timeout;
        details["hang_grace_s"] = hang_grace;
        details["silence_s"] = corvane::py_round(silence, 2);
        nb::object f =
            structured
                ? make_finding(nb::str("training_hang"), nb::str("CRITICAL"),
                               nb::str("Training progress stopped beyond the hang timeout"),
                               details)
                : make_finding(nb::str("output_stall"), nb::str("WARN"),
                               nb::str("Command produced no output within the monitoring timeout"),
                               details);
        append_finding(findings, findings_lock, f);
        stall_reported_for = last_output_at;
      }
      if (std::optional<Py_ssize_t> gpu_count = inventory.count(kInventoryWait, child)) {
        if (last_gpu_count != 0 && *gpu_count < last_gpu_count) {
          append_finding(findings, findings_lock,
                         inventory_shrink_finding(last_gpu_count, *gpu_count,
                                                  "GPU inventory shrank during launch monitoring"));
        }
        last_gpu_count = *gpu_count;
      }
      nb::object free_gb = snapshot["disk_free_gb"];
      if (free_gb < nb::int_(1)) {
        nb::dict details;
        details["disk_free_gb"] = free_gb;
        append_finding(
            findings, findings_lock,
            make_finding(nb::str("filesystem_lost"), nb::str("CRITICAL"),
                         nb::str("Less than 1GB of free disk remains in the working volume"),
                         details));
      }
      job.flush_new_findings();
      job.maybe_trigger_recovery();
    }

    // Shutdown.
    job_running_ref[0] = false;
    reader->stop.store(true);
    reader_thread.attr("join")(2.0);
    stop_background.attr("set")();
    for (nb::handle t : {telemetry, dmesg, hooks}) t.attr("join")(2.0);
    if (!child_out.is_none()) child_out.attr("close")();
    nb::object returncode = child.attr("wait")();
    job.flush_new_findings();
    job.maybe_trigger_recovery();
    bool ok = returncode.equal(nb::int_(0));
    nb::list nodes;
    nodes.append(job.node_id);
    registry.attr("finish_job")(job.job_id, ok ? "completed" : "failed", nodes);
    active_events.attr("discard")(stop_background);
    return new_record(LaunchResult{{job.job_id, returncode, job.delivered_findings, output_lines,
                                    job.recovery_result, nb::none(), nb::none(), nb::none(),
                                    nb::none(), nb::none()}});
  } catch (nb::python_error& e) {
    // The background threads end; the reader keeps draining so the child never blocks on
    // a full pipe. The child itself is left running. An interrupted job is still recorded.
    stop_background.attr("set")();
    PySet_Discard(active_events.ptr(), stop_background.ptr());
    if (e.matches(PyExc_KeyboardInterrupt)) {
      try {
        nb::list nodes;
        nodes.append(job.node_id);
        registry.attr("finish_job")(job.job_id, "interrupted", nodes);
      } catch (nb::python_error&) {
      }
    }
    throw;
  }
}

// The entry point is a plain CPython function too: a host may run a job on a daemon
// thread, and the thread's end at interpreter exit must pass through cleanly.
PyObject* run_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"command",          "config",    "registry",     "checkpoint_dir",
                                "pre_check_result", "extra_env", "wandb_bridge", nullptr};
  PyObject *command, *config, *registry, *checkpoint_dir, *pre_check = Py_None,
                                                          *extra_env = Py_None, *bridge = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO|OOO", const_cast<char**>(names), &command,
                                   &config, &registry, &checkpoint_dir, &pre_check, &extra_env,
                                   &bridge)) {
    return nullptr;
  }
  if (g_exiting.load()) {
    PyErr_SetString(PyExc_RuntimeError, "the interpreter is exiting");
    return nullptr;
  }
  struct Active {
    Active() { ++g_active_runs; }
    ~Active() { --g_active_runs; }
  } active;
  return guarded_call([&] {
    return run_monitored_command(command, config, registry, checkpoint_dir, pre_check, extra_env,
                                 bridge);
  });
}

PyMethodDef thread_defs[] = {
    {"run_monitored_command",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run_entry)),
     METH_VARARGS | METH_KEYWORDS,
     "run_monitored_command(command, config, registry, checkpoint_dir, pre_check_result=None, "
     "extra_env=None, wandb_bridge=None)\n--\n\nRun one job's command under watch until it "
     "exits; returns a LaunchResult."},
    {nullptr, nullptr, 0, nullptr}};

PyObject* shutdown_monitors(PyObject* module, PyObject*) {
  g_exiting.store(true);
  PyObject* events = PyObject_GetAttrString(module, "_active_stop_events");
  if (events != nullptr) {
    PyObject* copy = PySequence_List(events);
    Py_DECREF(events);
    if (copy != nullptr) {
      for (Py_ssize_t i = 0; i < PyList_Size(copy); ++i) {
        PyObject* r = PyObject_CallMethod(PyList_GetItem(copy, i), "set", nullptr);
        Py_XDECREF(r);
      }
      Py_DECREF(copy);
    }
  }
  PyErr_Clear();
  // Bounded: a job stuck in a slow host call is not worth hanging the exit for.
  auto deadline = Clock::now() + std::chrono::seconds(3);
  while (g_active_runs.load() > 0 && Clock::now() < deadline) {
    Py_BEGIN_ALLOW_THREADS ::usleep(10000);
    Py_END_ALLOW_THREADS
  }
  Py_RETURN_NONE;
}

PyMethodDef shutdown_def = {"_shutdown_monitors", shutdown_monitors, METH_NOARGS,
                            "At interpreter exit: stop running jobs' waits and threads."};

}  // namespace

nb::object inventory_shrink_finding(Py_ssize_t before, Py_ssize_t after, const char* summary) {
  nb::dict details;
  details["before"] = before;
  details["after"] = after;
  return make_finding(nb::str("metric_disappearance"), nb::str("CRITICAL"), nb::str(summary),
                      details);
}

ActiveScope::ActiveScope(nb::handle stop_event) : stop_event_(stop_event) {
  ++g_active_runs;
  PySet_Add(host("_active_stop_events").ptr(), stop_event_.ptr());
  PyErr_Clear();  // an unhashable event is simply not registered
}

ActiveScope::~ActiveScope() {
  PyObject* events = PyObject_GetAttrString(monitoring_module().ptr(), "_active_stop_events");
  if (events != nullptr) {
    PySet_Discard(events, stop_event_.ptr());
    Py_DECREF(events);
  }
  PyErr_Clear();
  --g_active_runs;
}

void bind_runner(nb::module_& m) {
  m.attr("_active_stop_events") = nb::steal(PySet_New(nullptr));
  PyObject* shutdown = PyCFunction_NewEx(&shutdown_def, m.ptr(), m.attr("__name__").ptr());
  if (shutdown == nullptr) throw nb::python_error();
  m.attr("_shutdown_monitors") = nb::steal(shutdown);
  nb::module_::import_("atexit").attr("register")(m.attr("_shutdown_monitors"));
  for (PyMethodDef* def = thread_defs; def->ml_name != nullptr; ++def) {
    PyObject* fn = PyCFunction_NewEx(def, nullptr, m.attr("__name__").ptr());
    if (fn == nullptr) throw nb::python_error();
    m.attr(def->ml_name) = nb::steal(fn);
  }
}

}  // namespace corvane::bindings
