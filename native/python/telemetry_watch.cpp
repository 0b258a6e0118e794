// GPU telemetry: snapshots from the nvidia-smi tool or from NVML, and the telemetry thread
// that runs the detectors over them.
#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "../core/common/pyfloat.hpp"
#include "../core/job/checks.hpp"
#include "../core/telemetry/detectors.hpp"
#include "../core/telemetry/finding_texts.hpp"
#include "finding_record.hpp"
#include "gpu_events.hpp"
#include "host.hpp"
#include "inventory_probe.hpp"
#include "monitoring_host.hpp"
#include "settings.hpp"
#include "telemetry_host.hpp"
#include "thread_guard.hpp"

namespace corvane::bindings {
namespace {

using namespace nb::literals;
namespace mon = corvane::monitor;

// -- the telemetry thread ---------------------------------------------------------------

std::optional<double> number(nb::handle snap, const char* key) {
  nb::object v = get(snap, key);
  if (v.is_none()) return std::nullopt;
  double d = PyFloat_AsDouble(v.ptr());  // text where a number belongs raises TypeError
  if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
  return d;
}

std::optional<mon::Num> counter(nb::handle v) {
  if (v.is_none()) return std::nullopt;
  double d = PyFloat_AsDouble(v.ptr());
  if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
  return mon::Num{d, PyLong_Check(v.ptr()) != 0};
}

nb::object num_object(const mon::Num& n) {
  if (n.is_int) return nb::steal(PyLong_FromDouble(n.v));
  return nb::float_(n.v);
}

// One snapshot as the detectors read it; `links` keeps the host's link keys.
mon::GpuSample sample_of(nb::handle snap, std::int64_t index, std::vector<nb::object>& links) {
  mon::GpuSample s;
  s.index = index;
  s.temperature = number(snap, "temperature_c");
  s.util = number(snap, "util_gpu");
  s.mem_used = number(snap, "memory_used_mb");
  s.mem_total = number(snap, "memory_total_mb");
  s.power_draw = number(snap, "power_draw_w");
  s.power_limit = number(snap, "power_limit_w");
  nb::object mask = get(snap, "throttle_reasons");
  if (!mask.is_none()) {
    nb::object as_int = builtin("int")(mask);
    s.throttle_mask = PyLong_AsUnsignedLongLongMask(as_int.ptr());
    s.throttle_mask_present = true;
  }
  nb::object text = get(snap, "throttle_reasons_text");
  std::string storage;
  if (!text.is_none()) s.throttle_text = utf8_of(nb::str(text), storage);
  s.ecc_corrected = counter(get(snap, "ecc_corrected"));
  s.ecc_uncorrected = counter(get(snap, "ecc_uncorrected"));
  s.pcie_replay = counter(get(snap, "pcie_replay"));
  nb::object nvlink = snap.attr("get")("nvlink_errors", nb::dict());
  for (auto [link, counters] : nb::borrow<nb::dict>(nvlink)) {
    mon::GpuSample::Link l;
    l.link = nb::cast<std::int64_t>(builtin("int")(link));
    for (auto [key, value] : nb::borrow<nb::dict>(counters)) {
      if (auto n = counter(value))
        l.counters.push_back({std::string(utf8_of(nb::str(key), storage)), *n});
    }
    links.push_back(nb::borrow(link));
    s.nvlink.push_back(std::move(l));
  }
  return s;
}

// The finding for one detector result: the core's wording, with the details in host values.
nb::object telemetry_finding(const mon::TelemetryFinding& f, const mon::GpuSample& s,
                             nb::handle snap, const std::vector<nb::object>& links,
                             double warn_temp) {
  using K = mon::TelemetryFinding;
  mon::FindingText text = mon::describe(f, s, warn_temp);
  nb::dict d;
  d["gpu_index"] = s.index;
  switch (f.kind) {
    case K::kThermalCritical:
    case K::kThermalWarn:
      d["temperature_c"] = get(snap, "temperature_c");
      break;
    case K::kEccDbe:
      d["delta"] = num_object(f.delta);
      break;
    case K::kEccSbeRate:
      d["rate_per_hour"] = f.rate;
      break;
    case K::kThrottleMask:
      d["mask"] = f.mask;
      break;
    case K::kThrottleText:
      d["reason"] = nb::str(s.throttle_text.c_str());
      break;
    case K::kLowUtil:
      d["util_gpu"] = get(snap, "util_gpu");
      break;
    case K::kMemoryDrop:
      d["before_mb"] = f.before;
      d["after_mb"] = f.after;
      break;
    case K::kPowerHigh:
    case K::kPowerLow:
      d["power_draw_w"] = f.before;
      d["power_limit_w"] = f.after;
      if (f.kind == K::kPowerLow) d["util_gpu"] = get(snap, "util_gpu");
      break;
    case K::kNvlink:
      d["link"] = links[f.link_pos];
      d["counter"] = nb::str(s.nvlink[f.link_pos].counters[f.counter_pos].key.c_str());
      d["delta"] = num_object(f.delta);
      break;
    case K::kPcieReplay:
      d["delta"] = num_object(f.delta);
      d["rate_per_min"] = f.rate;
      break;
  }
  return make_finding(str_of(text.event_type), str_of(text.severity), str_of(text.summary), d);
}

// The telemetry thread's settings, read once at its start.
struct TelemetrySettings {
  double poll = 5.0;
  mon::Thresholds thresholds;
  nb::object gpu_type;
  bool structural = true;

