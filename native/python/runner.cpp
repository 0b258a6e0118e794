// run_monitored_command: one job under watch, its output reader, the polling loop, the
// delivery of findings and the recovery trigger.
#include <fcntl.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "../core/hooks/progress.hpp"
#include "../core/job/cadence.hpp"
#include "../core/job/checks.hpp"
#include "../core/job/process_tree.hpp"
#include "../core/job/run_settings.hpp"
#include "../core/job/stopper.hpp"
#include "../core/job/wakeups.hpp"
#include "../core/job/watch_sources.hpp"
#include "child_setup.hpp"
#include "finding_record.hpp"
#include "host.hpp"
#include "inventory_probe.hpp"
#include "job_context.hpp"
#include "monitoring_host.hpp"
#include "output_reader.hpp"
#include "settings.hpp"
#include "thread_guard.hpp"

namespace corvane::bindings {
namespace {

using namespace nb::literals;
using Clock = std::chrono::steady_clock;

[[noreturn]] void raise_exiting() {
  PyErr_SetString(PyExc_SystemExit, "interpreter exiting");  // ends a thread silently
  throw nb::python_error();
}

// A text from outside (the node's name from the environment, a file name) as the display
// shows every such text: control characters escaped, and any str (lone surrogates too)
// made printable UTF-8.
std::string shown_text(nb::handle value) {
  return nb::cast<std::string>(import("corvane.ui.display").attr("shown")(value));
}

// One line of the monitor's own, with what it quotes from outside shown escaped.
void print_line(const std::string& text) {
  PyObject* out = PySys_GetObject("stdout");  // borrowed; looked up at each call
  if (out == nullptr || out == Py_None) return;
  nb::handle stream(out);
  stream.attr("write")(nb::str((shown_text(nb::str(text.c_str())) + "\n").c_str()));
  stream.attr("flush")();
}

nb::object start_thread(nb::handle target, nb::tuple args) {
  nb::object thread =
      import("threading").attr("Thread")("target"_a = target, "args"_a = args, "daemon"_a = true);
  thread.attr("start")();
  return thread;
}

nb::object child_status(nb::handle child) { return child.attr("poll")(); }

// The job's end on request (see core/job/stopper.hpp): the schedule decides, this sends
// the signals: the first to the job's process group (a launcher passes it on to its
// workers), a kill to every process of the job, wherever it put itself.
struct JobStopper {
  pid_t group = 0;
  monitor::StopSchedule schedule{30.0};
  bool keyboard_interrupt = false;
  std::unique_ptr<monitor::JobTree> tree;  // once the job runs

