// The job's configuration map as the core's settings reader sees it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "../core/common/settings.hpp"
#include "host.hpp"
#include "thread_guard.hpp"

namespace corvane::bindings {

// One host value of the configuration. An error of the host that is no Exception (an
// interrupt, an exit) passes on from every call but repr().
class HostConfigValue final : public ConfigValue {
 public:
  explicit HostConfigValue(nb::object value) : value_(std::move(value)) {}

  // Errors of a host map other than KeyError pass on.
  std::shared_ptr<ConfigValue> item(std::string_view key) override {
    PyObject* v = PyObject_GetItem(value_.ptr(), str_of(key).ptr());
    if (v != nullptr) return std::make_shared<HostConfigValue>(nb::steal(v));
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw nb::python_error();
    PyErr_Clear();
    return nullptr;
  }
  bool is_map() override {
    return refused_if_ordinary([&] { return bindings::is_map(value_); }).value_or(false);
  }
  bool is_bool() override { return PyBool_Check(value_.ptr()); }
  bool is_none() override { return value_.is_none(); }
  std::optional<std::int64_t> whole_number() override {
    if (!PyLong_Check(value_.ptr())) return std::nullopt;
    Py_ssize_t n = PyLong_AsSsize_t(value_.ptr());
    if (n == -1 && PyErr_Occurred()) throw nb::python_error();
    return n;
  }
  std::optional<double> number() override {
    return refused_if_ordinary([&] {
      nb::object f = nb::steal(PyNumber_Float(value_.ptr()));
      if (!f.is_valid()) throw nb::python_error();
      return PyFloat_AsDouble(f.ptr());
    });
  }
  std::optional<double> duration() override {
    return refused_if_ordinary([&] {
      return as_double(host("parse_duration")(nb::str(value_)));
    });
  }
  std::optional<std::string> text() override {
    return refused_if_ordinary([&] { return exact_utf8(nb::str(value_)); });
  }
  std::optional<bool> truth() override {
    return refused_if_ordinary([&] { return truthy(value_); });
  }
  std::string repr() override {
    std::string shown = "?";
    quietly([&] {
      std::string storage;
      shown = std::string(utf8_of(nb::repr(value_), storage));
    });
    return shown;
  }

 private:
  // `fn()`, or nothing when the host refuses with an Exception; other errors pass on.
  template <class Fn>
  static auto refused_if_ordinary(Fn&& fn) -> std::optional<decltype(fn())> {
    try {
      return fn();
    } catch (nb::python_error& e) {
      if (!e.matches(PyExc_Exception)) throw;
    }
    return std::nullopt;
  }

  nb::object value_;
};

// `read(reader)` over the job's configuration, its misread values logged once through `log`;
// a required key the configuration lacks raises the host's KeyError.
template <class Fn>
auto read_configuration(nb::handle config, LogOnce& log, Fn&& read) {
  SettingsReader root(std::make_shared<HostConfigValue>(nb::borrow(config)),
                      [&log](const std::string& line) { log.warn(line); });
  try {
    return read(root);
  } catch (const MissingSetting& e) {
    throw nb::key_error(e.key.c_str());
  }
}

}  // namespace corvane::bindings