  TelemetrySettings(nb::handle config, LogOnce& log) {
    Settings root(config, "", log);
    Settings monitor = root.section("monitor", true);
    poll = std::max(1.0, monitor.duration("poll_interval", 5.0));
    Settings thermal = root.section("thermal", true);
    thresholds.warn_temp = thermal.number("warn", std::nullopt, 85.0);
    thresholds.critical_temp = thermal.number("critical", std::nullopt, 95.0);
    thresholds.ecc_warn_rate =
        root.section("ecc", true).number("sbe_rate_warn", std::nullopt, 10.0);
    Settings nvlink = monitor.section("nvlink", false);
    thresholds.nvlink_crc_rate_critical = nvlink.number("crc_rate_per_sec_critical", 100.0, 100.0);
    thresholds.nvlink_error_rate_critical =
        nvlink.number("error_rate_per_min_critical", 10.0, 10.0);
    thresholds.pcie_replay_rate_critical =
        monitor.section("pcie", false).number("replay_rate_per_min_critical", 8.0, 8.0);
    gpu_type = root.section("cluster", false).text("gpu_type", "");
    structural = monitor.flag("structural_monitoring", true);
  }
};

// The GPU inventory for the telemetry thread; nothing when the tool gave no answer in time
// (its count then says nothing about the GPUs).
std::optional<nb::object> known_inventory() {
  nb::object inventory = call_with_stop(host("detect_gpu_inventory"), nb::tuple(), nb::dict());
  if (truthy(nb::getattr(inventory, "no_answer", nb::none()))) return std::nullopt;
  return inventory;
}

// Why there is no telemetry when no tool call said why.
std::string no_backend_reason() {
  return nvml().is_none() ? "no NVML binding, and nvidia-smi listed no GPU"
                          : "NVML unusable, and nvidia-smi listed no GPU";
}

nb::object telemetry_unavailable(const std::optional<ToolFailure>& failure) {
  nb::dict details;
  if (failure) {
    details["tool"] = nb::str(failure->tool.c_str());
    details["reason"] = nb::str(failure->reason.c_str());
  } else {
    details["reason"] = nb::str(no_backend_reason().c_str());
  }
  return make_finding(nb::str("telemetry_unavailable"), nb::str("WARN"),
                      nb::str("GPU telemetry backend unavailable"), details);
}

class TelemetryWatch {
 public:
  TelemetryWatch(nb::handle config, nb::handle findings, nb::handle lock, nb::handle stop_event,
                 nb::handle last_output_at_ref, nb::handle bridge, nb::handle training_state,
                 nb::handle job_running_ref)
      : config_(config),
        findings_(findings),
        lock_(lock),
        stop_(stop_event),
        last_output_at_ref_(last_output_at_ref),
        bridge_(bridge),
        training_state_(training_state),
        job_running_ref_(job_running_ref),
        settings_(config, log_),
        events_(findings, lock, stop_event, log_) {
    context_.stop_event = stop_event;
    context_.log = &log_;
  }

