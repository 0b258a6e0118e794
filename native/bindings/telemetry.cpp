// GPU telemetry: snapshots from the nvidia-smi tool or from NVML, and the telemetry thread
// that runs the detectors over them.
#include <cmath>
#include <string>
#include <unordered_set>
#include <vector>

#include "../common/pyfloat.hpp"
#include "../monitor/telemetry_detectors.hpp"
#include "finding_record.hpp"
#include "host_text.hpp"
#include "monitor_shared.hpp"

namespace corvane::bindings {
namespace {

using namespace nb::literals;
namespace mon = corvane::monitor;

constexpr const char* kMainQuery =
    "nvidia-smi --query-gpu=index,pci.bus_id,temperature.gpu,utilization.gpu,memory.used,"
    "memory.total,power.draw,power.limit,clocks_event_reasons.active,"
    "ecc.errors.corrected.volatile.total,ecc.errors.uncorrected.volatile.total "
    "--format=csv,noheader,nounits";
constexpr const char* kReplayQuery =
    "nvidia-smi --query-gpu=index,pcie.replay.counter --format=csv,noheader,nounits";

nb::object import(const char* name) { return nb::module_::import_(name); }
nb::object builtin(const char* name) { return import("builtins").attr(name); }
bool truthy(nb::handle v) {
  int r = PyObject_IsTrue(v.ptr());
  if (r < 0) throw nb::python_error();
  return r == 1;
}
nb::object get(nb::handle map, const char* key) { return map.attr("get")(key); }

// -- the shell backend ------------------------------------------------------------------

nb::object shell_numeric(nb::handle value) {
  if (value.is_none()) return nb::none();
  if (!PyUnicode_Check(value.ptr())) raise_type("value", "a str or None", value);
  nb::object text = value.attr("strip")().attr("strip")("[]");
  if (nb::len(text) == 0 || text.attr("upper")().equal(nb::str("N/A"))) return nb::none();
  PyObject* f = PyNumber_Float(text.ptr());
  if (f != nullptr) return nb::steal(f);
  if (PyErr_ExceptionMatches(PyExc_ValueError)) {
    PyErr_Clear();
    return nb::none();
  }
  throw nb::python_error();
}

nb::object int_or_none(nb::handle number) {
  if (number.is_none()) return nb::none();
  return builtin("int")(number);
}

nb::dict shell_pcie_replay_counters() {
  nb::dict out;
  nb::object result = host("run_shell")(kReplayQuery, "timeout"_a = 10);
  nb::object text = result.attr("stdout");
  if (!result.attr("returncode").equal(nb::int_(0)) || !truthy(text)) return out;
  for (nb::handle line : text.attr("splitlines")()) {
    nb::list fields;
    for (nb::handle f : line.attr("split")(",")) fields.append(f.attr("strip")());
    if (nb::len(fields) < 2) continue;
    nb::object index = shell_numeric(fields[0]), count = shell_numeric(fields[1]);
    if (index.is_none() || count.is_none()) continue;
    out[int_or_none(index)] = int_or_none(count);
  }
  return out;
}

nb::list build_shell_gpu_snapshot() {
  nb::list out;
  nb::object result = host("run_shell")(kMainQuery, "timeout"_a = 15);
  nb::object text = result.attr("stdout");
  if (!result.attr("returncode").equal(nb::int_(0)) || !truthy(text)) return out;
  nb::dict replay = shell_pcie_replay_counters();
  nb::handle normalize = host("_normalize_pci_address");
  for (nb::handle line : text.attr("splitlines")()) {
    nb::list fields;
    for (nb::handle f : line.attr("split")(",")) fields.append(f.attr("strip")());
    Py_ssize_t n = nb::len(fields);
    if (n < 10) continue;
    nb::object index = builtin("int")(fields[0]);  // not a number: ValueError, as documented
    nb::dict snap;
    snap["index"] = index;
    snap["pci_bus_id"] = normalize(fields[1]);
    const char* numeric[] = {"temperature_c",   "util_gpu",     "memory_used_mb",
                             "memory_total_mb", "power_draw_w", "power_limit_w"};
    for (int k = 0; k < 6; ++k) snap[numeric[k]] = shell_numeric(fields[2 + k]);
    snap["throttle_reasons_text"] = nb::str(fields[8]);
    snap["ecc_corrected"] = int_or_none(shell_numeric(fields[9]));
    snap["ecc_uncorrected"] = n < 11 ? nb::none() : int_or_none(shell_numeric(fields[10]));
    snap["pcie_replay"] = replay.attr("get")(index);
    snap["nvlink_errors"] = nb::dict();
    out.append(snap);
  }
  return out;
}

// -- the NVML backend -------------------------------------------------------------------

nb::object nvml() { return host("pynvml"); }

nb::object constant(nb::handle binding, const char* name) {
  return nb::getattr(binding, name, nb::none());
}

nb::tuple build_nvml_backend() {
  nb::object binding = nvml();
  if (!binding.is_none()) {
    bool initialised = false;
    try {
      binding.attr("nvmlInit")();
      initialised = true;
      long count = nb::cast<long>(builtin("int")(binding.attr("nvmlDeviceGetCount")()));
      nb::list handles;
      nb::dict pci_map;
      for (long i = 0; i < count; ++i) {
        nb::object handle = binding.attr("nvmlDeviceGetHandleByIndex")(i);
        nb::object info = binding.attr("nvmlDeviceGetPciInfo")(handle);
        pci_map[host("_normalize_pci_address")(nb::getattr(info, "busId", nb::str("")))] = i;
        handles.append(nb::make_tuple(i, handle));
      }
      nb::dict backend;
      backend["handles"] = handles;
      backend["pci_map"] = pci_map;
      return nb::make_tuple("nvml", backend);
    } catch (nb::python_error&) {
      // NVML came up but the devices could not be listed: leave it closed again.
      if (initialised) {
        try {
          binding.attr("nvmlShutdown")();
        } catch (nb::python_error&) {
        }
      }
    }
  }
  nb::list snapshots = build_shell_gpu_snapshot();
  nb::dict backend;
  backend["snapshots"] = snapshots;
  return nb::make_tuple(nb::len(snapshots) > 0 ? "shell" : "none", backend);
}

// A lost GPU: "GPU_IS_LOST" in the error's repr, or the binding's error code for it (the
// binding's own error class for that case has a repr without those words).
bool gpu_is_lost(nb::python_error& e, nb::handle binding) {
  std::string text = nb::cast<std::string>(nb::repr(e.value()));
  if (text.find("GPU_IS_LOST") != std::string::npos) return true;
  nb::object code = constant(binding, "NVML_ERROR_GPU_IS_LOST");
  nb::object value = nb::getattr(e.value(), "value", nb::none());
  return !code.is_none() && !value.is_none() && value.equal(code);
}

nb::list collect_nvml_snapshots(nb::handle backend, nb::handle link_count) {
  if (!PyLong_Check(link_count.ptr())) raise_type("link_count", "an int", link_count);
  nb::object binding = nvml();
  // The recovery counter is NVML_NVLINK_ERROR_DL_RECOVERY in the binding; the plain name
  // is tried first.
  nb::object recovery = constant(binding, "NVML_NVLINK_ERROR_RECOVERY");
  if (recovery.is_none()) recovery = constant(binding, "NVML_NVLINK_ERROR_DL_RECOVERY");
  std::vector<std::pair<const char*, nb::object>> counters = {
      {"replay", constant(binding, "NVML_NVLINK_ERROR_DL_REPLAY")},
      {"crc_flit", constant(binding, "NVML_NVLINK_ERROR_DL_CRC_FLIT")},
      {"crc_data", constant(binding, "NVML_NVLINK_ERROR_DL_CRC_DATA")},
      {"recovery", recovery}};
  nb::object throttle =
      nb::getattr(binding, "nvmlDeviceGetCurrentClocksThrottleReasons", nb::none());
  if (throttle.is_none())
    throttle = nb::getattr(binding, "nvmlDeviceGetCurrentClocksEventReasons", nb::none());
  long links = std::max(0L, nb::cast<long>(link_count));
  nb::handle normalize = host("_normalize_pci_address");
  nb::handle to_int = builtin("int");
  nb::handle to_float = builtin("float");

  nb::list out;
  for (nb::handle pair : backend["handles"]) {
    nb::object index = pair[0], handle = pair[1];
    nb::dict snap;
    snap["index"] = index;
    snap["nvlink_errors"] = nb::dict();
    try {
      nb::object info = binding.attr("nvmlDeviceGetPciInfo")(handle);
      snap["pci_bus_id"] = normalize(nb::getattr(info, "busId", nb::str("")));
      snap["temperature_c"] = to_float(
          binding.attr("nvmlDeviceGetTemperature")(handle, binding.attr("NVML_TEMPERATURE_GPU")));
      snap["util_gpu"] =
          to_float(binding.attr("nvmlDeviceGetUtilizationRates")(handle).attr("gpu"));
      nb::object mem = binding.attr("nvmlDeviceGetMemoryInfo")(handle);
      snap["memory_used_mb"] =
          nb::steal(PyNumber_TrueDivide(mem.attr("used").ptr(), nb::int_(1048576).ptr()));
      snap["memory_total_mb"] =
          nb::steal(PyNumber_TrueDivide(mem.attr("total").ptr(), nb::int_(1048576).ptr()));
      snap["power_draw_w"] = nb::steal(PyNumber_TrueDivide(
          binding.attr("nvmlDeviceGetPowerUsage")(handle).ptr(), nb::float_(1000.0).ptr()));
      snap["power_limit_w"] = nb::steal(PyNumber_TrueDivide(
          binding.attr("nvmlDeviceGetEnforcedPowerLimit")(handle).ptr(), nb::float_(1000.0).ptr()));
      if (throttle.is_none()) throw nb::attribute_error("no clock throttle reasons query");
      snap["throttle_reasons"] = to_int(throttle(handle));
      try {
        nb::object volatile_ecc = binding.attr("NVML_VOLATILE_ECC");
        snap["ecc_corrected"] = to_int(binding.attr("nvmlDeviceGetTotalEccErrors")(
            handle, binding.attr("NVML_MEMORY_ERROR_TYPE_CORRECTED"), volatile_ecc));
        snap["ecc_uncorrected"] = to_int(binding.attr("nvmlDeviceGetTotalEccErrors")(
            handle, binding.attr("NVML_MEMORY_ERROR_TYPE_UNCORRECTED"), volatile_ecc));
      } catch (nb::python_error&) {
        snap["ecc_corrected"] = nb::none();
        snap["ecc_uncorrected"] = nb::none();
      }
      try {
        snap["pcie_replay"] = to_int(binding.attr("nvmlDeviceGetPcieReplayCounter")(handle));
      } catch (nb::python_error&) {
        snap["pcie_replay"] = nb::none();
      }
      nb::dict nvlink = nb::borrow<nb::dict>(snap["nvlink_errors"]);
      for (long link = 0; link < links; ++link) {
        try {
          if (!truthy(binding.attr("nvmlDeviceGetNvLinkState")(handle, link))) continue;
          nb::dict link_errors;
          for (const auto& [name, code] : counters) {
            if (code.is_none()) continue;
            try {
              link_errors[name] =
                  to_int(binding.attr("nvmlDeviceGetNvLinkErrorCounter")(handle, link, code));
            } catch (nb::python_error&) {
            }
          }
          if (nb::len(link_errors) > 0) nvlink[nb::int_(link)] = link_errors;
        } catch (nb::python_error&) {
        }
      }
    } catch (nb::python_error& e) {
      if (gpu_is_lost(e, binding)) {
        snap["gpu_lost"] = true;
      } else {
        snap["query_error"] = nb::str(e.value());
      }
    } catch (nb::builtin_exception& e) {
      snap["query_error"] = e.what();
    }
    out.append(snap);
  }
  return out;
}

nb::object read_gpu_snapshots(nb::handle mode, nb::handle backend, nb::handle link_count) {
  if (!PyUnicode_Check(mode.ptr())) raise_type("backend_mode", "a str", mode);
  if (!PyDict_Check(backend.ptr())) raise_type("backend", "a dict", backend);
  if (!PyLong_Check(link_count.ptr())) raise_type("link_count", "an int", link_count);
  nb::object snapshots;
  std::string m = nb::cast<std::string>(mode);
  if (m == "nvml") {
    snapshots = host("_collect_nvml_snapshots")(backend, "link_count"_a = link_count);
  } else if (m == "shell") {
    snapshots = host("_build_shell_gpu_snapshot")();
  } else {
    snapshots = nb::list();
  }
  nb::object switch_on = import("os").attr("environ").attr("get")("CORVANE_INJECT", "");
  std::string on = nb::cast<std::string>(switch_on.attr("strip")().attr("lower")());
  if (on == "1" || on == "true" || on == "yes" || on == "on") {
    snapshots =
        import("corvane.injection").attr("engine").attr("intercept_gpu_snapshots")(snapshots);
  }
  if (!snapshots.is_none() && !PyList_Check(snapshots.ptr())) {
    raise_type("the injected snapshots", "a list or None", snapshots);
  }
  return snapshots;
}

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
  if (!text.is_none()) s.throttle_text = nb::cast<std::string>(nb::str(text));
  s.ecc_corrected = counter(get(snap, "ecc_corrected"));
  s.ecc_uncorrected = counter(get(snap, "ecc_uncorrected"));
  s.pcie_replay = counter(get(snap, "pcie_replay"));
  nb::object nvlink = snap.attr("get")("nvlink_errors", nb::dict());
  for (auto [link, counters] : nb::borrow<nb::dict>(nvlink)) {
    mon::GpuSample::Link l;
    l.link = nb::cast<std::int64_t>(builtin("int")(link));
    for (auto [key, value] : nb::borrow<nb::dict>(counters)) {
      if (auto n = counter(value)) l.counters.push_back({nb::cast<std::string>(nb::str(key)), *n});
    }
    links.push_back(nb::borrow(link));
    s.nvlink.push_back(std::move(l));
  }
  return s;
}

std::string fixed(nb::handle value, int digits) {
  std::string spec = "." + std::to_string(digits) + "f";
  return nb::cast<std::string>(
      nb::steal(PyObject_Format(value.ptr(), nb::str(spec.c_str()).ptr())));
}

nb::object telemetry_finding(const mon::TelemetryFinding& f, const mon::GpuSample& s,
                             nb::handle snap, const std::vector<nb::object>& links,
                             double warn_temp) {
  using K = mon::TelemetryFinding;
  std::string gpu = "GPU " + std::to_string(s.index) + " ";
  nb::dict d;
  d["gpu_index"] = s.index;
  const char* type = "";
  std::string summary;
  const char* severity = f.critical ? "CRITICAL" : "WARN";
  switch (f.kind) {
    case K::kThermalCritical:
    case K::kThermalWarn: {
      type = "thermal_warning";
      nb::object temp = get(snap, "temperature_c");
      summary = f.kind == K::kThermalCritical
                    ? gpu + "temperature reached " + fixed(temp, 1) + "C"
                    : gpu + "temperature stayed above " + fixed(nb::float_(warn_temp), 0) + "C";
      d["temperature_c"] = temp;
      break;
    }
    case K::kEccDbe:
      type = "ecc_dbe";
      summary = gpu + "reported a new uncorrectable ECC error";
      d["delta"] = num_object(f.delta);
      break;
    case K::kEccSbeRate:
      type = "ecc_sbe_rate";
      summary = gpu + "correctable ECC error rate is elevated";
      d["rate_per_hour"] = f.rate;
      break;
    case K::kThrottleMask:
      type = "clock_throttle";
      summary = gpu + "reported " + f.label;
      d["mask"] = f.mask;
      break;
    case K::kThrottleText:
      type = "clock_throttle";
      summary = gpu + "reported active clock throttling";
      d["reason"] = nb::str(s.throttle_text.c_str());
      break;
    case K::kLowUtil:
      type = "low_gpu_util";
      summary = gpu + "utilization stayed below 10%";
      d["util_gpu"] = get(snap, "util_gpu");
      break;
    case K::kMemoryDrop:
      type = "memory_drop";
      summary = gpu + "memory usage dropped suddenly";
      d["before_mb"] = f.before;
      d["after_mb"] = f.after;
      break;
    case K::kPowerHigh:
    case K::kPowerLow:
      type = "power_anomaly";
      summary = f.kind == K::kPowerHigh ? gpu + "power draw exceeded expected limit"
                                        : gpu + "power draw stayed unusually low for a busy device";
      d["power_draw_w"] = f.before;
      d["power_limit_w"] = f.after;
      if (f.kind == K::kPowerLow) d["util_gpu"] = get(snap, "util_gpu");
      break;
    case K::kNvlink: {
      type = "nvlink_errors";
      const auto& link = s.nvlink[f.link_pos];
      const std::string& key = link.counters[f.counter_pos].key;
      summary = gpu + "link " + std::to_string(link.link) + " accumulated " + key + " errors";
      d["link"] = links[f.link_pos];
      d["counter"] = nb::str(key.c_str());
      d["delta"] = num_object(f.delta);
      break;
    }
    case K::kPcieReplay:
      type = "pcie_replay";
      summary = f.critical ? gpu + "PCIe replay rate stayed above threshold"
                           : gpu + "PCIe replay rate exceeded threshold";
      d["delta"] = num_object(f.delta);
      d["rate_per_min"] = f.rate;
      break;
  }
  return make_finding(nb::str(type), nb::str(severity), nb::str(summary.c_str()), d);
}

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
  auto as_float = [](nb::handle v) { return nb::cast<double>(builtin("float")(v)); };
  nb::object monitor = config["monitor"];
  double poll = as_float(host("parse_duration")(nb::str(monitor["poll_interval"])));
  if (poll < 1) poll = 1;
  mon::Thresholds t;
  t.warn_temp = as_float(config["thermal"]["warn"]);
  t.critical_temp = as_float(config["thermal"]["critical"]);
  t.ecc_warn_rate = as_float(config["ecc"]["sbe_rate_warn"]);
  nb::object nvlink_cfg = monitor.attr("get")("nvlink", nb::dict());
  nb::object pcie_cfg = monitor.attr("get")("pcie", nb::dict());
  t.nvlink_crc_rate_critical = as_float(nvlink_cfg.attr("get")("crc_rate_per_sec_critical", 100));
  t.nvlink_error_rate_critical =
      as_float(nvlink_cfg.attr("get")("error_rate_per_min_critical", 10));
  t.pcie_replay_rate_critical = as_float(pcie_cfg.attr("get")("replay_rate_per_min_critical", 8));
  nb::object gpu_type =
      nb::str(config.attr("get")("cluster", nb::dict()).attr("get")("gpu_type", ""));
  bool structural = truthy(monitor.attr("get")("structural_monitoring", true));