  void act(const std::vector<monitor::StopAction>& actions) {
    for (const monitor::StopAction& action : actions) {
      print_line(action.message);
      if (action.signum == SIGKILL) {
        kill_tree();
      } else {
        send(action.signum);
      }
    }
  }
  // Called from the runner's thread; acts on requests that arrived since the last call.
  void poll() {
    act(schedule.poll(monitor::stop_requests(), monitor::stop_signal(), steady_seconds()));
  }
  // The monitor ends the job itself ("hang", "recovery").
  void stop_for(const std::string& reason) {
    act(schedule.stop_for(reason, SIGTERM, steady_seconds()));
  }
  void send(int sig) const {
    if (group > 0) ::killpg(group, sig);
  }
  void kill_tree() {
    send(SIGKILL);
    if (tree) {
      Py_BEGIN_ALLOW_THREADS
      tree->signal_all(SIGKILL);
      Py_END_ALLOW_THREADS
    }
  }
  void kill_group() {
    schedule.mark_killed();
    kill_tree();
  }
  // After the job's own exit: whatever is left of it, in its group or anywhere else, gets
  // SIGTERM, a short grace, then SIGKILL.
  void end_leftovers() const {
    if (group <= 0) return;
    pid_t g = group;
    monitor::end_leftovers({[g] { return ::killpg(g, 0) == 0; }, [g](int sig) { ::killpg(g, sig); },
                            [](double s) { ::usleep(static_cast<useconds_t>(s * 1e6)); },
                            steady_seconds});
    if (!tree) return;
    Py_BEGIN_ALLOW_THREADS
    tree->end_all(2.0, 5.0);
    Py_END_ALLOW_THREADS
  }
  void release() const { monitor::release_stop_requests(schedule.seen()); }
  // Notes the job's processes now, so that one the kernel later reports is known as its.
  void note_members(monitor::RecentPids& pids) const {
    if (!tree) return;
    std::vector<pid_t> members;
    Py_BEGIN_ALLOW_THREADS
    members = tree->members();
    Py_END_ALLOW_THREADS
    pids.saw(members, steady_seconds());
  }
};

// The process tree of the job started as `leader`, and the kill(2), waitpid(2) and clock it
// uses.
std::unique_ptr<monitor::JobTree> job_tree(pid_t leader, const std::string& job_id) {
  monitor::JobTree::Ports ports{[](pid_t pid, int sig) { return ::kill(pid, sig); },
                                [](pid_t pid) {
                                  int status = 0;
                                  pid_t r = ::waitpid(pid, &status, WNOHANG);
                                  return r == pid || (r < 0 && errno == ECHILD);
                                },
                                [](double s) { ::usleep(static_cast<useconds_t>(s * 1e6)); },
                                steady_seconds};
  return std::make_unique<monitor::JobTree>(::getpid(), leader, "CORVANE_JOB_ID=" + job_id, "/proc",
                                            std::move(ports));
}

// The monitor becomes the child subreaper of its job for the run: a worker whose parent
// exits comes to the monitor, not to init, and is still found and ended. The setting the
// process had is put back at the end.
struct Subreaper {
  int before = 0;
  bool set = false;
  Subreaper() {
    if (::prctl(PR_GET_CHILD_SUBREAPER, &before) == 0 && before == 0) {
      set = ::prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
    }
  }
  ~Subreaper() {
    if (set) ::prctl(PR_SET_CHILD_SUBREAPER, 0);
  }
  Subreaper(const Subreaper&) = delete;
  Subreaper& operator=(const Subreaper&) = delete;
};

// Waits up to `seconds` without the GIL, returning early when the child has exited, a
// stop request came, the grace period ran out, or a finding was appended since
// `delivered` (the wake-up generation of the last delivery). Wakes at least every 100 ms
// to let the host run signal handlers (a Ctrl-C without handlers raises KeyboardInterrupt
// here), and every 10 ms once the output has ended: the exit follows shortly.
void wait_period(double seconds, nb::handle child, const ReaderContext& reader,
                 const JobStopper& stopper, std::uint64_t delivered) {
  double end = steady_seconds() + seconds;
  auto woken = [&] {
    return monitor::wake_generation() != delivered ||
           stopper.schedule.pending(monitor::stop_requests());
  };
  while (true) {
    if (interpreter_exiting()) raise_exiting();
    if (!child_status(child).is_none() || woken()) return;
    double now = steady_seconds();
    if (stopper.schedule.grace_over(now)) return;
    auto until = monitor::LoopCadence::slice_end(now, end, reader.output_ended.load());
    if (!until) return;
    auto deadline = Clock::time_point(
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(*until)));
    Py_BEGIN_ALLOW_THREADS
    monitor::wait_for_wake(deadline, woken);
    Py_END_ALLOW_THREADS
    if (PyErr_CheckSignals() != 0) throw nb::python_error();
  }
}

// "monitor" -> "max_output_lines": absent or None keeps every line (-1).
Py_ssize_t max_output_lines(nb::handle monitor_cfg) {
  HostConfigValue value(monitor_cfg.attr("get")("max_output_lines"));
  try {
    return static_cast<Py_ssize_t>(monitor::max_output_lines(value).value_or(-1));
  } catch (const InvalidSetting& e) {
    throw nb::value_error(e.what());
  }
}

// What one run holds while its job runs: the lists its threads share, and the threads.
struct JobRun {
  nb::object stop_background = import("threading").attr("Event")();
  nb::object active_events = host("_active_stop_events");
  nb::object child = nb::none(), child_out = nb::none();
  nb::list output_lines, findings, losses, step_times, last_output_at_ref, job_running_ref;
  nb::object findings_lock, hook_path;
  nb::dict training_state;
  nb::object telemetry, dmesg, hooks, reader_thread;
  std::shared_ptr<ReaderContext> reader = std::make_shared<ReaderContext>();
};

// The periodic checks of one loop pass: silence, GPU inventory, disk.
struct JobChecks {
  const JobRun* run = nullptr;
  nb::object hang_timeout, hang_grace;
  monitor::SilenceWatch silence{0.0};
  static constexpr double kInventoryWait = 1.0;
  Py_ssize_t last_gpu_count = 0;
  const monitor::JobWatch* watch = nullptr;
  InventoryProbe* inventory = nullptr;
  bool hang_found = false;  // a training hang was found since the job started
  nb::object node_id;       // the monitor's node

