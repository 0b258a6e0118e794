// What keeps the monitor's background threads up: errors logged once and skipped, a finding
// when a watcher stops early anyway, host tool calls that end with the thread's stop event,
// and module functions bound so that the host's ending of a thread passes through them.
#pragma once

#include <cxxabi.h>
#include <unistd.h>

#include <cstddef>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "../core/common/call_arguments.hpp"
#include "../core/common/failures.hpp"
#include "finding_record.hpp"
#include "host.hpp"
#include "monitoring_host.hpp"

namespace corvane::bindings {

using corvane::OnceFilter;
using corvane::one_line;
using corvane::ToolFailure;

// "KeyError: 'monitor'" for a host error; never fails.
inline std::string python_error_line(nb::python_error& e) {
  std::string name = "error";
  try {
    std::string storage;
    name = std::string(utf8_of(e.type().attr("__name__"), storage));
    nb::str text(e.value());
    std::string text_storage;
    std::string_view message = utf8_of(text, text_storage);
    if (!message.empty()) return one_line(name + ": " + std::string(message));
  } catch (nb::python_error&) {
  } catch (std::exception&) {
  }
  return one_line(name);
}

// The exception being handled, as one line. Call only inside a catch block.
inline std::string current_error_line() {
  try {
    throw;
  } catch (nb::python_error& e) {
    return python_error_line(e);
  } catch (nb::builtin_exception& e) {
    // Named as the host error it becomes (see guarded_call).
    switch (e.type()) {
      case nb::exception_type::key_error:
        return one_line(std::string("KeyError: '") + e.what() + "'");
      case nb::exception_type::type_error:
        return one_line(std::string("TypeError: ") + e.what());
      case nb::exception_type::value_error:
        return one_line(std::string("ValueError: ") + e.what());
      default:
        return one_line(std::string("RuntimeError: ") + e.what());
    }
  } catch (std::bad_alloc&) {
    return "out of memory";
  } catch (std::exception& e) {
    return one_line(std::string("internal error: ") + e.what());
  } catch (...) {
    return "internal error";
  }
}

// -- the host's ending of a thread at interpreter exit ------------------------------------
//
// On these interpreters a daemon thread that wants the interpreter back after it began to
// finalize is ended by unwinding its stack. Unwinding through our frames would release the
// host objects they hold without an interpreter, which crashes the process. Where a thread
// can wait for long (a tool, a driver, the network, a slow file), the unwinding is stopped
// at once and the thread stays where it is, holding nothing, until the process ends: what
// newer interpreters do with such threads themselves. The exit handler stops and waits for
// the watchers first, so this only meets a thread stuck in a call that cannot be stopped.

[[noreturn]] inline void park_thread() {
  for (;;) ::pause();
}

// fn(*args, **kwargs) (`kwargs` may be null) for a call that may block for long. Plain host
// calls only: nothing of this frame is released if the thread is ended inside the call.
inline PyObject* blocking_call_raw(PyObject* fn, PyObject* args, PyObject* kwargs) {
  try {
    return PyObject_Call(fn, args, kwargs);
  } catch (abi::__forced_unwind&) {
    park_thread();
  }
}

inline nb::object blocking_call(nb::handle fn, nb::handle args, nb::handle kwargs = nb::handle()) {
  PyObject* result = blocking_call_raw(fn.ptr(), args.ptr(), kwargs.ptr());
  if (result == nullptr) throw nb::python_error();
  return nb::steal(result);
}

// obj.name(*args) for a call that may block for long.
template <class... Args>
nb::object blocking_method(nb::handle obj, const char* name, Args&&... args) {
  nb::object fn = obj.attr(name);
  nb::tuple call_args = nb::make_tuple(std::forward<Args>(args)...);
  return blocking_call(fn, call_args);
}

// Takes the interpreter back after a wait without it (see above).
inline void restore_thread(PyThreadState* state) {
  try {
    PyEval_RestoreThread(state);
  } catch (abi::__forced_unwind&) {
    park_thread();
  }
}

// Runs `fn` (which touches no host object) without holding the interpreter.
template <class Fn>
auto without_gil(Fn&& fn) {
  PyThreadState* state = PyEval_SaveThread();
  auto result = fn();
  restore_thread(state);
  return result;
}

// Runs `fn`, dropping any error it raises; the host's ending of the thread passes.
template <class Fn>
void quietly(Fn&& fn) {
  try {
    fn();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
  }
}

// Logs each distinct message once for one thread, through the module's logger. A flood of
// distinct messages is cut off, so the memory stays bounded.
class LogOnce {
 public:
  void warn(const std::string& message) {
    if (auto text = filter_.admit(message)) {
      quietly([&] { host("log").attr("warning")("%s", str_of(*text)); });
    }
  }