  nb::tuple chosen = nb::borrow<nb::tuple>(host("_build_nvml_backend")());
  nb::object mode = chosen[0], backend = chosen[1];
  nb::object inventory = host("detect_gpu_inventory")();
  nb::object raw_name = nb::len(inventory) > 0 ? nb::object(inventory[0].attr("name")) : gpu_type;
  nb::object profile =
      truthy(gpu_profile) ? nb::borrow(gpu_profile) : host("detect_gpu_profile")(raw_name, config);
  nb::object has_nvlink = profile.attr("has_nvlink");
  nb::object link_count = has_nvlink.is(nb::handle(Py_False))
                              ? nb::object(nb::int_(0))
                              : nb::object(profile.attr("nvlink_link_count"));
  nb::object probe = truthy(link_count) ? link_count : nb::object(nb::int_(18));

  if (mode.equal(nb::str("none"))) {
    append_finding(findings, lock,
                   make_finding(nb::str("telemetry_unavailable"), nb::str("WARN"),
                                nb::str("GPU telemetry backend unavailable"), nb::dict()));
    return nb::none();
  }
  Py_ssize_t baseline = nb::len(inventory);
  nb::dict ready;
  ready["backend"] = mode;
  ready["gpu_count"] = baseline;
  std::string count_text = baseline > 0 ? std::to_string(baseline) : "unknown";
  append_finding(findings, lock,
                 make_finding(nb::str("telemetry_ready"), nb::str("INFO"),
                              nb::str(("Telemetry backend " + nb::cast<std::string>(nb::str(mode)) +
                                       " attached to " + count_text + " GPU(s)")
                                          .c_str()),
                              ready));

