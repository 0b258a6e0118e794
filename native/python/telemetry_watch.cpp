// GPU telemetry: snapshots from the nvidia-smi tool or from NVML, and the telemetry thread
// that runs the detectors over them.
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "../core/job/checks.hpp"
#include "../core/telemetry/detectors.hpp"
#include "../core/telemetry/finding_texts.hpp"
#include "../core/telemetry/telemetry_loop.hpp"
#include "../core/telemetry/telemetry_settings.hpp"
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
  return as_double(v);  // text where a number belongs raises TypeError
}

std::optional<mon::Num> counter(nb::handle v) {
  if (v.is_none()) return std::nullopt;
  return mon::Num{as_double(v), PyLong_Check(v.ptr()) != 0};
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
  auto flag = [&](const char* key) -> std::optional<bool> {
    nb::object v = snap.attr("get")(key);
    return v.is_none() ? std::nullopt : std::optional<bool>(truthy(v));
  };
  auto whole = [&](const char* key) -> std::optional<std::int64_t> {
    if (auto n = small_int(snap.attr("get")(key))) return *n;
    return std::nullopt;
  };
  s.remap_pending = flag("remap_pending");
  s.remap_failure = flag("remap_failure");
  s.retired_pending = flag("retired_pages_pending");
  s.persistence = flag("persistence_mode");
  s.ecc_mode = flag("ecc_mode");
  s.fabric_state = whole("fabric_state");
  s.fabric_status = whole("fabric_status");
  s.pcie_width = whole("pcie_width");
  s.pcie_width_max = whole("pcie_width_max");
  s.pcie_gen = whole("pcie_gen");
  s.pcie_gen_max = whole("pcie_gen_max");
  s.nvlink_up = whole("nvlink_links_up");
  nb::object down = snap.attr("get")("nvlink_links_down");
  if (PyList_Check(down.ptr())) {
    for (nb::handle link : down) {
      if (auto n = small_int(link)) s.nvlink_down.push_back(*n);
    }
  }
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

std::int64_t as_index(nb::handle value) {
  int overflow = 0;
  nb::object index = builtin("int")(value);
  long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
  if (v == -1 && PyErr_Occurred()) throw nb::python_error();
  if (overflow != 0) throw nb::value_error("GPU index out of range");
  return v;
}

// The host services of the core's telemetry loop: NVML, the tools, the injection engine,
// the job's findings and stop event.
class TelemetryWatch final : public mon::TelemetryHost {
 public:
  TelemetryWatch(nb::handle config, nb::handle findings, nb::handle lock, nb::handle stop_event,
                 nb::handle last_output_at_ref, nb::handle gpu_profile, nb::handle bridge,
                 nb::handle training_state, nb::handle job_running_ref)
      : config_(config),
        findings_(findings),
        lock_(lock),
        stop_(stop_event),
        last_output_at_ref_(last_output_at_ref),
        gpu_profile_(gpu_profile),
        bridge_(bridge),
        training_state_(training_state),
        job_running_ref_(job_running_ref),
        settings_(read_configuration(config, log_, mon::read_telemetry_settings)),
        events_(findings, lock, stop_event, log_) {
    context_.stop_event = stop_event;
    context_.log = &log_;
  }

  void run() {
    WatchScope scope(context_);
    mon::TelemetryLoop(*this, settings_.poll, settings_.structural, settings_.thresholds).run();
  }

  void step(const char* what, const std::function<void()>& fn) override {
    guarded_step(log_, what, fn);
  }
  bool stopped() override { return truthy(stop_.attr("is_set")()); }
  bool wait_for_stop(double seconds) override {
    return truthy(blocking_method(stop_, "wait", seconds));
  }
  double clock() override {
    if (!clock_.is_valid()) clock_ = host("_telemetry_clock");
    return nb::cast<double>(clock_());
  }
  double monotonic() override { return steady_seconds(); }

  std::string choose_backend() override {
    nb::tuple chosen =
        nb::borrow<nb::tuple>(blocking_call(host("_build_nvml_backend"), nb::tuple()));
    mode_ = chosen[0];
    backend_ = chosen[1];
    std::string storage;
    return std::string(utf8_of(nb::str(mode_), storage));
  }
  std::size_t backend_gpus() override {
    bool nvml_backend = mode_.equal(nb::str("nvml"));
    return nb::len(backend_.attr("get")(nvml_backend ? "handles" : "snapshots", nb::list()));
  }
  // The inventory (kept for the profile); nothing when the tool gave no answer in time.
  std::optional<std::size_t> read_inventory() override {
    nb::object inventory = call_with_stop(host("detect_gpu_inventory"), nb::tuple(), nb::dict());
    if (truthy(nb::getattr(inventory, "no_answer", nb::none()))) return std::nullopt;
    inventory_ = inventory;
    return nb::len(inventory);
  }
  std::pair<std::int64_t, std::int64_t> choose_link_probe() override {
    nb::object inventory = inventory_.is_valid() ? inventory_ : nb::list();
    nb::object profile = nb::borrow(gpu_profile_);
    if (!truthy(profile)) {
      nb::object raw_name = nb::len(inventory) > 0
                                ? nb::object(inventory[0].attr("name"))
                                : nb::object(from_exact_utf8(settings_.gpu_type));
      nb::object names = get(backend_, "names");
      if (nb::len(inventory) == 0 && !names.is_none() && nb::len(names) > 0) raw_name = names[0];
      profile = host("detect_gpu_profile")(raw_name, config_);
    }
    if (!profile.attr("has_nvlink").is(nb::handle(Py_False))) {
      nb::object count = profile.attr("nvlink_link_count");
      if (truthy(count)) probe_ = count;
    }
    // The generic fallback's link figures describe no particular GPU.
    nb::object name = profile.attr("name");
    if (PyUnicode_Check(name.ptr()) && exact_utf8(name) == "generic") return {0, 0};
    auto expected = [&](const char* field) -> std::int64_t {
      return small_int(nb::getattr(profile, field, nb::none())).value_or(0);
    };
    return {expected("pcie_expected_gen"), expected("pcie_expected_width")};
  }
  bool has_nvml_binding() override { return !nvml().is_none(); }
  std::optional<mon::ToolFailureText> tool_failure() override {
    if (!context_.failure) return std::nullopt;
    const ToolFailure& f = *context_.failure;
    return mon::ToolFailureText{f.tool, f.reason, f.timed_out};
  }
  void clear_tool_failure() override { context_.failure.reset(); }
  void report_source(const std::string& source, const std::string& how) override {
    bindings::report_source(stop_.ptr(), source, how);
  }
  void report_gpu_count() override {
    long count = -1;  // not known: the runner asks the tool
    quietly([&] {
      count = nb::cast<long>(builtin("int")(blocking_method(nvml(), "nvmlDeviceGetCount")));
    });
    report_nvml_gpu_count(stop_.ptr(), count);
  }
  void shutdown_nvml() override {
    nb::object binding = nvml();
    if (!binding.is_none()) quietly([&] { blocking_method(binding, "nvmlShutdown"); });
  }

  std::string open_gpu_events() override {
    return events_.open(backend_.attr("get")("handles", nb::list()));
  }
  bool gpu_events_active() override { return events_.active(); }
  void wait_gpu_events(double seconds) override { events_.wait_once(seconds); }
  void close_gpu_events() override { events_.close(); }

  std::size_t read_snapshots() override {
    nb::tuple args = nb::make_tuple(mode_, backend_);
    try {
      nb::dict kwargs;
      kwargs["link_count"] = probe_;
      snaps_ = blocking_call(host("_read_gpu_snapshots"), args, kwargs);
    } catch (nb::python_error& e) {
      if (!e.matches(PyExc_TypeError)) throw;
      snaps_ = blocking_call(host("_read_gpu_snapshots"), args);
    }
    return snaps_.is_none() ? 0 : nb::len(snaps_);
  }
  mon::SnapshotState snapshot_state(std::size_t i) override {
    nb::object snap = snaps_[i];
    mon::SnapshotState state;
    state.index = as_index(snap.attr("get")("index", -1));
    state.injected = truthy(get(snap, "injected"));
    state.gpu_lost = truthy(get(snap, "gpu_lost"));
    state.query_error = !state.gpu_lost && truthy(get(snap, "query_error"));
    return state;
  }
  mon::GpuSample sample(std::size_t i, std::int64_t index) override {
    links_.clear();
    return sample_of(snaps_[i], index, links_);
  }
  void send_metrics() override {
    if (!bridge_active(bridge_)) return;
    nb::object step = training_state_.is_none() ? nb::none() : get(training_state_, "step");
    nb::object phase = training_state_.is_none() ? nb::none() : get(training_state_, "phase");
    guarded_step(log_, "GPU metrics not sent", [&] {
      nb::dict kwargs;
      kwargs["step"] = step;
      kwargs["phase"] = phase;
      blocking_call(bridge_.attr("log_gpu_metrics"), nb::make_tuple(snaps_), kwargs);
    });
  }
  std::optional<bool> job_running() override {
    if (job_running_ref_.is_none()) return std::nullopt;
    return truthy(job_running_ref_[0]);
  }
  double last_output_at() override {
    return nb::cast<double>(builtin("float")(last_output_at_ref_[0]));
  }

  std::vector<std::string> pending_injected_xids() override {
    std::vector<std::string> indices;
    xids_.clear();
    if (!injection_on()) return indices;
    for (nb::handle event : blocking_method(injection_engine(), "pending_xid_events")) {
      nb::object index = event[0], xid = event[1];
      std::string storage;
      indices.emplace_back(utf8_of(nb::str(index), storage));
      xids_.emplace_back(index, xid);
    }
    return indices;
  }
  std::vector<std::string> pending_injected_kernel_lines() override {
    std::vector<std::string> lines;
    if (!injection_on()) return lines;
    for (nb::handle line : blocking_method(injection_engine(), "pending_kernel_lines")) {
      std::string storage;
      lines.emplace_back(utf8_of(nb::str(line), storage));
    }
    return lines;
  }
  void injected_xid_event(std::size_t k) override {
    events_.injected_xid(xids_[k].first, xids_[k].second);
  }
  void injected_xid_finding(std::size_t k, const std::string& summary) override {
    const auto& [index, xid] = xids_[k];
    nb::object pci = nb::none();
    for (nb::handle snap : snaps_) {
      if (get(snap, "index").equal(index)) pci = get(snap, "pci_bus_id");
    }
    nb::dict d;
    d["injected"] = true;
    append_finding(findings_, lock_, xid_finding(summary.c_str(), xid, index, pci, "injected", d));
  }

  void append(const mon::Finding& finding, std::optional<std::size_t> snapshot) override {
    nb::object snap = snapshot ? nb::object(snaps_[*snapshot]) : nb::none();
    append_finding(findings_, lock_, finding_of(finding, links_, snap));
  }

 private:
  nb::handle config_, findings_, lock_, stop_, last_output_at_ref_, gpu_profile_, bridge_,
      training_state_, job_running_ref_;
  LogOnce log_;
  WatchContext context_;
  mon::TelemetrySettings settings_;  // read once, at the thread's start
  nb::object mode_, backend_, clock_, inventory_, snaps_;
  nb::object probe_ = nb::int_(18);                      // NVLink links to probe per GPU
  std::vector<nb::object> links_;                        // the sample's link keys
  std::vector<std::pair<nb::object, nb::object>> xids_;  // injected (GPU index, xid)
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
    TelemetryWatch watch(config, findings, lock, stop_event, last_output_at_ref, gpu_profile,
                         bridge, training_state, job_running_ref);
    watch.run();
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