 private:
  OnceFilter filter_;
};

// Runs one step of a watcher (one poll, one line, one pass). An error ends only that step:
// it is logged once per distinct text as "<what>: <error>" and false is returned. The host's
// ending of the thread and requests to leave it (SystemExit, KeyboardInterrupt) pass on.
template <class Fn>
bool guarded_step(LogOnce& log, const char* what, Fn&& fn) {
  try {
    fn();
    return true;
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
    log.warn(std::string(what) + ": " + python_error_line(e));
  } catch (...) {
    log.warn(std::string(what) + ": " + current_error_line());
  }
  return false;
}

// Runs a watcher thread's body. If it fails before its stop event is set, the job gets one
// "monitor_degraded" finding saying what is no longer watched (`source`: "telemetry",
// "kernel_log" or "hooks") and why; the error then goes on to the host as before.
template <class Fn>
nb::object watcher_body(const char* source, nb::handle findings, nb::handle lock,
                        nb::handle stop_event, Fn&& fn) {
  try {
    return fn();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    std::string error = current_error_line();
    quietly([&] {
      if (PyObject_IsTrue(stop_event.attr("is_set")().ptr()) == 1) return;
      append_finding(findings, lock, finding_of(corvane::watcher_stopped_finding(source, error)));
    });
    throw;
  }
}

// Runs a thread body counted as active (ActiveScope), so the exit handler can stop it and
// wait for it. When the host unwinds the thread at interpreter exit the scope is left as it
// is: releasing it needs the interpreter, which is gone by then.
template <class Fn>
nb::object while_active(nb::handle stop_event, Fn&& fn) {
  auto* scope = new ActiveScope(stop_event);
  try {
    nb::object result = fn();
    delete scope;
    return result;
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    delete scope;
    throw;
  }
}

// -- the watcher running on this thread ------------------------------------------------

// Per thread: the stop event of the watcher running on it, so that host tool calls made on
// its behalf (also through module functions the host may have replaced) end as soon as it
// is set; and the last tool call that gave no usable answer.
struct WatchContext {
  nb::handle stop_event;
  LogOnce* log = nullptr;
  std::optional<ToolFailure> failure;
};

inline thread_local WatchContext* t_watch = nullptr;

// The log of the watcher on this thread; elsewhere one per thread.
inline LogOnce& thread_log() {
  thread_local LogOnce own;
  return t_watch != nullptr && t_watch->log != nullptr ? *t_watch->log : own;
}

// Makes `context` this thread's watcher for the scope's life. Touches no host object, so
// it may be unwound at any time.
class WatchScope {
 public:
  explicit WatchScope(WatchContext& context) : previous_(t_watch) { t_watch = &context; }
  ~WatchScope() { t_watch = previous_; }
  WatchScope(const WatchScope&) = delete;
  WatchScope& operator=(const WatchScope&) = delete;