  mon::TelemetryDetectors detectors;
  std::unordered_set<std::string> logged;
  nb::object clock = host("_telemetry_clock");
  double last_count_check = nb::cast<double>(clock());
  auto wait = [&] { return truthy(stop_event.attr("wait")(poll)); };
  while (!truthy(stop_event.attr("is_set")())) {
    try {
      nb::object snaps;
      try {
        snaps = host("_read_gpu_snapshots")(mode, backend, "link_count"_a = probe);
      } catch (nb::python_error& e) {
        if (!e.matches(PyExc_TypeError)) throw;
        snaps = host("_read_gpu_snapshots")(mode, backend);
      }
      if (snaps.is_none() || nb::len(snaps) == 0) {
        if (wait()) break;
        continue;
      }
      double now = nb::cast<double>(clock());
      bool active;
      if (!job_running_ref.is_none()) {
        active = truthy(job_running_ref[0]);
      } else {
        double window = std::max(poll * 6, 15.0);
        active = now - nb::cast<double>(builtin("float")(last_output_at_ref[0])) < window;
      }
      if (!bridge.is_none() && truthy(nb::getattr(bridge, "active", nb::bool_(false)))) {
        nb::object step = training_state.is_none() ? nb::none() : get(training_state, "step");
        nb::object phase = training_state.is_none() ? nb::none() : get(training_state, "phase");
        bridge.attr("log_gpu_metrics")(snaps, "step"_a = step, "phase"_a = phase);
      }
      for (nb::handle snap : snaps) {
        std::int64_t index = nb::cast<std::int64_t>(builtin("int")(snap.attr("get")("index", -1)));
        if (truthy(get(snap, "gpu_lost"))) {
          nb::dict d;
          d["gpu_index"] = index;
          append_finding(
              findings, lock,
              make_finding(
                  nb::str("metric_disappearance"), nb::str("CRITICAL"),
                  nb::str(("GPU " + std::to_string(index) + " was lost from NVML").c_str()), d));
          continue;
        }
        if (truthy(get(snap, "query_error"))) continue;
        std::vector<nb::object> links;
        mon::GpuSample sample = sample_of(snap, index, links);
        for (const auto& f : detectors.run(sample, active, poll, t)) {
          append_finding(findings, lock, telemetry_finding(f, sample, snap, links, t.warn_temp));
        }
      }
      if (structural && now - last_count_check >= 60) {
        Py_ssize_t count = nb::len(host("detect_gpu_inventory")());
        if (baseline != 0 && count < baseline) {
          append_finding(findings, lock,
                         inventory_shrink_finding(
                             baseline, count, "GPU inventory shrank during runtime monitoring"));
        }
        last_count_check = now;
      }
    } catch (nb::python_error& e) {
      // One bad poll (a backend, the bridge, odd values) must not end GPU telemetry for the
      // rest of the job: log it once and poll again.
      std::string text = nb::cast<std::string>(nb::str(e.type().attr("__name__"))) + ": " +
                         nb::cast<std::string>(nb::str(e.value()));
      if (logged.insert(text).second)
        host("log").attr("warning")("GPU telemetry poll failed: %s", text);
    }
    if (wait()) break;
  }
  if (mode.equal(nb::str("nvml"))) {
    nb::object binding = nvml();
    if (!binding.is_none()) {
      try {
        binding.attr("nvmlShutdown")();
      } catch (nb::python_error&) {
      }
    }
  }
  return nb::none();
}

