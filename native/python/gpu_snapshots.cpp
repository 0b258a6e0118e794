// GPU snapshots: one poll of every GPU through the nvidia-smi tool or NVML, with the
// injection engine's changes applied where fault injection is on.
#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "../core/common/pyfloat.hpp"
#include "finding_record.hpp"
#include "host.hpp"
#include "monitoring_host.hpp"
#include "telemetry_host.hpp"
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

// The ECC and PCIe replay counters of one GPU; None where the GPU has none.
void read_error_counters(nb::dict snap, nb::handle binding, nb::handle handle) {
  nb::handle to_int = builtin("int");
  try {
    nb::object volatile_ecc = binding.attr("NVML_VOLATILE_ECC");
    snap["ecc_corrected"] =
        to_int(blocking_method(binding, "nvmlDeviceGetTotalEccErrors", handle,
                               binding.attr("NVML_MEMORY_ERROR_TYPE_CORRECTED"), volatile_ecc));
    snap["ecc_uncorrected"] =
        to_int(blocking_method(binding, "nvmlDeviceGetTotalEccErrors", handle,
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
}

using NvlinkCounters = std::vector<std::pair<const char*, nb::object>>;

// The error counters of each active NVLink link of one GPU that has any.
void read_nvlink_errors(nb::dict nvlink, nb::handle binding, nb::handle handle, long links,
                        const NvlinkCounters& counters) {
  nb::handle to_int = builtin("int");
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
}

nb::list collect_nvml_snapshots(nb::handle backend, nb::handle link_count) {
  if (!PyLong_Check(link_count.ptr())) raise_type("link_count", "an int", link_count);
  nb::object binding = nvml();
  // The recovery counter is NVML_NVLINK_ERROR_DL_RECOVERY in the binding; the plain name
  // is tried first.
  nb::object recovery = constant(binding, "NVML_NVLINK_ERROR_RECOVERY");
  if (recovery.is_none()) recovery = constant(binding, "NVML_NVLINK_ERROR_DL_RECOVERY");
  NvlinkCounters counters = {{"replay", constant(binding, "NVML_NVLINK_ERROR_DL_REPLAY")},
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
      read_error_counters(snap, binding, handle);
      read_nvlink_errors(nb::borrow<nb::dict>(snap["nvlink_errors"]), binding, handle, links,
                         counters);
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

}  // namespace

void bind_gpu_snapshots(nb::module_& m) {
#if defined(CORVANE_TEST_HOOKS)
  test_hooks(m).def("shell_numeric", &shell_numeric, "value"_a.none());
#endif
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
}

}  // namespace corvane::bindings