 private:
  WatchContext* previous_;
};

// Whether host callable `fn` takes a "stop" keyword (a replacement may not).
inline bool takes_stop(nb::handle fn) {
  try {
    nb::object parameters =
        nb::module_::import_("inspect").attr("signature")(fn).attr("parameters");
    if (PySequence_Contains(parameters.ptr(), nb::str("stop").ptr()) == 1) return true;
    nb::object var_keyword = nb::module_::import_("inspect").attr("Parameter").attr("VAR_KEYWORD");
    for (nb::handle p : parameters.attr("values")()) {
      if (p.attr("kind").equal(var_keyword)) return true;
    }
  } catch (nb::python_error&) {  // no signature to read: called without it
  }
  return false;
}

// Calls `fn(*args, **kwargs)`, adding stop=<the thread's stop event> on a watcher thread
// when `fn` takes it.
inline nb::object call_with_stop(nb::handle fn, nb::tuple args, nb::dict kwargs) {
  if (t_watch != nullptr && t_watch->stop_event.is_valid() && takes_stop(fn)) {
    kwargs["stop"] = t_watch->stop_event;
  }
  return blocking_call(fn, args, kwargs);
}

// Records, for the watcher on this thread, a tool call that gave no usable answer.
inline void note_tool_failure(ToolFailure failure) {
  if (t_watch != nullptr) t_watch->failure = std::move(failure);
}

// -- module functions the host's ending of a thread passes through ----------------------
//
// nanobind's own function wrapper catches every C++ exception, the host's unwinding of a
// daemon thread at interpreter exit included, and cannot rethrow that one: the process
// crashes. Functions that call host services which may block (tools, NVML) are therefore
// bound as plain functions whose only catch lets that unwinding pass (guarded_call).

struct PlainParam {
  const char* name;
  nb::object fallback;  // the default; invalid for a required argument
};

struct PlainFunction {
  std::string name, doc;
  std::vector<PlainParam> params;
  std::function<nb::object(const std::vector<nb::handle>&)> body;
  PyMethodDef def{};
};

inline constexpr const char* kPlainCapsule = "corvane.plain_function";

inline PyObject* plain_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
  auto* f = static_cast<PlainFunction*>(PyCapsule_GetPointer(self, kPlainCapsule));
  if (f == nullptr) return nullptr;
  std::vector<corvane::Parameter> params;
  for (const auto& p : f->params) params.push_back({p.name, p.fallback.is_valid()});
  std::vector<nb::handle> keyword_keys, keyword_values;
  std::vector<std::string_view> keywords;
  std::vector<std::string> storage(kwargs != nullptr ? PyDict_Size(kwargs) : 0);
  PyObject *key, *value;
  for (Py_ssize_t pos = 0; kwargs != nullptr && PyDict_Next(kwargs, &pos, &key, &value);) {
    keywords.push_back(utf8_of(key, storage[keywords.size()]));
    keyword_keys.push_back(key);
    keyword_values.push_back(value);
  }
  auto given = static_cast<std::size_t>(PyTuple_Size(args));
  auto matched = corvane::match_arguments(f->name, params, given, keywords);
  if (auto* mismatch = std::get_if<corvane::CallMismatch>(&matched)) {
    nb::object message = str_of(mismatch->message);
    if (mismatch->keyword < keywords.size()) message += nb::repr(keyword_keys[mismatch->keyword]);
    PyErr_SetObject(PyExc_TypeError, message.ptr());
    return nullptr;
  }
  std::vector<nb::handle> values;
  for (std::size_t i = 0; const auto& source : std::get<0>(matched)) {
    values.push_back(source.kind == corvane::ArgumentSource::kPositional
                         ? nb::handle(PyTuple_GetItem(args, source.index))
                     : source.kind == corvane::ArgumentSource::kKeyword
                         ? keyword_values[source.index]
                         : nb::handle(f->params[i].fallback));
    ++i;
  }
  return guarded_call([&] { return f->body(values); });
}

// Binds `body` as the module function `name`; it gets one handle per parameter, defaults
// filled in. The function lives as long as the process.
inline void def_plain(nb::module_& m, const char* name, std::vector<PlainParam> params,
                      std::function<nb::object(const std::vector<nb::handle>&)> body,
                      const char* doc) {
  auto* f = new PlainFunction{name, "", std::move(params), std::move(body)};
  std::vector<corvane::Parameter> shape;
  std::vector<std::string> defaults;
  for (const auto& p : f->params) {
    shape.push_back({p.name, p.fallback.is_valid()});
    if (p.fallback.is_valid()) defaults.push_back(nb::cast<std::string>(nb::repr(p.fallback)));
  }
  f->doc = corvane::signature_line(f->name, shape, defaults) + "\n--\n\n" + doc;
  f->def = {f->name.c_str(),
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(plain_entry)),
            METH_VARARGS | METH_KEYWORDS, f->doc.c_str()};
  nb::object capsule = nb::steal(PyCapsule_New(f, kPlainCapsule, nullptr));
  if (!capsule.is_valid()) throw nb::python_error();
  PyObject* fn = PyCFunction_NewEx(&f->def, capsule.ptr(), m.attr("__name__").ptr());
  if (fn == nullptr) throw nb::python_error();
  m.attr(name) = nb::steal(fn);
}

// Waits on a host threading.Event without holding the interpreter; true once it is set.
inline bool event_wait(nb::handle event, double seconds) {
  return PyObject_IsTrue(blocking_method(event, "wait", seconds).ptr()) == 1;
}

// Closes a descriptor on every way out of a scope.
struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace corvane::bindings