PyObject* telemetry_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {
      "config",      "findings",     "findings_lock",  "stop_event",      "last_output_at_ref",
      "gpu_profile", "wandb_bridge", "training_state", "job_running_ref", nullptr};
  PyObject *config, *findings, *lock, *stop, *last, *profile = Py_None, *bridge = Py_None,
                                                    *state = Py_None, *running = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO|OOOO", const_cast<char**>(names), &config,
                                   &findings, &lock, &stop, &last, &profile, &bridge, &state,
                                   &running)) {
    return nullptr;
  }
  return guarded_call([&] {
    ActiveScope active(stop);
    return hardware_telemetry_loop(config, findings, lock, stop, last, profile, bridge, state,
                                   running);
  });
}

PyMethodDef telemetry_def = {
    "_hardware_telemetry_loop",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(telemetry_entry)),
    METH_VARARGS | METH_KEYWORDS,
    "_hardware_telemetry_loop(config, findings, findings_lock, stop_event, last_output_at_ref, "
    "gpu_profile=None, wandb_bridge=None, training_state=None, job_running_ref=None)\n--\n\n"
    "GPU telemetry thread: polls every GPU and runs the detectors."};

}  // namespace

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

  m.def("_shell_numeric", &shell_numeric, "value"_a.none());
  m.def("_build_shell_gpu_snapshot", &build_shell_gpu_snapshot);
  m.def("_shell_pcie_replay_counters", &shell_pcie_replay_counters);
  m.def("_build_nvml_backend", &build_nvml_backend);
  m.def("_collect_nvml_snapshots", &collect_nvml_snapshots, "backend"_a,
        "link_count"_a.none() = 18);
  m.def("_read_gpu_snapshots", &read_gpu_snapshots, "backend_mode"_a.none(), "backend"_a.none(),
        "link_count"_a.none() = 18);
  PyObject* fn = PyCFunction_NewEx(&telemetry_def, nullptr, m.attr("__name__").ptr());
  if (fn == nullptr) throw nb::python_error();
  m.attr("_hardware_telemetry_loop") = nb::steal(fn);
}

}  // namespace corvane::bindings
