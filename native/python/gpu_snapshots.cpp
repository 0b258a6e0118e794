// GPU snapshots: one poll of every GPU through the nvidia-smi tool or NVML, with the
// injection engine's changes applied where fault injection is on.
#include <optional>
#include <string>
#include <vector>

#include "../core/telemetry/nvml_readings.hpp"
#include "../core/telemetry/smi_csv.hpp"
#include "../core/telemetry/watch_rules.hpp"
#include "finding_record.hpp"
#include "host.hpp"
#include "monitoring_host.hpp"
#include "telemetry_host.hpp"
#include "thread_guard.hpp"

namespace corvane::bindings {
namespace {

using namespace nb::literals;
namespace mon = corvane::monitor;

// -- the shell backend ------------------------------------------------------------------

// Runs one tool query through the host's run_shell (ended early by the thread's stop event
// on a watcher thread). Returns its output, or nothing when the tool gave no usable answer;
// the watcher learns why.
std::optional<std::string> tool_output(const mon::SmiQuery& query) {
  nb::dict kwargs;
  kwargs["timeout"] = query.timeout_s;
  nb::object result = call_with_stop(host("run_shell"), nb::make_tuple(query.command), kwargs);
  nb::object text = result.attr("stdout");
  bool timed_out = truthy(nb::getattr(result, "timed_out", nb::bool_(false)));
  bool cancelled = !timed_out && truthy(nb::getattr(result, "cancelled", nb::bool_(false)));
  bool status_zero = true;
  std::string status_text;
  if (!timed_out && !cancelled) {
    nb::object status = result.attr("returncode");
    status_zero = status.equal(nb::int_(0));
    if (!status_zero) status_text = nb::cast<std::string>(nb::str(status));
  }
  mon::ToolVerdict verdict = mon::judge_tool_answer(timed_out, cancelled, status_zero, status_text,
                                                    truthy(text), query.timeout_s);
  if (!verdict.usable) {
    if (!verdict.reason.empty()) note_tool_failure({query.tool, verdict.reason, verdict.timed_out});
    return std::nullopt;
  }
  std::string storage;
  return std::string(utf8_of(text, storage));
}

mon::ReplayCounters replay_counters() {
  std::optional<std::string> text = tool_output(mon::kSmiReplayQuery);
  return text ? mon::parse_smi_replay(*text) : mon::ReplayCounters{};
}

// One field of the tool's CSV answer as a number: None for "N/A", "[Not Supported]", an
// empty field or anything else that is no number.
nb::object shell_numeric(nb::handle value) {
  if (value.is_none()) return nb::none();
  if (!PyUnicode_Check(value.ptr())) raise_type("value", "a str or None", value);
  std::string storage;
  std::optional<double> number = mon::smi_number(utf8_of(value, storage));
  return number ? nb::object(nb::float_(*number)) : nb::none();
}

nb::object int_of(const std::string& digits) { return builtin("int")(str_of(digits)); }

nb::dict shell_pcie_replay_counters() {
  nb::dict out;
  for (const auto& [index, count] : replay_counters()) out[int_of(index)] = count_object(count);
  return out;
}

nb::dict row_snapshot(const mon::SmiRow& row) {
  using Field = std::optional<double> mon::SmiRow::*;
  static constexpr std::pair<const char*, Field> kNumbers[] = {
      {"temperature_c", &mon::SmiRow::temperature_c},
      {"util_gpu", &mon::SmiRow::util_gpu},
      {"memory_used_mb", &mon::SmiRow::memory_used_mb},
      {"memory_total_mb", &mon::SmiRow::memory_total_mb},
      {"power_draw_w", &mon::SmiRow::power_draw_w},
      {"power_limit_w", &mon::SmiRow::power_limit_w}};
  nb::dict snap;
  snap["index"] = int_of(row.index);
  snap["pci_bus_id"] = host("_normalize_pci_address")(str_of(row.pci_bus_id));
  for (const auto& [key, field] : kNumbers) {
    const std::optional<double>& v = row.*field;
    snap[key] = v ? nb::object(nb::float_(*v)) : nb::none();
  }
  snap["throttle_reasons_text"] = str_of(row.throttle_reasons_text);
  snap["ecc_corrected"] = optional_count(row.ecc_corrected);
  snap["ecc_uncorrected"] = optional_count(row.ecc_uncorrected);
  snap["pcie_replay"] = optional_count(row.pcie_replay);
  snap["nvlink_errors"] = nb::dict();
  return snap;
}

nb::list build_shell_gpu_snapshot() {
  nb::list out;
  std::optional<std::string> text = tool_output(mon::kSmiMainQuery);
  if (!text) return out;
  mon::SmiRows parsed = mon::parse_smi_main(*text, replay_counters());
  // A row that cannot be read is left out; the other GPUs are still watched.
  for (const std::string& why : parsed.skipped) thread_log().warn("nvidia-smi row skipped: " + why);
  for (const mon::SmiRow& row : parsed.rows) {
    guarded_step(thread_log(), "nvidia-smi row skipped", [&] { out.append(row_snapshot(row)); });
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
        pci_map[nvml_pci_address(binding, handle)] = i;
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

// A binding call whose failure the core maps: nothing when it raises a host error.
template <class Fn>
std::optional<nb::object> attempt(Fn&& fn) {
  try {
    return fn();
  } catch (nb::python_error&) {
    return std::nullopt;
  }
}

// The error counters of one GPU into `snap`; None where the GPU has none.
void read_error_counters(nb::dict snap, nb::handle binding, nb::handle handle) {
  nb::handle to_int = builtin("int");
  auto counters = mon::read_error_counters<nb::object>(
      [&](bool corrected) {
        return attempt([&] {
          const char* kind =
              corrected ? "NVML_MEMORY_ERROR_TYPE_CORRECTED" : "NVML_MEMORY_ERROR_TYPE_UNCORRECTED";
          return to_int(blocking_method(binding, "nvmlDeviceGetTotalEccErrors", handle,
                                        binding.attr(kind), binding.attr("NVML_VOLATILE_ECC")));
        });
      },
      [&] {
        return attempt([&] {
          return to_int(blocking_method(binding, "nvmlDeviceGetPcieReplayCounter", handle));
        });
      });
  snap["ecc_corrected"] = counters.ecc_corrected.value_or(nb::none());
  snap["ecc_uncorrected"] = counters.ecc_uncorrected.value_or(nb::none());
  snap["pcie_replay"] = counters.pcie_replay.value_or(nb::none());
}

// The error counters of each active NVLink link of one GPU that has any, and the links
// asked about by their state ("nvlink_links_up", "nvlink_links_down"; absent where no
// state could be read).
void read_nvlink_errors(nb::dict snap, nb::handle binding, nb::handle handle, long links,
                        const std::vector<nb::object>& codes) {
  nb::dict nvlink = nb::borrow<nb::dict>(snap["nvlink_errors"]);
  nb::handle to_int = builtin("int");
  std::vector<bool> known;
  for (const nb::object& code : codes) known.push_back(!code.is_none());
  long up = 0;
  nb::list down;
  bool answered = false;
  auto active = [&](long link) -> std::optional<bool> {
    try {
      bool on = truthy(blocking_method(binding, "nvmlDeviceGetNvLinkState", handle, link));
      answered = true;
      if (on) {
        ++up;
      } else {
        down.append(nb::int_(link));
      }
      return on;
    } catch (nb::python_error&) {
      return std::nullopt;
    }
  };
  auto read = [&](long link, std::size_t c) {
    return attempt([&] {
      return to_int(
          blocking_method(binding, "nvmlDeviceGetNvLinkErrorCounter", handle, link, codes[c]));
    });
  };
  for (const auto& errors : mon::read_nvlink_errors<nb::object>(links, known, active, read)) {
    nb::dict link_errors;
    for (const auto& [name, value] : errors.counters) link_errors[name] = value;
    nvlink[nb::int_(errors.link)] = link_errors;
  }
  if (answered) {
    snap["nvlink_links_up"] = nb::int_(up);
    snap["nvlink_links_down"] = down;
  }
}

// The first of the binding's attributes `names` that it has; None when it has none.
nb::object first_attr(nb::handle binding, const std::vector<const char*>& names) {
  for (const char* name : names) {
    nb::object value = constant(binding, name);
    if (!value.is_none()) return value;
  }
  return nb::none();
}

nb::object per_unit(nb::handle value, nb::handle unit) {
  nb::object out = nb::steal(PyNumber_TrueDivide(value.ptr(), unit.ptr()));
  if (!out.is_valid()) throw nb::python_error();
  return out;
}

// The GPU's lasting state; a reading the GPU or the binding does not support stays None.
void read_gpu_state(nb::dict snap, nb::handle binding, nb::handle handle) {
  auto read = [&](const char* name) -> nb::object {
    if (!nb::hasattr(binding, name)) return nb::none();
    return attempt([&] { return blocking_method(binding, name, handle); }).value_or(nb::none());
  };
  auto as_int = [&](nb::handle v) -> nb::object {
    if (v.is_none()) return nb::none();
    return attempt([&] { return builtin("int")(v); }).value_or(nb::none());
  };
  auto item = [&](nb::handle v, std::size_t i) -> nb::object {
    if (v.is_none() || !PySequence_Check(v.ptr()) || PySequence_Size(v.ptr()) <= (Py_ssize_t)i) {
      PyErr_Clear();
      return nb::none();
    }
    return as_int(v[i]);
  };
  // (corrected rows, uncorrected rows, pending, failure)
  nb::object rows = read("nvmlDeviceGetRemappedRows");
  nb::object pending = item(rows, 2), failure = item(rows, 3);
  snap["remap_pending"] = pending.is_none() ? nb::none() : nb::object(nb::bool_(truthy(pending)));
  snap["remap_failure"] = failure.is_none() ? nb::none() : nb::object(nb::bool_(truthy(failure)));
  nb::object retired = as_int(read("nvmlDeviceGetRetiredPagesPendingStatus"));
  snap["retired_pages_pending"] =
      retired.is_none() ? nb::none() : nb::object(nb::bool_(truthy(retired)));
  nb::object persistence = as_int(read("nvmlDeviceGetPersistenceMode"));
  snap["persistence_mode"] =
      persistence.is_none() ? nb::none() : nb::object(nb::bool_(truthy(persistence)));
  nb::object ecc = item(read("nvmlDeviceGetEccMode"), 0);  // (current, pending)
  snap["ecc_mode"] = ecc.is_none() ? nb::none() : nb::object(nb::bool_(truthy(ecc)));
  nb::object fabric = read("nvmlDeviceGetGpuFabricInfo");
  snap["fabric_state"] =
      fabric.is_none() ? nb::none() : as_int(nb::getattr(fabric, "state", nb::none()));
  snap["fabric_status"] =
      fabric.is_none() ? nb::none() : as_int(nb::getattr(fabric, "status", nb::none()));
  snap["pcie_width"] = as_int(read("nvmlDeviceGetCurrPcieLinkWidth"));
  snap["pcie_width_max"] = as_int(read("nvmlDeviceGetMaxPcieLinkWidth"));
  snap["pcie_gen"] = as_int(read("nvmlDeviceGetCurrPcieLinkGeneration"));
  snap["pcie_gen_max"] = as_int(read("nvmlDeviceGetMaxPcieLinkGeneration"));
}

// One GPU's readings into `snap`; raises what the binding raised.
void read_gpu(nb::dict snap, nb::handle binding, nb::handle handle, nb::handle throttle) {
  nb::handle to_float = builtin("float");
  snap["pci_bus_id"] = nvml_pci_address(binding, handle);
  snap["temperature_c"] = to_float(blocking_method(binding, "nvmlDeviceGetTemperature", handle,
                                                   binding.attr("NVML_TEMPERATURE_GPU")));
  snap["util_gpu"] =
      to_float(blocking_method(binding, "nvmlDeviceGetUtilizationRates", handle).attr("gpu"));
  nb::object mem = blocking_method(binding, "nvmlDeviceGetMemoryInfo", handle);
  nb::int_ mb(mon::kBytesPerMb);
  snap["memory_used_mb"] = per_unit(mem.attr("used"), mb);
  snap["memory_total_mb"] = per_unit(mem.attr("total"), mb);
  nb::float_ watt(mon::kMilliwattsPerWatt);
  snap["power_draw_w"] =
      per_unit(blocking_method(binding, "nvmlDeviceGetPowerUsage", handle), watt);
  snap["power_limit_w"] =
      per_unit(blocking_method(binding, "nvmlDeviceGetEnforcedPowerLimit", handle), watt);
  if (throttle.is_none()) throw nb::attribute_error("no clock throttle reasons query");
  snap["throttle_reasons"] = builtin("int")(blocking_call(throttle, nb::make_tuple(handle)));
}

nb::list collect_nvml_snapshots(nb::handle backend, nb::handle link_count) {
  if (!PyLong_Check(link_count.ptr())) raise_type("link_count", "an int", link_count);
  nb::object binding = nvml();
  std::vector<nb::object> codes;
  for (const auto& counter : mon::kNvlinkCounters)
    codes.push_back(first_attr(binding, counter.constants));
  nb::object throttle = first_attr(binding, mon::kThrottleReasonQueries);
  long links = nb::cast<long>(link_count);

  nb::list out;
  for (nb::handle pair : backend["handles"]) {
    nb::object index = pair[0], handle = pair[1];
    nb::dict snap;
    snap["index"] = index;
    snap["nvlink_errors"] = nb::dict();
    try {
      read_gpu(snap, binding, handle, throttle);
      read_error_counters(snap, binding, handle);
      read_gpu_state(snap, binding, handle);
      read_nvlink_errors(snap, binding, handle, links, codes);
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
  nb::object snapshots = nb::list();
  std::string storage;
  bool inject = injection_on();
  switch (mon::snapshot_source(mon::backend_named(utf8_of(mode, storage)), inject)) {
    case mon::SnapshotSource::kNvml: {
      nb::dict kwargs;
      kwargs["link_count"] = link_count;
      snapshots = blocking_call(host("_collect_nvml_snapshots"), nb::make_tuple(backend), kwargs);
      break;
    }
    case mon::SnapshotSource::kTool:
      snapshots = blocking_call(host("_build_shell_gpu_snapshot"), nb::tuple());
      break;
    case mon::SnapshotSource::kSynthetic:
      snapshots = blocking_method(injection_engine(), "synthetic_snapshots");
      break;
    case mon::SnapshotSource::kNone:
      break;
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
  // These ask the tools or NVML, which may block: see def_plain.
  using Args = const std::vector<nb::handle>&;
  def_plain(
      m, "_build_shell_gpu_snapshot", {}, [](Args) { return build_shell_gpu_snapshot(); },
      "GPU snapshots from one nvidia-smi query.");
  def_plain(
      m, "_shell_pcie_replay_counters", {}, [](Args) { return shell_pcie_replay_counters(); },
      "PCIe replay counters by GPU index from nvidia-smi.");
  m.def("_shell_numeric", &shell_numeric, "value"_a.none(),
        "The number in one field of the tool's CSV answer, or None.");
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