  void add(nb::handle finding) { append_finding(run->findings, run->findings_lock, finding); }

  void check() {
    nb::object snapshot = host("host_snapshot")();
    double last_output_at = as_double(run->last_output_at_ref[0]);
    double now = as_double(host("time").attr("time")());
    bool progress = nb::len(run->step_times) > 0 || nb::len(run->losses) > 0 ||
                    !run->training_state.attr("get")("step").is_none();
    if (auto finding = silence.check(now, last_output_at, progress)) {
      if (finding->event_type == "training_hang") {
        // Which ranks the others wait for, from the ranks' own reports.
        monitor::Details stuck = monitor::stuck_rank_details(watch->hook_progress().ranks, now);
        finding->details.insert(finding->details.end(), stuck.begin(), stuck.end());
        hang_found = true;
      }
      nb::object made = finding_of(*finding, {hang_timeout, hang_grace});
      // One rank holds the others up: the hang is its node's, where it runs elsewhere.
      nb::object node = made.attr("details").attr("get")("node");
      if (PyUnicode_Check(node.ptr()) && !node.equal(node_id)) made.attr("node_id") = node;
      add(made);
    }
    // With NVML the telemetry thread counts the devices each poll, and the tool (tens of
    // milliseconds of CPU on a real node) need not run every period. No answer from the
    // tool in time says nothing about the GPUs.
    long nvml_count = watch->snapshot().nvml_gpu_count;
    std::optional<Py_ssize_t> gpu_count = nvml_count >= 0
                                              ? std::optional<Py_ssize_t>(nvml_count)
                                              : inventory->count(kInventoryWait, run->child);
    if (gpu_count) {
      if (auto shrank = monitor::inventory_check(static_cast<std::size_t>(last_gpu_count),
                                                 static_cast<std::size_t>(*gpu_count), true)) {
        add(finding_of(*shrank));
      }
      last_gpu_count = *gpu_count;
    }
    nb::object free_gb = snapshot["disk_free_gb"];
    if (auto finding = monitor::disk_check(as_double(free_gb)))
      add(finding_of(*finding, {free_gb}));
  }
};

// Ends the agent step with the job; what the agents said until then is kept.
void stop_agents(JobContext& job) {
  if (job.agents.is_none()) return;
  job.agents.attr("stop")();
}

void finish_job(JobContext& job, const char* status, nb::handle details) {
  nb::list nodes;
  nodes.append(job.node_id);
  if (!job.agents.is_none()) {
    for (nb::handle n : job.agents.attr("targets")) nodes.append(n);
  }
  if (details.is_none()) {
    job.registry.attr("finish_job")(job.job_id, status, nodes);
  } else {
    job.registry.attr("finish_job")(job.job_id, status, nodes, "details"_a = details);
  }
}

void check_run_arguments(nb::handle command, nb::handle config, nb::handle pre_check_result,
                         nb::handle extra_env) {
  if (!PyList_Check(command.ptr())) raise_type("command", "a list", command);
  if (!is_map(config)) raise_type("config", "a map", config);
  if (!pre_check_result.is_none() && !PyList_Check(pre_check_result.ptr())) {
    raise_type("pre_check_result", "a list or None", pre_check_result);
  }
  if (!extra_env.is_none() && !is_map(extra_env))
    raise_type("extra_env", "a map or None", extra_env);
  host("validate_config")(config);
}

// Records the job and its node in the registry; returns the command as it will run.
nb::object open_job(JobContext& job, nb::handle command, nb::handle pre_check_result) {
  job.node_id = host("host_snapshot")()["hostname"];
  nb::object cluster = job.config["cluster"];
  job.registry.attr("ensure_node")(job.node_id,
                                   "gpu_type"_a = cluster.attr("get")("gpu_type", "UNKNOWN"));
  nb::str hex = nb::str(import("uuid").attr("uuid4")().attr("hex"));
  job.job_id = nb::str("job-") + nb::str(hex[nb::slice(0, 8, 1)]);
  nb::object effective = maybe_wrap_srun(command, job.config);
  job.command_text = host("pretty_command")(effective);
  nb::object slurm_job_id = import("os").attr("environ").attr("get")("SLURM_JOB_ID");
  nb::dict metadata;
  metadata["node_id"] = job.node_id;
  metadata["pre_check"] = (!pre_check_result.is_none() && truthy(pre_check_result))
                              ? nb::borrow(pre_check_result)
                              : nb::object(nb::list());
  if (!slurm_job_id.is_none() && truthy(slurm_job_id)) metadata["slurm_job_id"] = slurm_job_id;
  job.registry.attr("start_job")(job.job_id, job.command_text, metadata);
  return effective;
}

// Starts the job in its own process group: signals reach the job and everything it
// started, and nothing of it is left behind at the end.
nb::object spawn_job(const JobContext& job, nb::handle effective, nb::handle hook_path,
                     nb::handle extra_env) {
  nb::object env = import("builtins").attr("dict")(import("os").attr("environ"));
  env["CORVANE_JOB_ID"] = job.job_id;
  env["CORVANE_HOOK_FILE"] = nb::str(hook_path);
  if (!extra_env.is_none() && truthy(extra_env)) env.attr("update")(extra_env);
  nb::object subprocess = import("subprocess");
  // Should the monitor die without a word, the job is told with SIGTERM, which a launcher
  // passes on to its workers.
  return subprocess.attr("Popen")(effective, "stdout"_a = subprocess.attr("PIPE"),
                                  "stderr"_a = subprocess.attr("STDOUT"), "env"_a = env,
                                  "bufsize"_a = 0, "process_group"_a = 0,
                                  "preexec_fn"_a = parent_death_signal(SIGTERM));
}

// How the job ended, in the registry: completed, failed, or interrupted by a signal.
void record_end(JobContext& job, const JobStopper& stopper, nb::handle returncode) {
  monitor::JobEnd end = monitor::job_end(returncode.equal(nb::int_(0)), stopper.schedule);
  nb::object end_details = nb::none();
  if (end.signal) {
    nb::dict d;
    d["signal"] = *end.signal;
    d["returncode"] = returncode;
    if (end.killed) d["killed"] = true;
    if (!end.stopped_for.empty()) d["stopped_for"] = end.stopped_for;
    end_details = d;
  }
  finish_job(job, end.status, end_details);
}

// The job's watch until it exits: the periodic checks at their cadence, findings delivered
// as soon as they are appended, the "watching:" line once, stop requests acted on.
void watch_until_exit(JobContext& job, JobChecks& checks, JobStopper& stopper,
                      const monitor::JobWatch& watch, const JobRun& run, double poll_s,
                      bool stop_on_hang) {
  nb::handle child = run.child, last_output_at_ref = run.last_output_at_ref;
  const std::string hook_text = shown_text(run.hook_path);
  monitor::LoopCadence cadence(poll_s, steady_seconds());
  std::uint64_t delivered = monitor::wake_generation();
  job.report_state(true, last_output_at_ref[0], poll_s, 0);
  stopper.note_members(job.job_pids);
  while (child_status(child).is_none()) {
    try {
      stopper.poll();
      wait_period(cadence.wait_s(steady_seconds()), child, *run.reader, stopper, delivered);
      stopper.poll();
      if (!child_status(child).is_none()) break;
      if (cadence.checks_due(steady_seconds())) {
        job.report_state(true, last_output_at_ref[0], poll_s, watch.snapshot().hook_ranks_fresh);
        checks.check();
        stopper.note_members(job.job_pids);
        job.record_counts();
        // A hung job is ended so that its scheduler can start it again.
        if (checks.hang_found && stop_on_hang) stopper.stop_for("hang");
      }
      if (auto line = cadence.watching_line(watch.snapshot(), hook_text, steady_seconds())) {
        print_line(*line);
      }
      // New findings are delivered as soon as they are appended.
      delivered = monitor::wake_generation();
      job.flush_new_findings();
      job.maybe_trigger_recovery();
    } catch (nb::python_error& e) {
      if (e.matches(PyExc_KeyboardInterrupt)) {
        // Ctrl-C of a caller without signal handlers: the same graceful stop, reported
        // to that caller once the job has ended.
        stopper.keyboard_interrupt = true;
        monitor::request_stop(SIGINT);
      } else if (e.matches(PyExc_SystemExit) && interpreter_exiting()) {
        throw;
      } else {
        // A failing probe or host call costs this pass, not the watch over the job.
        job.log.warn("monitoring check failed: " + python_error_line(e));
      }
    }
  }
}

// A run that failed or was interrupted: the background threads end. A job that never
// started is recorded as failed with the reason; one that runs is ended (its group gets
// SIGTERM, then SIGKILL) rather than left behind unwatched, and recorded as interrupted or
// failed.
void abandon_job(JobContext& job, JobStopper& stopper, nb::handle child, nb::handle stop_background,
                 nb::handle active_events, nb::python_error& e) {
  stop_background.attr("set")();
  PySet_Discard(active_events.ptr(), stop_background.ptr());
  try {
    stop_agents(job);
  } catch (nb::python_error&) {
  }
  bool interrupted = e.matches(PyExc_KeyboardInterrupt);
  nb::dict details;
  details["reason"] = python_error_line(e);
  if (!child.is_none() && child_status(child).is_none()) {
    stopper.send(SIGTERM);
    try {
      child.attr("wait")("timeout"_a = std::min(stopper.schedule.grace_s(), 5.0));
    } catch (nb::python_error&) {
    }
    stopper.kill_group();
    child.attr("wait")();
  }
  stopper.release();
  try {
    finish_job(job, interrupted ? "interrupted" : "failed", details);
  } catch (nb::python_error&) {
  }
}

// The run's settings from "monitor"; the checks and the stopper get theirs.
struct RunSettings {
  nb::object poll_text, hang_text;
  double poll_s = 0.0;
  Py_ssize_t max_lines = -1;
  double repeat_after_s = 600.0;
  double loss_spike_ratio = 10.0;
  bool stop_on_hang = false;  // "monitor" -> "on_hang" = "stop"
};
RunSettings read_settings(nb::handle config, JobChecks& checks, JobStopper& stopper) {
  nb::object monitor_cfg = config["monitor"];
  nb::object parse = host("parse_duration");
  RunSettings run;
  run.poll_text = monitor_cfg["poll_interval"];
  run.hang_text = monitor_cfg["hang_detection_timeout"];
  nb::object poll_interval = parse(nb::str(run.poll_text));
  checks.hang_timeout = parse(nb::str(run.hang_text));
  checks.hang_grace = parse(nb::str(monitor_cfg.attr("get")("hang_detection_grace", "15s")));
  run.poll_s = as_double(poll_interval);
  checks.silence =
      monitor::SilenceWatch(as_double(checks.hang_timeout) + as_double(checks.hang_grace));
  stopper.schedule = monitor::StopSchedule(
      as_double(parse(nb::str(monitor_cfg.attr("get")("stop_grace", "30s")))));
  run.max_lines = max_output_lines(monitor_cfg);
  run.repeat_after_s = as_double(parse(nb::str(monitor_cfg.attr("get")("repeat_after", "10m"))));
  run.loss_spike_ratio = as_double(monitor_cfg.attr("get")("loss_spike_ratio", 10.0));
  nb::object on_hang = monitor_cfg.attr("get")("on_hang", "wait");
  run.stop_on_hang = PyUnicode_Check(on_hang.ptr()) && exact_utf8(on_hang) == "stop";
  return run;
}

// The lists and the lock the job's threads share, and the path of its hook file.
void share_state(JobRun& run, JobContext& job, nb::handle checkpoint_dir) {
  run.last_output_at_ref.append(host("time").attr("time")());
  run.job_running_ref.append(true);
  run.findings_lock = import("threading").attr("Lock")();
  // The exit handler sets this too, so the background threads end before the host goes.
  run.active_events.attr("add")(run.stop_background);
  job.findings = run.findings;
  job.findings_lock = run.findings_lock;
  run.hook_path = import("pathlib").attr("Path")(checkpoint_dir) /
                  (nb::str(job.job_id) + nb::str("-hooks.jsonl"));
  // It holds the hook file, which the ranks' reports go to: private to its owner when made.
  run.hook_path.attr("parent").attr("mkdir")("mode"_a = 0700, "parents"_a = true,
                                             "exist_ok"_a = true);
  run.training_state["phase"] = nb::none();
  run.training_state["step"] = nb::none();
  job.training_state = run.training_state;
}

// The profile of the node's GPUs, by the name the first one gives or the configured type.
nb::object gpu_profile_of(const JobContext& job, nb::handle config) {
  nb::object inventory = host("detect_gpu_inventory")();
  nb::object raw_gpu_name =
      nb::len(inventory) > 0
          ? nb::object(inventory[0].attr("name"))
          : nb::object(nb::str(job.section("cluster").attr("get")("gpu_type", "")));
  return host("detect_gpu_profile")(raw_gpu_name, config);
}

// The telemetry, kernel log and hook file watchers.
void start_watchers(JobRun& run, nb::handle config, nb::handle gpu_profile,
                    nb::handle wandb_bridge) {
  run.telemetry =
      start_thread(host("_hardware_telemetry_loop"),
                   nb::make_tuple(config, run.findings, run.findings_lock, run.stop_background,
                                  run.last_output_at_ref, gpu_profile, wandb_bridge,
                                  run.training_state, run.job_running_ref));
  run.dmesg = start_thread(host("_dmesg_watcher_loop"),
                           nb::make_tuple(run.findings, run.findings_lock, run.stop_background));
  run.hooks = start_thread(host("_hook_monitor_loop"),
                           nb::make_tuple(run.hook_path, config, run.findings, run.findings_lock,
                                          run.stop_background, run.training_state));
}

// The job's process and the reader of its output.
void start_job(JobRun& run, JobContext& job, JobStopper& stopper, nb::handle effective,
               nb::handle extra_env, const RunSettings& settings) {
  run.child = spawn_job(job, effective, run.hook_path, extra_env);
  stopper.group = nb::cast<pid_t>(run.child.attr("pid"));
  stopper.tree = job_tree(stopper.group, nb::cast<std::string>(nb::str(job.job_id)));
  run.child_out = run.child.attr("stdout");
  ReaderContext& reader = *run.reader;
  reader.fd = ::fcntl(nb::cast<int>(run.child_out.attr("fileno")()), F_DUPFD_CLOEXEC, 0);
  if (reader.fd < 0) throw nb::python_error();
  reader.output_lines = run.output_lines;
  reader.step_times = run.step_times;
  reader.losses = run.losses;
  reader.last_output_at_ref = run.last_output_at_ref;
  reader.job_running_ref = run.job_running_ref;
  reader.findings = run.findings;
  reader.findings_lock = run.findings_lock;
  reader.max_lines = settings.max_lines;
  reader.loss_watch = monitor::LossWatch(settings.loss_spike_ratio);
  run.reader_thread = start_thread(reader_callable(run.reader), nb::tuple());
}

// Ends the running job now (for its restart): SIGTERM to its group, its grace period while
// its output is still read, then every process of it is killed; returns once none is left.
void end_job_now(JobStopper& stopper, const JobRun& run) {
  stopper.stop_for("recovery");
  while (child_status(run.child).is_none()) {
    stopper.poll();  // kills the job once its grace is over
    Py_BEGIN_ALLOW_THREADS
    ::usleep(20000);
    Py_END_ALLOW_THREADS
    if (PyErr_CheckSignals() != 0) throw nb::python_error();
  }
  stopper.end_leftovers();
}

// After the job's exit: the threads end, what it left behind is ended, the last findings
// are delivered and the end is recorded.
nb::object finish_run(JobRun& run, JobContext& job, JobStopper& stopper, double poll_s) {
  run.job_running_ref[0] = false;
  run.reader->stop.store(true);
  run.reader_thread.attr("join")(2.0);
  stop_agents(job);
  run.stop_background.attr("set")();
  for (nb::handle t : {run.telemetry, run.dmesg, run.hooks}) t.attr("join")(2.0);
  if (!run.child_out.is_none()) run.child_out.attr("close")();
  nb::object returncode = run.child.attr("wait")();
  stopper.end_leftovers();
  run.reader->bound_lists(true);
  job.flush_new_findings();
  job.record_counts();
  job.report_state(false, run.last_output_at_ref[0], poll_s, 0);
  job.maybe_trigger_recovery(returncode);
  stopper.release();
  record_end(job, stopper, returncode);
  run.active_events.attr("discard")(run.stop_background);
  const std::string& reason = stopper.schedule.reason();
  return new_record(LaunchResult{
      {job.job_id, returncode, job.delivered_findings, run.output_lines, job.recovery_result,
       nb::none(), nb::none(), nb::none(), nb::none(), nb::none(), nb::int_(run.reader->dropped),
       job.finding_counts(), reason.empty() ? nb::object(nb::none()) : str_of(reason)}});
}

}  // namespace

