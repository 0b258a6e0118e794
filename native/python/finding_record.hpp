// The host-visible records of the monitor: MonitorFinding and LaunchResult.
#pragma once

#include <vector>

#include "../core/common/finding.hpp"
#include "record.hpp"

namespace corvane::bindings {

using MonitorFinding = Record<struct MonitorFindingTag, 5>;
using LaunchResult = Record<struct LaunchResultTag, 13>;

void bind_monitor_records(nb::module_& m);

// A new finding from C++ (details: a map).
nb::object make_finding(nb::handle event_type, nb::handle severity, nb::handle summary,
                        nb::handle details);

// A finding as the core words it. Details that name a snapshot's field read it from
// `snapshot`; kept values are the caller's `kept`, by position.
nb::object finding_of(const monitor::Finding& finding, const std::vector<nb::object>& kept = {},
                      nb::handle snapshot = nb::handle());

}  // namespace corvane::bindings
