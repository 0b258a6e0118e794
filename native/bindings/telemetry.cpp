// GPU telemetry: snapshots from the nvidia-smi tool or from NVML, and the telemetry thread
// that runs the detectors over them.
#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "../common/pyfloat.hpp"
#include "../monitor/telemetry_detectors.hpp"
#include "finding_record.hpp"
#include "host_text.hpp"
#include "inventory_probe.hpp"
#include "monitor_shared.hpp"
#include "settings.hpp"
#include "thread_guard.hpp"

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

// int() of a parsed field; None when it is no finite number (the tool printed "nan" or a
// value beyond a double's range), which no counter can be.
nb::object int_or_none(nb::handle number) {
  if (number.is_none()) return nb::none();
  if (!std::isfinite(PyFloat_AsDouble(number.ptr()))) {
    PyErr_Clear();
    return nb::none();
  }
  return builtin("int")(number);
}

// Runs one tool query through the host's run_shell (ended early by the thread's stop event
// on a watcher thread). Returns its output, or nothing when the tool gave no usable answer;
// the watcher learns why.
std::optional<nb::object> tool_output(const char* command, int timeout) {
  nb::dict kwargs;
  kwargs["timeout"] = timeout;
  nb::object result = call_with_stop(host("run_shell"), nb::make_tuple(command), kwargs);
  nb::object text = result.attr("stdout");
  std::string tool(command, std::strcspn(command, " "));
  if (truthy(nb::getattr(result, "timed_out", nb::bool_(false)))) {
    note_tool_failure({tool, "no answer within " + std::to_string(timeout) + " s", true});
    return std::nullopt;
  }
  if (truthy(nb::getattr(result, "cancelled", nb::bool_(false)))) return std::nullopt;
  nb::object status = result.attr("returncode");
  if (!status.equal(nb::int_(0))) {
    note_tool_failure({tool, "exited with status " + nb::cast<std::string>(nb::str(status))});
    return std::nullopt;
  }
  if (!truthy(text)) {
    note_tool_failure({tool, "printed nothing"});
    return std::nullopt;
  }
  return text;
}

nb::list csv_fields(nb::handle line) {
  nb::list fields;
  for (nb::handle f : line.attr("split")(",")) fields.append(f.attr("strip")());
  return fields;
}

nb::dict shell_pcie_replay_counters() {
  nb::dict out;
  std::optional<nb::object> text = tool_output(kReplayQuery, 10);
  if (!text) return out;
  for (nb::handle line : text->attr("splitlines")()) {
    nb::list fields = csv_fields(line);
    if (nb::len(fields) < 2) continue;
    nb::object index = int_or_none(shell_numeric(fields[0]));
    nb::object count = int_or_none(shell_numeric(fields[1]));
    if (index.is_none() || count.is_none()) continue;
    out[index] = count;
  }
  return out;
}

// One row of the main query; nothing for a row with too few fields. A row whose index is
// no integer raises ValueError.
std::optional<nb::dict> shell_row_snapshot(nb::handle line, nb::handle replay) {
  nb::list fields = csv_fields(line);
  Py_ssize_t n = nb::len(fields);
  if (n < 10) return std::nullopt;
  nb::object index = builtin("int")(fields[0]);
  nb::dict snap;
  snap["index"] = index;
  snap["pci_bus_id"] = host("_normalize_pci_address")(fields[1]);
  const char* numeric[] = {"temperature_c",   "util_gpu",     "memory_used_mb",
                           "memory_total_mb", "power_draw_w", "power_limit_w"};
  for (int k = 0; k < 6; ++k) snap[numeric[k]] = shell_numeric(fields[2 + k]);
  snap["throttle_reasons_text"] = nb::str(fields[8]);
  snap["ecc_corrected"] = int_or_none(shell_numeric(fields[9]));
  snap["ecc_uncorrected"] = n < 11 ? nb::none() : int_or_none(shell_numeric(fields[10]));
  snap["pcie_replay"] = replay.attr("get")(index);
  snap["nvlink_errors"] = nb::dict();
  return snap;
}

nb::list build_shell_gpu_snapshot() {
  nb::list out;
  std::optional<nb::object> text = tool_output(kMainQuery, 15);
  if (!text) return out;
  nb::dict replay = shell_pcie_replay_counters();
  for (nb::handle line : text->attr("splitlines")()) {
    // A row that cannot be read (its index is no integer) is left out; the other GPUs
    // are still watched.
    guarded_step(thread_log(), "nvidia-smi row skipped", [&] {
      if (auto snap = shell_row_snapshot(line, replay)) out.append(*snap);
    });
  }
  return out;
}