  void run(nb::handle gpu_profile) {
    WatchScope scope(context_);
    if (!start(gpu_profile)) return;
    while (!stopped()) {
      context_.failure.reset();
      guarded_step(log_, "GPU telemetry poll failed", [&] { poll(); });
      // A tool that hung past its time-out is said once: telemetry has a gap from now on.
      if (context_.failure && context_.failure->timed_out && !hang_reported_ && !stopped()) {
        hang_reported_ = true;
        append_finding(findings_, lock_, telemetry_unavailable(context_.failure));
      }
      if (wait()) break;
    }
    events_.close();
    if (mode_.equal(nb::str("nvml"))) {
      nb::object binding = nvml();
      if (!binding.is_none()) quietly([&] { blocking_method(binding, "nvmlShutdown"); });
    }
  }

 private:
  bool stopped() { return truthy(stop_.attr("is_set")()); }
  // Waits one poll period for the stop event, watching the GPU events meanwhile. True when
  // stopped.
  bool wait() {
    if (!events_.active()) return truthy(blocking_method(stop_, "wait", settings_.poll));
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(settings_.poll);
    for (;;) {
      if (stopped()) return true;
      double left =
          std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0) return false;
      events_.wait_once(std::min(left, kEventSliceSeconds));
    }
  }

  const void* job_key() const { return stop_.ptr(); }

  // What the "watching:" line says of telemetry and GPU events; GPU events first, so the
  // line, printed once telemetry has spoken, has them.
  void report_sources() {
    std::string mode = nb::cast<std::string>(nb::str(mode_));
    if (mode == "nvml") {
      nb::object handles = backend_.attr("get")("handles", nb::list());
      report_source(job_key(), "gpu events", events_.open(handles));
      report_source(job_key(), "telemetry", "nvml, " + gpus_text(nb::len(handles)));
    } else if (mode == "shell" || mode == "injected") {
      report_source(job_key(), "telemetry",
                    (mode == "shell" ? "nvidia-smi, " : "injected, ") +
                        gpus_text(nb::len(backend_.attr("get")("snapshots", nb::list()))));
    } else {
      report_source(job_key(), "telemetry", "unavailable: " + unavailable_reason());
    }
  }

  static std::string gpus_text(std::size_t n) {
    return std::to_string(n) + (n == 1 ? " GPU" : " GPUs");
  }

  std::string unavailable_reason() const {
    if (context_.failure) return context_.failure->tool + " " + context_.failure->reason;
    return no_backend_reason();
  }

  // With NVML the runner takes the GPU count from here instead of running the tool (-1: not
  // known, the runner asks the tool).
  void report_gpu_count() {
    long count = -1;
    quietly([&] {
      count = nb::cast<long>(builtin("int")(blocking_method(nvml(), "nvmlDeviceGetCount")));
    });
    report_nvml_gpu_count(job_key(), count);
  }

