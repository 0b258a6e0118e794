// The host-visible records of the monitor: MonitorFinding and LaunchResult.
#pragma once

#include "record.hpp"

namespace corvane::bindings {

using MonitorFinding = Record<struct MonitorFindingTag, 5>;
using LaunchResult = Record<struct LaunchResultTag, 11>;

void bind_monitor_records(nb::module_& m);

// A new finding from C++ (details: a map).
nb::object make_finding(nb::handle event_type, nb::handle severity, nb::handle summary,
                        nb::handle details);

}  // namespace corvane::bindings
