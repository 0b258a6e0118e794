// Reading a watcher's settings from the job's configuration map.
#pragma once

#include <cmath>
#include <optional>
#include <string>

#include "host.hpp"
#include "thread_guard.hpp"

namespace corvane::bindings {

// One section of the configuration. A missing required key raises KeyError, as the host
// would; a value of the wrong type (a number that is text, a section that is no map) is
// replaced by its default and logged once, so a bad value passed in does not stop a watcher.
class Settings {
 public:
  Settings(nb::handle map, std::string path, LogOnce& log, bool misread = false)
      : map_(nb::borrow(map)), path_(std::move(path)), log_(log), misread_(misread) {}

  // A subsection; a missing optional one reads as empty.
  Settings section(const char* key, bool required) {
    nb::object value = lookup(key);
    if (!value.is_valid()) {
      if (required && !misread_) throw nb::key_error(key);
      return Settings(nb::dict(), where(key), log_, misread_);
    }
    if (!is_map(value)) {
      misread(key, value, "is not a table; its defaults apply");
      return Settings(nb::dict(), where(key), log_, true);
    }
    return Settings(value, where(key), log_, misread_);
  }

  // A number. `missing` is the value of an absent key (none: the key is required);
  // `fallback` replaces a value that is not a number.
  double number(const char* key, std::optional<double> missing, double fallback) {
    nb::object value = lookup(key);
    if (!value.is_valid()) return absent(key, missing, fallback);
    if (!PyBool_Check(value.ptr())) {
      PyObject* f = PyNumber_Float(value.ptr());
      if (f != nullptr) {
        double d = PyFloat_AsDouble(f);
        Py_DECREF(f);
        if (!std::isnan(d)) return d;
      } else if (PyErr_ExceptionMatches(PyExc_Exception)) {
        PyErr_Clear();
      } else {
        throw nb::python_error();
      }
    }
    misread(key, value, "is not a number; using " + number_text(fallback));
    return fallback;
  }

  // A duration text (read with the host's parse_duration), in seconds.
  double duration(const char* key, double fallback) {
    nb::object value = lookup(key);
    if (!value.is_valid()) return absent(key, std::nullopt, fallback);
    try {
      nb::object seconds = host("parse_duration")(nb::str(value));
      double d = PyFloat_AsDouble(seconds.ptr());
      if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
      if (!std::isnan(d)) return d;
    } catch (nb::python_error& e) {
      if (!e.matches(PyExc_Exception)) throw;
    }
    misread(key, value, "is not a duration; using " + number_text(fallback) + " s");
    return fallback;
  }

  // str() of a value, `missing` when absent.
  nb::object text(const char* key, const char* missing) {
    nb::object value = lookup(key);
    if (!value.is_valid()) return nb::str(missing);
    try {
      return nb::str(value);
    } catch (nb::python_error& e) {
      if (!e.matches(PyExc_Exception)) throw;
    }
    misread(key, value, "cannot be read as text");
    return nb::str(missing);
  }

  // The truth of a value, `missing` when absent.
  bool flag(const char* key, bool missing) {
    nb::object value = lookup(key);
    if (!value.is_valid()) return missing;
    int r = PyObject_IsTrue(value.ptr());
    if (r >= 0) return r == 1;
    PyErr_Clear();
    misread(key, value, "has no truth value");
    return missing;
  }

 private:
  static bool is_map(nb::handle value) {
    if (PyDict_Check(value.ptr())) return true;
    nb::object mapping = nb::module_::import_("collections.abc").attr("Mapping");
    return PyObject_IsInstance(value.ptr(), mapping.ptr()) == 1;
  }

  static std::string number_text(double d) {
    std::string storage;
    return std::string(utf8_of(nb::repr(nb::float_(d)), storage));
  }

  std::string where(const char* key) const { return path_.empty() ? key : path_ + "." + key; }

  // The value under `key`, invalid when absent. Errors of a host map other than KeyError
  // pass on.
  nb::object lookup(const char* key) {
    PyObject* v = PyObject_GetItem(map_.ptr(), nb::str(key).ptr());
    if (v != nullptr) return nb::steal(v);
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw nb::python_error();
    PyErr_Clear();
    return nb::object();
  }

  double absent(const char* key, std::optional<double> missing, double fallback) {
    if (missing) return *missing;
    if (misread_) return fallback;  // its section was replaced by the defaults
    throw nb::key_error(key);
  }

  void misread(const char* key, nb::handle value, const std::string& what) {
    std::string shown = "?";
    quietly([&] {
      std::string storage;
      shown = std::string(utf8_of(nb::repr(value), storage));
    });
    log_.warn(one_line("configuration " + where(key) + " = " + shown + " " + what));
  }

  nb::object map_;
  std::string path_;
  LogOnce& log_;
  bool misread_;
};

}  // namespace corvane::bindings