  // Chooses the backend and announces it; false when there is nothing to poll.
  bool start(nb::handle gpu_profile) {
    nb::tuple chosen =
        nb::borrow<nb::tuple>(blocking_call(host("_build_nvml_backend"), nb::tuple()));
    mode_ = chosen[0];
    backend_ = chosen[1];
    // An inventory or profile that cannot be had leaves the count unknown and the links
    // probed at their default; watching goes on.
    nb::object inventory = nb::list();
    guarded_step(log_, "GPU inventory unavailable", [&] {
      if (auto known = known_inventory()) inventory = *known;
    });
    guarded_step(log_, "GPU profile unavailable", [&] {
      nb::object profile = nb::borrow(gpu_profile);
      if (!truthy(profile)) {
        nb::object raw_name =
            nb::len(inventory) > 0 ? nb::object(inventory[0].attr("name")) : settings_.gpu_type;
        nb::object names = get(backend_, "names");
        if (nb::len(inventory) == 0 && !names.is_none() && nb::len(names) > 0) raw_name = names[0];
        profile = host("detect_gpu_profile")(raw_name, config_);
      }
      if (!profile.attr("has_nvlink").is(nb::handle(Py_False))) {
        nb::object count = profile.attr("nvlink_link_count");
        if (truthy(count)) probe_ = count;
      }
    });

    guarded_step(log_, "watched sources not told", [&] { report_sources(); });
    if (mode_.equal(nb::str("none"))) {
      // A tool stopped before it answered (the job ended first) says nothing about it.
      if (context_.failure || !stopped()) {
        append_finding(findings_, lock_, telemetry_unavailable(context_.failure));
      }
      return false;
    }
    baseline_ = nb::len(inventory);
    bool injected = mode_.equal(nb::str("injected"));
    // Synthetic GPUs are counted as declared; the inventory check keeps to the real ones.
    Py_ssize_t count = injected ? nb::len(get(backend_, "snapshots")) : baseline_;
    nb::dict ready;
    ready["backend"] = mode_;
    ready["gpu_count"] = count;
    if (injected) ready["injected"] = true;
    std::string count_text = count > 0 ? std::to_string(count) : "unknown";
    std::string summary = "Telemetry backend " + nb::cast<std::string>(nb::str(mode_)) +
                          " attached to " + count_text + " GPU(s)";
    append_finding(
        findings_, lock_,
        make_finding(nb::str("telemetry_ready"), nb::str("INFO"), nb::str(summary.c_str()), ready));
    clock_ = host("_telemetry_clock");
    last_count_check_ = nb::cast<double>(clock_());
    return true;
  }

  nb::object read_snapshots() {
    nb::tuple args = nb::make_tuple(mode_, backend_);
    try {
      nb::dict kwargs;
      kwargs["link_count"] = probe_;
      return blocking_call(host("_read_gpu_snapshots"), args, kwargs);
    } catch (nb::python_error& e) {
      if (!e.matches(PyExc_TypeError)) throw;
      return blocking_call(host("_read_gpu_snapshots"), args);
    }
  }

  bool active_job(double now) {
    if (!job_running_ref_.is_none()) return truthy(job_running_ref_[0]);
    double window = std::max(settings_.poll * 6, 15.0);
    return now - nb::cast<double>(builtin("float")(last_output_at_ref_[0])) < window;
  }

  void poll() {
    if (mode_.equal(nb::str("nvml"))) report_gpu_count();
    nb::object snaps = read_snapshots();
    if (snaps.is_none() || nb::len(snaps) == 0) return;
    double now = nb::cast<double>(clock_());
    bool active = active_job(now);
    if (!bridge_.is_none() && truthy(nb::getattr(bridge_, "active", nb::bool_(false)))) {
      nb::object step = training_state_.is_none() ? nb::none() : get(training_state_, "step");
      nb::object phase = training_state_.is_none() ? nb::none() : get(training_state_, "phase");
      guarded_step(log_, "GPU metrics not sent", [&] {
        nb::dict kwargs;
        kwargs["step"] = step;
        kwargs["phase"] = phase;
        blocking_call(bridge_.attr("log_gpu_metrics"), nb::make_tuple(snaps), kwargs);
      });
    }
    // One snapshot that cannot be read is left out; the other GPUs are still watched.
    for (nb::handle snap : snaps) {
      guarded_step(log_, "GPU telemetry poll failed for one GPU", [&] { detect(snap, active); });
    }
    guarded_step(log_, "injected Xid events not reported", [&] { injected_xids(snaps); });
    if (settings_.structural && now - last_count_check_ >= 60) {
      last_count_check_ = now;
      std::optional<nb::object> inventory = known_inventory();
      if (!inventory) return;
      Py_ssize_t count = nb::len(*inventory);
      if (mon::inventory_shrank(static_cast<std::size_t>(baseline_),
                                static_cast<std::size_t>(count))) {
        append_finding(findings_, lock_,
                       inventory_shrink_finding(baseline_, count, mon::kInventoryShrankAtRuntime));
      }
    }
  }