// -- the NVML backend -------------------------------------------------------------------

nb::object nvml() { return host("pynvml"); }

// -- fault injection ---------------------------------------------------------------------

// $CORVANE_INJECT (and $CORVANE_INJECT_NODES), read at every use so that it takes effect
// at the next poll.
bool injection_on() {
  return truthy(import("corvane.injection.engine").attr("injection_enabled")());
}

nb::object injection_engine() { return import("corvane.injection").attr("engine"); }

nb::object constant(nb::handle binding, const char* name) {
  return nb::getattr(binding, name, nb::none());
}

nb::tuple build_nvml_backend() {
  nb::object binding = nvml();
  if (!binding.is_none()) {
    bool initialised = false;
    try {
      blocking_method(binding, "nvmlInit");
      initialised = true;
      long count = nb::cast<long>(builtin("int")(blocking_method(binding, "nvmlDeviceGetCount")));
      nb::list handles;
      nb::dict pci_map;
      for (long i = 0; i < count; ++i) {
        nb::object handle = blocking_method(binding, "nvmlDeviceGetHandleByIndex", i);
        nb::object info = blocking_method(binding, "nvmlDeviceGetPciInfo", handle);
        pci_map[host("_normalize_pci_address")(nb::getattr(info, "busId", nb::str("")))] = i;
        handles.append(nb::make_tuple(i, handle));
      }
      nb::dict backend;
      backend["handles"] = handles;
      backend["pci_map"] = pci_map;
      return nb::make_tuple("nvml", backend);
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      // NVML came up but the devices could not be listed: leave it closed again.
      if (initialised) quietly([&] { blocking_method(binding, "nvmlShutdown"); });
    }
  }
  nb::list snapshots = build_shell_gpu_snapshot();
  nb::dict backend;
  backend["snapshots"] = snapshots;
  if (nb::len(snapshots) == 0 && injection_on()) {
    // No real telemetry: a rehearsal polls the synthetic GPUs its rules declare.
    nb::object engine = injection_engine();
    nb::object synthetic = blocking_method(engine, "synthetic_snapshots");
    if (truthy(synthetic)) {
      backend["snapshots"] = synthetic;
      backend["names"] = blocking_method(engine, "synthetic_gpu_names");
      return nb::make_tuple("injected", backend);
    }
  }
  return nb::make_tuple(nb::len(snapshots) > 0 ? "shell" : "none", backend);
}

