// Pieces of the monitoring module shared between its binding files.
#pragma once

#include <nanobind/nanobind.h>

#include "../core/kernel_log/xid_pairing.hpp"
#include "../core/output/output_parser.hpp"

namespace corvane::bindings {

namespace nb = nanobind;

// The module object; host services are read from it at each call, so they can be replaced.
nb::handle monitoring_module();
inline nb::object host(const char* name) { return monitoring_module().attr(name); }

void append_finding(nb::handle findings, nb::handle lock, nb::handle finding);

// An "xid_critical" finding: severity by CRITICAL_XIDS; `details` gets "xid", "gpu_index",
// "pci_bus_id" and "source" added. `summary` is a format with the Xid's code and description.
nb::object xid_finding(const char* summary, nb::handle xid, nb::handle index, nb::handle pci,
                       const char* source, nb::dict details);

// Wakes the runners' waits: a finding was appended (it is delivered at once, not at the
// next loop period), a job's output ended, or a stop was requested. Any thread; no GIL
// needed.
void wake_runners();

// The findings one scanned line gives, in order; `line` is the line's host str.
nb::list findings_for_scan(nb::handle line, const monitor::OutputLineScan& scan,
                           bool with_catalogue = true);

// Appends the line's loss and step-time samples to the two host lists.
void append_samples(const monitor::OutputLineScan& scan, nb::handle step_times, nb::handle losses);

nb::object maybe_wrap_srun(nb::handle command, nb::handle config);

// What one job watches, told by its threads to the runner, which prints it once as the
// "watching:" line. Keyed by the job's stop event, which every thread of the job gets.
// Any thread; no GIL needed.
void report_source(const void* job_key, const std::string& source, const std::string& how);
// The GPU count the telemetry thread reads from NVML each poll (-1: not known), used by
// the runner's inventory check instead of running the tool.
void report_nvml_gpu_count(const void* job_key, long count);

// Xids that the kernel log and NVML's GPU events both report, paired per job (keyed by its
// stop event): whether a report of `xid` on the GPU at `pci_bus_id` (any form; None or "")
// or `gpu_index` (None when unknown) from `source` is new. GIL held.
bool admit_xid(nb::handle stop_event, nb::handle pci_bus_id, nb::handle gpu_index, nb::handle xid,
               monitor::XidSource source);
// Holds a job's Xid pairing open for one of its watchers' lives. GIL not needed.
class XidPairingScope {
 public:
  explicit XidPairingScope(nb::handle stop_event);
  ~XidPairingScope();
  XidPairingScope(const XidPairingScope&) = delete;
  XidPairingScope& operator=(const XidPairingScope&) = delete;

 private:
  const void* job_;
};

void bind_runner(nb::module_& m);
// Whether the interpreter has begun to exit (run_entry.cpp); no GIL needed.
bool interpreter_exiting();
// run_monitored_command: one job's command under watch until it exits; a LaunchResult.
nb::object run_job(nb::handle command, nb::handle config, nb::handle registry,
                   nb::handle checkpoint_dir, nb::handle pre_check_result, nb::handle extra_env,
                   nb::handle wandb_bridge);
void bind_kernel_log_watch(nb::module_& m);
void bind_hook_watch(nb::module_& m);
void bind_telemetry(nb::module_& m);

// Counts a running job or thread body, and registers its stop event so the exit handler
// can end it in order. Construct and destroy with the GIL held.
class ActiveScope {
 public:
  explicit ActiveScope(nb::handle stop_event);
  ~ActiveScope();
  ActiveScope(const ActiveScope&) = delete;
  ActiveScope& operator=(const ActiveScope&) = delete;

 private:
  nb::handle stop_event_;
};

// Runs a thread body or entry point behind a plain CPython function: host errors become
// the pending exception, C++ errors a RuntimeError, and the host's own ending of the
// thread at exit passes through. Returns the result, or nullptr with an exception set.
template <class Fn>
PyObject* guarded_call(Fn&& fn);

}  // namespace corvane::bindings

#include <cxxabi.h>

#include <exception>

namespace corvane::bindings {

template <class Fn>
PyObject* guarded_call(Fn&& fn) {
  try {
    return fn().release().ptr();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (nb::python_error& e) {
    e.restore();
  } catch (nb::builtin_exception& e) {
    PyObject* type = PyExc_RuntimeError;
    switch (e.type()) {
      case nb::exception_type::type_error:
        type = PyExc_TypeError;
        break;
      case nb::exception_type::value_error:
        type = PyExc_ValueError;
        break;
      case nb::exception_type::key_error:
        type = PyExc_KeyError;
        break;
      default:
        break;
    }
    PyErr_SetString(type, e.what());
  } catch (std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unexpected error in the monitor");
  }
  return nullptr;
}

}  // namespace corvane::bindings