  // Injected Xid events. Where NVML events are watched they take that path; elsewhere
  // there is no driver event path, so they become findings here, as the driver's own would.
  void injected_xids(nb::handle snaps) {
    if (!injection_on()) return;
    nb::object due = blocking_method(injection_engine(), "pending_xid_events");
    for (nb::handle event : due) {
      nb::object index = event[0], xid = event[1];
      if (events_.active()) {  // through the driver's event path, as a real Xid comes
        events_.injected_xid(index, xid);
        continue;
      }
      nb::object pci = nb::none();
      for (nb::handle snap : snaps) {
        if (get(snap, "index").equal(index)) pci = get(snap, "pci_bus_id");
      }
      nb::dict d;
      d["injected"] = true;
      std::string summary =
          "Injected XID {} on GPU " + nb::cast<std::string>(nb::str(index)) + " ({})";
      append_finding(findings_, lock_,
                     xid_finding(summary.c_str(), xid, index, pci, "injected", d));
    }
  }

  void detect(nb::handle snap, bool active) {
    int overflow = 0;
    nb::object index_obj = builtin("int")(snap.attr("get")("index", -1));
    long long value = PyLong_AsLongLongAndOverflow(index_obj.ptr(), &overflow);
    if (value == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow != 0) throw nb::value_error("GPU index out of range");
    std::int64_t index = value;
    // Findings from a snapshot that injection supplied or changed say so.
    bool injected = truthy(get(snap, "injected"));
    if (truthy(get(snap, "gpu_lost"))) {
      nb::dict d;
      d["gpu_index"] = index;
      if (injected) d["injected"] = true;
      std::string summary = "GPU " + std::to_string(index) + " was lost from NVML";
      append_finding(findings_, lock_,
                     make_finding(nb::str("metric_disappearance"), nb::str("CRITICAL"),
                                  nb::str(summary.c_str()), d));
      return;
    }
    if (truthy(get(snap, "query_error"))) return;
    std::vector<nb::object> links;
    mon::GpuSample sample = sample_of(snap, index, links);
    for (const auto& f : detectors_.run(sample, active, settings_.poll, settings_.thresholds)) {
      nb::object finding =
          telemetry_finding(f, sample, snap, links, settings_.thresholds.warn_temp);
      if (injected) finding.attr("details")["injected"] = true;
      append_finding(findings_, lock_, finding);
    }
  }

  nb::handle config_, findings_, lock_, stop_, last_output_at_ref_, bridge_, training_state_,
      job_running_ref_;
  LogOnce log_;
  WatchContext context_;
  TelemetrySettings settings_;
  nb::object mode_, backend_, clock_;
  nb::object probe_ = nb::int_(18);  // NVLink links to probe per GPU
  Py_ssize_t baseline_ = 0;
  double last_count_check_ = 0.0;
  bool hang_reported_ = false;
  mon::TelemetryDetectors detectors_;
  GpuEvents events_;
};

nb::object hardware_telemetry_loop(nb::handle config, nb::handle findings, nb::handle lock,
                                   nb::handle stop_event, nb::handle last_output_at_ref,
                                   nb::handle gpu_profile, nb::handle bridge,
                                   nb::handle training_state, nb::handle job_running_ref) {
  if (!PyDict_Check(config.ptr())) raise_type("config", "a dict", config);
  if (!PyList_Check(findings.ptr())) raise_type("findings", "a list", findings);
  if (!training_state.is_none() && !PyDict_Check(training_state.ptr())) {
    raise_type("training_state", "a dict or None", training_state);
  }
  if (!job_running_ref.is_none() && !PyList_Check(job_running_ref.ptr())) {
    raise_type("job_running_ref", "a list or None", job_running_ref);
  }
  return watcher_body("telemetry", findings, lock, stop_event, [&] {
    TelemetryWatch watch(config, findings, lock, stop_event, last_output_at_ref, bridge,
                         training_state, job_running_ref);
    watch.run(gpu_profile);
    return nb::none();
  });
}

// -- the GPU count of the runner's loop ---------------------------------------------------

// The helper thread's body: calls cell[0](**cell[1]) and leaves the result in cell[2] or
// the error in cell[3]. Plain host calls only, and nothing to release on the way out: at
// interpreter exit the host may end this thread by unwinding it.
PyObject* inventory_probe_entry(PyObject* cell, PyObject*) {
  PyObject* args = PyTuple_New(0);
  PyObject* result = args != nullptr
                         ? PyObject_Call(PyList_GetItem(cell, 0), args, PyList_GetItem(cell, 1))
                         : nullptr;
  Py_XDECREF(args);
  if (result != nullptr) {
    PyList_SetItem(cell, 2, result);
  } else {
    PyObject* error = PyErr_GetRaisedException();
    PyList_SetItem(cell, 3, error != nullptr ? error : Py_NewRef(Py_None));
  }
  Py_RETURN_NONE;
}

PyMethodDef inventory_probe_def = {"_inventory_probe", inventory_probe_entry, METH_NOARGS,
                                   "Counts the GPUs for the runner's loop."};

}  // namespace

