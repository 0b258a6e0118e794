// The run entry point and the interpreter's exit: running jobs are counted and registered
// by their stop events, so that the exit handler can make each leave its wait in order.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>

#include "../core/job/wakeups.hpp"
#include "host.hpp"
#include "monitoring_host.hpp"

namespace corvane::bindings {
namespace {

using namespace nb::literals;
using Clock = std::chrono::steady_clock;

// Interpreter exit. At exit the host ends daemon threads that still want the GIL by
// unwinding their stacks without it, and host objects on a C++ stack can't be released
// then. So an exit handler, run while threads still work normally, makes every running
// job leave its wait and unwind in order, and waits (bounded) until none is left.
std::atomic<bool> g_exiting{false};
std::atomic<int> g_active_runs{0};

// The entry point is a plain CPython function too: a host may run a job on a daemon
// thread, and the thread's end at interpreter exit must pass through cleanly.
PyObject* run_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"command",          "config",    "registry",     "checkpoint_dir",
                                "pre_check_result", "extra_env", "wandb_bridge", nullptr};
  PyObject *command, *config, *registry, *checkpoint_dir, *pre_check = Py_None,
                                                          *extra_env = Py_None, *bridge = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO|OOO", const_cast<char**>(names), &command,
                                   &config, &registry, &checkpoint_dir, &pre_check, &extra_env,
                                   &bridge)) {
    return nullptr;
  }
  if (g_exiting.load()) {
    PyErr_SetString(PyExc_RuntimeError, "the interpreter is exiting");
    return nullptr;
  }
  struct Active {
    Active() { ++g_active_runs; }
    ~Active() { --g_active_runs; }
  } active;
  return guarded_call([&] {
    return run_job(command, config, registry, checkpoint_dir, pre_check, extra_env, bridge);
  });
}

PyMethodDef thread_defs[] = {
    {"run_monitored_command",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run_entry)),
     METH_VARARGS | METH_KEYWORDS,
     "run_monitored_command(command, config, registry, checkpoint_dir, pre_check_result=None, "
     "extra_env=None, wandb_bridge=None)\n--\n\nRun one job's command under watch until it "
     "exits; returns a LaunchResult."},
    {nullptr, nullptr, 0, nullptr}};

PyObject* shutdown_monitors(PyObject* module, PyObject*) {
  g_exiting.store(true);
  PyObject* events = PyObject_GetAttrString(module, "_active_stop_events");
  if (events != nullptr) {
    PyObject* copy = PySequence_List(events);
    Py_DECREF(events);
    if (copy != nullptr) {
      for (Py_ssize_t i = 0; i < PyList_Size(copy); ++i) {
        PyObject* r = PyObject_CallMethod(PyList_GetItem(copy, i), "set", nullptr);
        Py_XDECREF(r);
      }
      Py_DECREF(copy);
    }
  }
  PyErr_Clear();
  // Bounded: a job stuck in a slow host call is not worth hanging the exit for.
  auto deadline = Clock::now() + std::chrono::seconds(3);
  while (g_active_runs.load() > 0 && Clock::now() < deadline) {
    Py_BEGIN_ALLOW_THREADS
    ::usleep(10000);
    Py_END_ALLOW_THREADS
  }
  Py_RETURN_NONE;
}

PyMethodDef shutdown_def = {"_shutdown_monitors", shutdown_monitors, METH_NOARGS,
                            "At interpreter exit: stop running jobs' waits and threads."};

}  // namespace

bool interpreter_exiting() { return g_exiting.load(); }

ActiveScope::ActiveScope(nb::handle stop_event) : stop_event_(stop_event) {
  ++g_active_runs;
  PySet_Add(host("_active_stop_events").ptr(), stop_event_.ptr());
  PyErr_Clear();  // an unhashable event is simply not registered
}

ActiveScope::~ActiveScope() {
  PyObject* events = PyObject_GetAttrString(monitoring_module().ptr(), "_active_stop_events");
  if (events != nullptr) {
    PySet_Discard(events, stop_event_.ptr());
    Py_DECREF(events);
  }
  PyErr_Clear();
  --g_active_runs;
}

void bind_runner(nb::module_& m) {
  m.def(
      "request_stop",
      [](int signum) {
        if (signum <= 0 || signum >= NSIG) throw nb::value_error("not a signal number");
        monitor::request_stop(signum);
      },
      "signum"_a,
      "Ask running jobs to stop: the first request passes `signum` to each job's process "
      "group and starts its grace period (\"monitor\" -> \"stop_grace\"); a second one kills "
      "the group. Safe to call from a signal handler.");
  m.def(
      "_stop_requested", [] { return monitor::stop_requests() > 0; },
      "Whether a stop request (a signal passed to the job) is being acted on: an agent step "
      "that ends then was cancelled with the job, which is no fault of its node.");
  m.attr("_active_stop_events") = nb::steal(PySet_New(nullptr));
  PyObject* shutdown = PyCFunction_NewEx(&shutdown_def, m.ptr(), m.attr("__name__").ptr());
  if (shutdown == nullptr) throw nb::python_error();
  m.attr("_shutdown_monitors") = nb::steal(shutdown);
  nb::module_::import_("atexit").attr("register")(m.attr("_shutdown_monitors"));
  for (PyMethodDef* def = thread_defs; def->ml_name != nullptr; ++def) {
    PyObject* fn = PyCFunction_NewEx(def, nullptr, m.attr("__name__").ptr());
    if (fn == nullptr) throw nb::python_error();
    m.attr(def->ml_name) = nb::steal(fn);
  }
}

}  // namespace corvane::bindings
