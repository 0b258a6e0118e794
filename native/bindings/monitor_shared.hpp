// Pieces of the monitoring module shared between its binding files.
#pragma once

#include <nanobind/nanobind.h>

#include "../monitor/output_parser.hpp"

namespace corvane::bindings {

namespace nb = nanobind;

// The module object; host services are read from it at each call, so they can be replaced.
nb::handle monitoring_module();
inline nb::object host(const char* name) { return monitoring_module().attr(name); }

void append_finding(nb::handle findings, nb::handle lock, nb::handle finding);

// The findings one scanned line gives, in order; `line` is the line's host str.
nb::list findings_for_scan(nb::handle line, const monitor::OutputLineScan& scan);

// Appends the line's loss and step-time samples to the two host lists.
void append_samples(const monitor::OutputLineScan& scan, nb::handle step_times,
                    nb::handle losses);

nb::object maybe_wrap_srun(nb::handle command, nb::handle config);

void bind_runner(nb::module_& m);

}  // namespace corvane::bindings