nb::object run_job(nb::handle command, nb::handle config, nb::handle registry,
                   nb::handle checkpoint_dir, nb::handle pre_check_result, nb::handle extra_env,
                   nb::handle wandb_bridge) {
  check_run_arguments(command, config, pre_check_result, extra_env);
  JobChecks checks;
  JobStopper stopper;
  RunSettings settings = read_settings(config, checks, stopper);
  JobContext job;
  job.config = nb::borrow(config);
  job.registry = nb::borrow(registry);
  job.wandb_bridge = nb::borrow(wandb_bridge);
  job.checkpoint_dir = nb::borrow(checkpoint_dir);
  nb::object effective = open_job(job, command, pre_check_result);

  JobRun run;
  monitor::JobWatch watch(run.stop_background.ptr());
  job.book = monitor::DeliveryBook(settings.repeat_after_s);
  Subreaper subreaper;
  nb::object result;
  try {
    print_line("[corvane] monitoring job " + nb::cast<std::string>(nb::str(job.job_id)) + " on " +
               shown_text(job.node_id) +
               " (poll=" + nb::cast<std::string>(nb::str(settings.poll_text)) +
               ", hang_timeout=" + nb::cast<std::string>(nb::str(settings.hang_text)) + ")");
    job.runtime_costs = host("build_cost_config")(config);
    nb::object gpu_profile = gpu_profile_of(job, config);
    share_state(run, job, checkpoint_dir);
    start_watchers(run, config, gpu_profile, wandb_bridge);
    start_job(run, job, stopper, effective, extra_env, settings);
    // The allocation's other nodes are watched by agents, a second Slurm step.
    // Their nodes' hook reports come through them, so no hook file need be shared.
    const void* key = run.stop_background.ptr();
    // The job runs on without them if they cannot start.
    guarded_step(job.log, "the agent step could not start", [&] {
      job.agents = host("start_agent_step")(
          config, run.findings, run.findings_lock, "hook_file"_a = run.hook_path,
          "hook_nodes"_a = nb::cpp_function([key](const std::vector<std::string>& nodes) {
            monitor::forward_hooks_of(key, {nodes.begin(), nodes.end()});
          }),
          "hook_line"_a = nb::cpp_function(
              [key](std::string line) { monitor::forward_hook_line(key, std::move(line)); }));
    });

    checks.run = &run;
    checks.node_id = job.node_id;
    // A count the tool does not give within a second is taken up by a later pass, and
    // its query ends at shutdown: a hung tool holds up neither the loop nor the end.
    InventoryProbe probe(run.stop_background);
    checks.inventory = &probe;
    checks.last_gpu_count = probe.count(JobChecks::kInventoryWait, run.child).value_or(0);
    checks.watch = &watch;
    // A live recovery that restarts the job ends this one first, and waits until every
    // process of it is gone.
    job.end_job = [&] { end_job_now(stopper, run); };
    watch_until_exit(job, checks, stopper, watch, run, settings.poll_s, settings.stop_on_hang);
    job.end_job = nullptr;
    result = finish_run(run, job, stopper, settings.poll_s);
  } catch (nb::python_error& e) {
    abandon_job(job, stopper, run.child, run.stop_background, run.active_events, e);
    throw;
  }
  if (stopper.keyboard_interrupt) {
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    throw nb::python_error();
  }
  return result;
}

void report_source(const void* job_key, const std::string& source, const std::string& how) {
  monitor::report_source(job_key, source, how);
}

void report_nvml_gpu_count(const void* job_key, long count) {
  monitor::report_nvml_gpu_count(job_key, count);
}

void wake_runners() { monitor::wake_runners(); }

}  // namespace corvane::bindings
