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

// int() of a whole number the core read (counters); None for nothing.
inline nb::object count_object(double v) { return nb::steal(PyLong_FromDouble(v)); }
inline nb::object optional_count(const std::optional<double>& v) {
  return v ? count_object(*v) : nb::none();
}

// A finding as the core words it. Snapshot fields come from `snap`, NVLink link keys from
// `links` (the host's keys, by position).
inline nb::object detail_object(const monitor::DetailValue& v, nb::handle snap,
                                const std::vector<nb::object>* links) {
  using V = monitor::DetailValue;
  switch (v.kind) {
    case V::kInt:
      return nb::int_(v.i);
    case V::kFloat:
      return nb::float_(v.f);
    case V::kText:
      return str_of(v.text);
    case V::kTrue:
      return nb::bool_(true);
    case V::kCount:
      return v.count.is_int ? count_object(v.count.v) : nb::float_(v.count.v);
    case V::kSnapshotField:
      return get(snap, v.text.c_str());
    case V::kLinkKey:
      return links->at(static_cast<std::size_t>(v.i));
    case V::kNone:
      break;
  }
  return nb::none();
}
inline nb::object finding_of(const monitor::FindingText& text, nb::handle snap = nb::handle(),
                             const std::vector<nb::object>* links = nullptr) {
  nb::dict details;
  for (const auto& [key, value] : text.details) {
    details[str_of(key)] = detail_object(value, snap, links);
  }
  return make_finding(str_of(text.event_type), str_of(text.severity), str_of(text.summary),
                      details);
}

// The GPU snapshot functions (gpu_snapshots.cpp), bound as module attributes.
void bind_gpu_snapshots(nb::module_& m);

}  // namespace corvane::bindings
