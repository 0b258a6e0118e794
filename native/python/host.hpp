// What every binding file needs of the host: imports, truth values, maps, str conversions in
// both directions (UTF-8 without failing on what the host allows in a str), type errors,
// the findings lock, and the private test entry points.
#pragma once

#include <nanobind/nanobind.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace corvane::bindings {

namespace nb = nanobind;

inline nb::object import(const char* name) { return nb::module_::import_(name); }
inline nb::object builtin(const char* name) { return import("builtins").attr(name); }

// bool(v) as the host decides it; its error is raised.
inline bool truthy(nb::handle v) {
  int r = PyObject_IsTrue(v.ptr());
  if (r < 0) throw nb::python_error();
  return r == 1;
}

// Whether a metrics bridge (None when there is none) says it is active.
inline bool bridge_active(nb::handle bridge) {
  return !bridge.is_none() && truthy(nb::getattr(bridge, "active", nb::bool_(false)));
}

// A dict or any other collections.abc.Mapping; an error of the check is raised.
inline bool is_map(nb::handle v) {
  if (PyDict_Check(v.ptr())) return true;
  int r = PyObject_IsInstance(v.ptr(), import("collections.abc").attr("Mapping").ptr());
  if (r < 0) throw nb::python_error();
  return r == 1;
}

inline nb::str str_of(std::string_view s) { return nb::str(s.data(), s.size()); }

// float(v) as the host makes it (a number or an object with __float__); its error is raised.
inline double as_double(nb::handle v) {
  double d = PyFloat_AsDouble(v.ptr());
  if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
  return d;
}

// A host int that fits in 64 bits; nothing for any other value (a bool is an int).
inline std::optional<long long> small_int(nb::handle v) {
  if (!PyLong_Check(v.ptr())) return std::nullopt;
  int overflow = 0;
  long long n = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
  if (overflow != 0 || (n == -1 && PyErr_Occurred())) {
    PyErr_Clear();
    return std::nullopt;
  }
  return n;
}

// convert(v), the host's int() or float(); an invalid object when it raises TypeError,
// ValueError or OverflowError (float("inf") has no integer, 10**400 no float). Other
// errors are raised.
inline nb::object try_convert(nb::handle v, PyObject* (*convert)(PyObject*)) {
  PyObject* r = convert(v.ptr());
  if (r != nullptr) return nb::steal(r);
  if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError) &&
      !PyErr_ExceptionMatches(PyExc_OverflowError)) {
    throw nb::python_error();
  }
  PyErr_Clear();
  return nb::object();
}

// Seconds on the steady clock, for deadlines and intervals.
inline double steady_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A host str as bytes that tell any two strs apart: UTF-8, lone surrogates kept as such.
inline std::string exact_utf8(nb::handle str) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str.ptr(), &size);
  if (data != nullptr) return std::string(data, static_cast<std::size_t>(size));
  PyErr_Clear();
  nb::object raw = nb::steal(PyUnicode_AsEncodedString(str.ptr(), "utf-8", "surrogatepass"));
  char* bytes = nullptr;
  Py_ssize_t n = 0;
  if (!raw.is_valid() || PyBytes_AsStringAndSize(raw.ptr(), &bytes, &n) != 0) {
    throw nb::python_error();
  }
  return std::string(bytes, static_cast<std::size_t>(n));
}

inline nb::str from_exact_utf8(std::string_view text) {
  PyObject* s =
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
  if (s == nullptr) throw nb::python_error();
  return nb::steal<nb::str>(s);
}

// Runs `fn` with a host lock held; the lock is released however `fn` ends.
template <class Fn>
void with_lock(nb::handle lock, Fn&& fn) {
  lock.attr("acquire")();
  try {
    fn();
  } catch (...) {
    lock.attr("release")();
    throw;
  }
  lock.attr("release")();
}

// UTF-8 view of a host str. Lone surrogates, which have no UTF-8 form, are read as
// U+FFFD (same byte length): like a surrogate, it is neither a word character, white
// space, a digit nor a letter, so every search answers as it would on the original.
// `storage` holds the bytes when a copy was needed.
inline std::string_view utf8_of(nb::handle str, std::string& storage) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str.ptr(), &size);
  if (data != nullptr) return {data, static_cast<std::size_t>(size)};
  PyErr_Clear();
  nb::object raw = nb::steal(PyUnicode_AsEncodedString(str.ptr(), "utf-8", "surrogatepass"));
  if (!raw.is_valid()) throw nb::python_error();
  char* bytes = nullptr;
  Py_ssize_t n = 0;
  if (PyBytes_AsStringAndSize(raw.ptr(), &bytes, &n) != 0) throw nb::python_error();
  storage.assign(bytes, static_cast<std::size_t>(n));
  for (std::size_t i = 0; i + 2 < storage.size(); ++i) {
    auto b0 = static_cast<unsigned char>(storage[i]);
    auto b1 = static_cast<unsigned char>(storage[i + 1]);
    if (b0 == 0xED && b1 >= 0xA0 && b1 <= 0xBF) {  // encoded U+D800..U+DFFF
      storage[i] = static_cast<char>(0xEF);
      storage[i + 1] = static_cast<char>(0xBF);
      storage[i + 2] = static_cast<char>(0xBD);
      i += 2;
    }
  }
  return storage;
}

inline std::string host_type_name(nb::handle obj) {
  return nb::borrow<nb::str>(
             nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr()))).attr("__name__"))
      .c_str();
}

// TypeError "<what> must be <expected>, not <type>".
[[noreturn]] inline void raise_type(const char* what, const char* expected, nb::handle got) {
  std::string msg = std::string(what) + " must be " + expected + ", not " + host_type_name(got);
  throw nb::type_error(msg.c_str());
}

// Leak reports at interpreter exit: on in test builds, where nanobind aborts on a leaked
// reference; off in release builds, where a user could do nothing about one.
inline void configure_leak_checks() {
#if !defined(CORVANE_TEST_HOOKS)
  nb::set_leak_warnings(false);
#endif
}

#if defined(CORVANE_TEST_HOOKS)
// The private `_testing` submodule of a test build: entry points only tests and benchmarks
// use. Release builds have none.
inline nb::module_ test_hooks(nb::module_& m) {
  if (nb::hasattr(m, "_testing")) return nb::borrow<nb::module_>(m.attr("_testing"));
  return m.def_submodule("_testing", "Entry points for tests and benchmarks only.");
}
#endif

}  // namespace corvane::bindings
