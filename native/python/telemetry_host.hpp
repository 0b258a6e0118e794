// What the telemetry files share: the NVML binding and the injection switch, as the
// monitoring module holds them, and reading a snapshot's values.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "../core/telemetry/finding_texts.hpp"
#include "../core/telemetry/nvml_readings.hpp"
#include "finding_record.hpp"
#include "host.hpp"
#include "monitoring_host.hpp"
#include "thread_guard.hpp"

namespace corvane::bindings {

// snapshot.get(key): None when absent.
inline nb::object get(nb::handle map, const char* key) { return map.attr("get")(key); }

// The NVML binding the module holds (None without one), read at each use.
inline nb::object nvml() { return host("pynvml"); }

// $CORVANE_INJECT (and $CORVANE_INJECT_NODES), read at every use so that it takes effect
// at the next poll.
inline bool injection_on() {
  return truthy(import("corvane.injection.engine").attr("injection_enabled")());
}

inline nb::object injection_engine() { return import("corvane.injection").attr("engine"); }

inline nb::object constant(nb::handle binding, const char* name) {
  return nb::getattr(binding, name, nb::none());
}

// A lost GPU: "GPU_IS_LOST" in the error's repr, or the binding's error code for it (the
// binding's own error class for that case has a repr without those words).
inline bool gpu_is_lost(nb::python_error& e, nb::handle binding) {
  std::string storage;
  if (monitor::names_lost_gpu(utf8_of(nb::repr(e.value()), storage))) return true;
  nb::object code = constant(binding, "NVML_ERROR_GPU_IS_LOST");
  nb::object value = nb::getattr(e.value(), "value", nb::none());
  return !code.is_none() && !value.is_none() && value.equal(code);
}

// The normalized PCI address NVML gives for one device; raises what the binding raised.
inline nb::object nvml_pci_address(nb::handle binding, nb::handle handle) {
  nb::object info = blocking_method(binding, "nvmlDeviceGetPciInfo", handle);
  return host("_normalize_pci_address")(nb::getattr(info, "busId", nb::str("")));
}

// int() of a whole number the core read (counters); None for nothing.
inline nb::object count_object(double v) { return nb::steal(PyLong_FromDouble(v)); }
inline nb::object optional_count(const std::optional<double>& v) {
  return v ? count_object(*v) : nb::none();
}

// The GPU snapshot functions (gpu_snapshots.cpp), bound as module attributes.
void bind_gpu_snapshots(nb::module_& m);

}  // namespace corvane::bindings