// A lost GPU: "GPU_IS_LOST" in the error's repr, or the binding's error code for it (the
// binding's own error class for that case has a repr without those words).
bool gpu_is_lost(nb::python_error& e, nb::handle binding) {
  std::string storage;
  if (utf8_of(nb::repr(e.value()), storage).find("GPU_IS_LOST") != std::string::npos) return true;
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
      nb::object info = blocking_method(binding, "nvmlDeviceGetPciInfo", handle);
      snap["pci_bus_id"] = normalize(nb::getattr(info, "busId", nb::str("")));
      snap["temperature_c"] = to_float(blocking_method(binding, "nvmlDeviceGetTemperature", handle,
                                                       binding.attr("NVML_TEMPERATURE_GPU")));
      snap["util_gpu"] =
          to_float(blocking_method(binding, "nvmlDeviceGetUtilizationRates", handle).attr("gpu"));
      nb::object mem = blocking_method(binding, "nvmlDeviceGetMemoryInfo", handle);
      snap["memory_used_mb"] =
          nb::steal(PyNumber_TrueDivide(mem.attr("used").ptr(), nb::int_(1048576).ptr()));
      snap["memory_total_mb"] =
          nb::steal(PyNumber_TrueDivide(mem.attr("total").ptr(), nb::int_(1048576).ptr()));
      snap["power_draw_w"] = nb::steal(
          PyNumber_TrueDivide(blocking_method(binding, "nvmlDeviceGetPowerUsage", handle).ptr(),
                              nb::float_(1000.0).ptr()));
      snap["power_limit_w"] = nb::steal(PyNumber_TrueDivide(
          blocking_method(binding, "nvmlDeviceGetEnforcedPowerLimit", handle).ptr(),
          nb::float_(1000.0).ptr()));
      if (throttle.is_none()) throw nb::attribute_error("no clock throttle reasons query");
      snap["throttle_reasons"] = to_int(blocking_call(throttle, nb::make_tuple(handle)));
      try {
        nb::object volatile_ecc = binding.attr("NVML_VOLATILE_ECC");
        snap["ecc_corrected"] =
            to_int(blocking_method(binding, "nvmlDeviceGetTotalEccErrors", handle,
                                   binding.attr("NVML_MEMORY_ERROR_TYPE_CORRECTED"), volatile_ecc));
        snap["ecc_uncorrected"] = to_int(
            blocking_method(binding, "nvmlDeviceGetTotalEccErrors", handle,
                            binding.attr("NVML_MEMORY_ERROR_TYPE_UNCORRECTED"), volatile_ecc));
      } catch (nb::python_error&) {
        snap["ecc_corrected"] = nb::none();
        snap["ecc_uncorrected"] = nb::none();
      }
      try {
        snap["pcie_replay"] =
            to_int(blocking_method(binding, "nvmlDeviceGetPcieReplayCounter", handle));
      } catch (nb::python_error&) {
        snap["pcie_replay"] = nb::none();
      }
      nb::dict nvlink = nb::borrow<nb::dict>(snap["nvlink_errors"]);
      for (long link = 0; link < links; ++link) {
        try {
          if (!truthy(blocking_method(binding, "nvmlDeviceGetNvLinkState", handle, link))) continue;
          nb::dict link_errors;
          for (const auto& [name, code] : counters) {
            if (code.is_none()) continue;
            try {
              link_errors[name] = to_int(
                  blocking_method(binding, "nvmlDeviceGetNvLinkErrorCounter", handle, link, code));
            } catch (nb::python_error&) {
            }
          }
          if (nb::len(link_errors) > 0) nvlink[nb::int_(link)] = link_errors;
        } catch (nb::python_error&) {
        }
      }
    } catch (nb::python_error& e) {
      bool lost = false;
      quietly([&] { lost = gpu_is_lost(e, binding); });
      if (lost) {
        snap["gpu_lost"] = true;
      } else {
        nb::object text = nb::getattr(e.type(), "__name__", nb::str("error"));
        quietly([&] { text = nb::str(e.value()); });
        snap["query_error"] = text;
      }
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      std::string error = current_error_line();
      snap["query_error"] = nb::str(error.data(), error.size());
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
  bool inject = injection_on();
  if (m == "nvml") {
    nb::dict kwargs;
    kwargs["link_count"] = link_count;
    snapshots = blocking_call(host("_collect_nvml_snapshots"), nb::make_tuple(backend), kwargs);
  } else if (m == "shell") {
    snapshots = blocking_call(host("_build_shell_gpu_snapshot"), nb::tuple());
  } else if (m == "injected" && inject) {
    snapshots = blocking_method(injection_engine(), "synthetic_snapshots");
  } else {
    snapshots = nb::list();
  }
  if (inject) {
    snapshots = blocking_method(injection_engine(), "intercept_gpu_snapshots", snapshots);
  }
  if (!snapshots.is_none() && !PyList_Check(snapshots.ptr())) {
    raise_type("the injected snapshots", "a list or None", snapshots);
  }
  return snapshots;
}

// -- GPU events from NVML ------------------------------------------------------------------
//
// With NVML the driver's Xid and ECC events come through an event set, also inside a
// container whose kernel log cannot be read. The telemetry thread waits on the set between
// its polls, in short slices; the binding's wait lets go of the interpreter while it waits.

constexpr double kEventSliceSeconds = 0.25;  // how soon a stop is seen while waiting
constexpr unsigned long long kNoInstance = 0xFFFFFFFFull;

std::uint64_t as_mask(nb::handle value) {
  nb::object as_int = builtin("int")(value);
  std::uint64_t mask = PyLong_AsUnsignedLongLongMask(as_int.ptr());
  if (mask == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) throw nb::python_error();
  return mask;
}

// Whether a binding error carries NVML's error code `name` (also under a class of its own
// whose repr leaves the words out).
bool nvml_error_is(nb::python_error& e, nb::handle binding, const char* name, const char* cls) {
  bool match = false;
  quietly([&] {
    std::string storage;
    if (utf8_of(nb::str(e.type().attr("__name__")), storage) == cls) {
      match = true;
      return;
    }
    nb::object code = constant(binding, name);
    nb::object value = nb::getattr(e.value(), "value", nb::none());
    match = !code.is_none() && !value.is_none() && value.equal(code);
  });
  return match;
}

