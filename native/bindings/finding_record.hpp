// MonitorFinding: the host-visible finding record (a plain mutable record).
#pragma once

#include <nanobind/nanobind.h>

namespace corvane::bindings {

namespace nb = nanobind;

struct MonitorFinding {
  nb::object event_type;
  nb::object severity;
  nb::object summary;
  nb::object details;
};

void bind_monitor_finding(nb::module_& m);

// A new finding from C++ (details: a map).
nb::object make_finding(nb::handle event_type, nb::handle severity, nb::handle summary,
                        nb::handle details);

}  // namespace corvane::bindings