InventoryProbe::InventoryProbe(nb::handle stop_event) : stop_(nb::borrow(stop_event)) {}

std::optional<Py_ssize_t> InventoryProbe::count(double seconds, nb::handle child) {
  if (!thread_.is_valid()) {
    nb::object fn = host("detect_gpu_inventory");
    nb::dict kwargs;
    if (takes_stop(fn)) kwargs["stop"] = stop_;
    nb::list cell;
    cell.append(fn);
    cell.append(kwargs);
    cell.append(nb::none());
    cell.append(nb::none());
    cell_ = cell;
    nb::object target = nb::steal(PyCFunction_NewEx(&inventory_probe_def, cell_.ptr(), nullptr));
    if (!target.is_valid()) throw nb::python_error();
    thread_ =
        nb::module_::import_("threading").attr("Thread")("target"_a = target, "daemon"_a = true);
    thread_.attr("start")();
  }
  // Short slices: the child's exit is seen at once, and signals reach the caller.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (truthy(thread_.attr("is_alive")())) {
    if (std::chrono::steady_clock::now() >= deadline || !child.attr("poll")().is_none()) {
      return std::nullopt;
    }
    thread_.attr("join")(0.05);
  }
  nb::list cell = nb::borrow<nb::list>(cell_);
  thread_ = nb::object();
  cell_ = nb::object();
  if (!cell[3].is_none()) {
    PyErr_SetRaisedException(nb::object(cell[3]).release().ptr());
    throw nb::python_error();
  }
  nb::object inventory = cell[2];
  if (truthy(nb::getattr(inventory, "no_answer", nb::none()))) return std::nullopt;
  return nb::len(inventory);
}

void bind_telemetry(nb::module_& m) {
  try {
    m.attr("pynvml") = nb::module_::import_("pynvml");
  } catch (nb::python_error&) {
    m.attr("pynvml") = nb::none();  // no binding: the tool or nothing
  }
  m.attr("_telemetry_clock") = import("time").attr("time");
  nb::dict masks;
  for (const auto& [bit, label] : mon::kThrottleReasonMasks) masks[nb::int_(bit)] = label;
  m.attr("THROTTLE_REASON_MASKS") = masks;
  nb::list phrases;
  for (const char* p : mon::kThrottleReasonTextPatterns) phrases.append(p);
  m.attr("THROTTLE_REASON_TEXT_PATTERNS") = nb::tuple(phrases);

  bind_gpu_snapshots(m);
  using Args = const std::vector<nb::handle>&;
  nb::object none = nb::none();
  def_plain(
      m, "_hardware_telemetry_loop",
      {{"config", {}},
       {"findings", {}},
       {"findings_lock", {}},
       {"stop_event", {}},
       {"last_output_at_ref", {}},
       {"gpu_profile", none},
       {"wandb_bridge", none},
       {"training_state", none},
       {"job_running_ref", none}},
      [](Args a) {
        return while_active(a[3], [&] {
          return hardware_telemetry_loop(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8]);
        });
      },
      "GPU telemetry thread: polls every GPU and runs the detectors.");
}

}  // namespace corvane::bindings