class GpuEvents {
 public:
  GpuEvents(nb::handle findings, nb::handle lock, nb::handle stop_event, LogOnce& log)
      : findings_(findings), lock_(lock), stop_(stop_event), log_(log) {}

  bool active() const { return set_.is_valid(); }

  // Creates the event set and registers each device for the events it supports. Returns
  // what the "watching:" line says of GPU events.
  std::string open(nb::handle handles) {
    binding_ = nvml();
    if (binding_.is_none()) return "unavailable: no NVML binding";
    nb::object set;
    try {
      xid_mask_ = as_mask(binding_.attr("nvmlEventTypeXidCriticalError"));
      dbe_mask_ = as_mask(binding_.attr("nvmlEventTypeDoubleBitEccError"));
      sbe_mask_ = as_mask(binding_.attr("nvmlEventTypeSingleBitEccError"));
      set = blocking_method(binding_, "nvmlEventSetCreate");
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      return "unavailable: " + current_error_line();
    }
    ctypes_ = nb::steal(PyImport_ImportModule("ctypes"));
    if (!ctypes_.is_valid()) PyErr_Clear();
    for (nb::handle pair : handles) {
      guarded_step(log_, "GPU events not watched on one GPU", [&] { add(pair, set); });
    }
    if (devices_.empty()) {
      quietly([&] { blocking_method(binding_, "nvmlEventSetFree", set); });
      return "unavailable: no GPU reports events";
    }
    set_ = set;
    return "nvml";
  }

  // Waits at most `seconds` for one event and turns it into findings.
  void wait_once(double seconds) {
    int ms = std::max(1, static_cast<int>(seconds * 1000.0));
    nb::object data;
    try {
      data = blocking_method(binding_, "nvmlEventSetWait_v2", set_, ms);
    } catch (nb::python_error& e) {
      if (nvml_error_is(e, binding_, "NVML_ERROR_TIMEOUT", "NVMLError_Timeout")) return;
      if (!e.matches(PyExc_Exception)) throw;
      // Said once per distinct error; a lost GPU is named by the next poll. The rest of
      // the slice is waited out so that an error that comes at once is no busy loop.
      log_.warn("GPU event wait failed: " + python_error_line(e));
      blocking_method(stop_, "wait", seconds);
      return;
    }
    guarded_step(log_, "GPU event skipped", [&] { take(data); });
  }

  // An Xid of a fault-injection rule, taken as the driver's own event on that GPU.
  void injected_xid(nb::handle index, nb::handle xid) {
    nb::object pci = nb::none();
    for (const Device& d : devices_) {
      if (d.index.equal(index)) pci = d.pci;
    }
    nb::dict details;
    details["injected"] = true;
    event_xid(nb::borrow(index), pci, nb::borrow(xid), details);
  }

  // Frees the event set (before NVML is shut down).
  void close() {
    if (!set_.is_valid()) return;
    quietly([&] { blocking_method(binding_, "nvmlEventSetFree", set_); });
    set_ = nb::object();
  }

 private:
  struct Device {
    nb::object index, handle, pci;
    nb::object address;  // the handle's pointer value, None for a handle that is no pointer
  };

  nb::object address_of(nb::handle handle) {
    nb::object address = nb::none();
    if (ctypes_.is_valid()) {
      quietly(
          [&] { address = ctypes_.attr("cast")(handle, ctypes_.attr("c_void_p")).attr("value"); });
    }
    return address;
  }

  void add(nb::handle pair, nb::handle set) {
    nb::object index = pair[0], handle = pair[1];
    std::uint64_t wanted = 0;
    try {
      wanted = as_mask(blocking_method(binding_, "nvmlDeviceGetSupportedEventTypes", handle)) &
               (xid_mask_ | dbe_mask_ | sbe_mask_);
      if (wanted == 0) return;  // a device without these events is skipped
      blocking_method(binding_, "nvmlDeviceRegisterEvents", handle,
                      nb::steal(PyLong_FromUnsignedLongLong(wanted)), set);
    } catch (nb::python_error& e) {
      // Not supported: skipped. Lost: the poll reports it.
      if (nvml_error_is(e, binding_, "NVML_ERROR_NOT_SUPPORTED", "NVMLError_NotSupported") ||
          gpu_is_lost(e, binding_)) {
        return;
      }
      throw;
    }
    nb::object pci = nb::none();
    quietly([&] {
      pci = host("_normalize_pci_address")(nb::getattr(
          blocking_method(binding_, "nvmlDeviceGetPciInfo", handle), "busId", nb::str("")));
    });
    devices_.push_back(Device{index, nb::borrow(handle), pci, address_of(handle)});
  }

  const Device* device_of(nb::handle handle) {
    for (const Device& d : devices_) {
      if (d.handle.is(handle)) return &d;
    }
    nb::object address = address_of(handle);
    if (address.is_none()) return nullptr;
    for (const Device& d : devices_) {
      if (!d.address.is_none() && d.address.equal(address)) return &d;
    }
    return nullptr;
  }

  void take(nb::handle data) {
    std::uint64_t type = as_mask(data.attr("eventType"));
    // Single-bit errors are left to the corrected-error rate detector: the volatile counter
    // it reads each poll already counts every one of them.
    if ((type & (xid_mask_ | dbe_mask_)) == 0) return;
    const Device* device = device_of(nb::getattr(data, "device", nb::none()));
    nb::object index = device != nullptr ? device->index : nb::none();
    nb::object pci = device != nullptr ? device->pci : nb::none();
    nb::dict details;
    if (type & xid_mask_) {
      for (const char* field : {"gpuInstanceId", "computeInstanceId"}) {
        nb::object id = nb::getattr(data, field, nb::none());
        if (id.is_none() || as_mask(id) == kNoInstance) continue;
        details[field[0] == 'g' ? "gpu_instance_id" : "compute_instance_id"] = builtin("int")(id);
      }
      event_xid(index, pci, builtin("int")(data.attr("eventData")), details);
      return;
    }
    // The same report as the counter's, so delivery shows one of the two.
    std::string gpu =
        index.is_none() ? "GPU " : "GPU " + nb::cast<std::string>(nb::str(index)) + " ";
    details["gpu_index"] = index;
    details["pci_bus_id"] = pci;
    details["source"] = "nvml";
    std::string summary = gpu + "reported a new uncorrectable ECC error";
    append_finding(
        findings_, lock_,
        make_finding(nb::str("ecc_dbe"), nb::str("CRITICAL"), nb::str(summary.c_str()), details));
  }

  // The same finding as a kernel-log Xid, unless the kernel log told this one already.
  void event_xid(nb::object index, nb::object pci, nb::object xid, nb::dict details) {
    if (!admit_xid(stop_, pci, index, xid, mon::XidSource::kNvml)) return;
    append_finding(findings_, lock_,
                   xid_finding("Kernel reported XID {} ({})", xid, index, pci, "nvml", details));
  }

  nb::handle findings_, lock_, stop_;
  LogOnce& log_;
  nb::object binding_, set_, ctypes_;
  std::uint64_t xid_mask_ = 0, dbe_mask_ = 0, sbe_mask_ = 0;
  std::vector<Device> devices_;
};

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
      if (baseline_ != 0 && count < baseline_) {
        append_finding(findings_, lock_,
                       inventory_shrink_finding(baseline_, count,
                                                "GPU inventory shrank during runtime monitoring"));
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

  m.def("_shell_numeric", &shell_numeric, "value"_a.none());
  // These ask the tools or NVML, which may block: see def_plain.
  using Args = const std::vector<nb::handle>&;
  def_plain(
      m, "_build_shell_gpu_snapshot", {}, [](Args) { return build_shell_gpu_snapshot(); },
      "GPU snapshots from one nvidia-smi query.");
  def_plain(
      m, "_shell_pcie_replay_counters", {}, [](Args) { return shell_pcie_replay_counters(); },
      "PCIe replay counters by GPU index from nvidia-smi.");
  def_plain(
      m, "_build_nvml_backend", {}, [](Args) { return build_nvml_backend(); },
      "The telemetry backend: NVML, else the nvidia-smi tool, else none.");
  def_plain(
      m, "_collect_nvml_snapshots", {{"backend", {}}, {"link_count", nb::int_(18)}},
      [](Args a) { return collect_nvml_snapshots(a[0], a[1]); }, "GPU snapshots from NVML.");
  def_plain(
      m, "_read_gpu_snapshots",
      {{"backend_mode", {}}, {"backend", {}}, {"link_count", nb::int_(18)}},
      [](Args a) { return read_gpu_snapshots(a[0], a[1], a[2]); },
      "One poll of every GPU through the chosen backend (and the injection engine).");
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
