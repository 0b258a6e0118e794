// The Vast.ai adapter's shared pieces: host calls, answer reading, errors and the guard
// every entry point runs in.
#pragma once

#include <cxxabi.h>
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../core/vast/requests.hpp"
#include "../core/vast/rules.hpp"
#include "host.hpp"

namespace corvane::bindings::vast {

namespace nb = nanobind;
using namespace nb::literals;
using corvane::bindings::builtin;
using corvane::bindings::host_type_name;
using corvane::bindings::import;
using corvane::bindings::is_map;
using corvane::bindings::raise_type;
using corvane::bindings::str_of;
using corvane::bindings::truthy;
using corvane::bindings::utf8_of;
namespace core = corvane::vast;

inline nb::handle g_module;  // the module; its host services are read at call time

inline nb::object mod(const char* name) { return g_module.attr(name); }

constexpr const char* kProvider = "vast";
constexpr const char* kNoKey = "Vast.ai API key is required";
// Longest piece of an answer quoted in a message.
constexpr std::size_t kQuoteBytes = 300;

inline void check_key(nb::handle api_key) {
  if (!PyUnicode_Check(api_key.ptr())) raise_type("api_key", "a str", api_key);
}

// UTF-8 of a host str (lone surrogates read as U+FFFD), never failing.
inline std::string utf8(nb::handle s) {
  std::string storage;
  std::string_view view = utf8_of(s, storage);
  return std::string(view);
}
// str(v) as UTF-8; a value whose str() fails raises that host error.
inline std::string str_text(nb::handle v) { return utf8(nb::str(v)); }

// repr(v) for a message: one line, bounded, and never failing (a value too deep to print
// is named by its type).
inline std::string quote(nb::handle v) {
  PyObject* r = PyObject_Repr(v.ptr());
  if (r == nullptr) {
    PyErr_Clear();
    return "<" + host_type_name(v) + ">";
  }
  return core::one_line(utf8(nb::steal(r)), kQuoteBytes);
}

inline core::Json kind_of(nb::handle v) {
  PyObject* p = v.ptr();
  if (p == nullptr) return core::Json::Missing;
  if (p == Py_None) return core::Json::Null;
  if (PyBool_Check(p)) return core::Json::Bool;
  if (PyLong_Check(p)) return core::Json::Int;
  if (PyFloat_Check(p)) return core::Json::Float;
  if (PyUnicode_Check(p)) return core::Json::Str;
  if (PyList_Check(p)) return core::Json::List;
  if (is_map(v)) return core::Json::Map;
  return core::Json::Other;
}

// map[key], or an invalid handle when the key is absent.
inline nb::object field(nb::handle map, const char* key) {
  if (PyDict_Check(map.ptr())) {
    PyObject* v = PyDict_GetItemString(map.ptr(), key);
    return v != nullptr ? nb::borrow(v) : nb::object();
  }
  nb::str k(key);
  int has = PySequence_Contains(map.ptr(), k.ptr());
  if (has < 0) throw nb::python_error();
  return has == 1 ? nb::object(map[k]) : nb::object();
}

// map.get(key): None when absent.
inline nb::object item(nb::handle map, const char* key) {
  nb::object v = field(map, key);
  return v.is_valid() ? v : nb::none();
}

// VAST_API_BASE, or CORVANE_VAST_API_BASE from the environment (a local server in tests).
inline std::string api_base() {
  nb::object env = import("os").attr("environ").attr("get")("CORVANE_VAST_API_BASE");
  if (!env.is_none() && truthy(env)) return core::api_base(str_text(env), "");
  return core::api_base("", str_text(mod("VAST_API_BASE")));
}

// A host error's status as a number: None and non-numbers are none.
inline std::optional<long long> status_code(nb::handle status) {
  if (PyFloat_Check(status.ptr())) {
    double v = PyFloat_AsDouble(status.ptr());
    if (v != std::floor(v) || std::fabs(v) > 1e15) return std::nullopt;
    return static_cast<long long>(v);
  }
  if (!PyLong_Check(status.ptr())) return std::nullopt;
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(status.ptr(), &overflow);
  if (overflow != 0) return std::nullopt;
  return v;
}

inline nb::dict auth(nb::handle api_key) {
  nb::dict h;
  h["Authorization"] = nb::str("Bearer ") + nb::str(api_key);
  return h;
}

// convert(x), the host's int() or float(); an invalid object when it raises TypeError,
// ValueError or OverflowError (float("inf") has no integer, 10**400 no float).
inline nb::object try_convert(nb::handle v, PyObject* (*convert)(PyObject*)) {
  PyObject* r = convert(v.ptr());
  if (r != nullptr) return nb::steal(r);
  if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError) ||
      PyErr_ExceptionMatches(PyExc_OverflowError)) {
    PyErr_Clear();
    return nb::object();
  }
  throw nb::python_error();
}

inline std::optional<std::int64_t> try_int(nb::handle v) {
  nb::object o = try_convert(v, PyNumber_Long);
  if (!o.is_valid()) return std::nullopt;
  int overflow = 0;
  long long x = PyLong_AsLongLongAndOverflow(o.ptr(), &overflow);
  if (overflow) return std::nullopt;
  return x;
}

inline std::optional<double> try_float(nb::handle v) {
  nb::object o = try_convert(v, PyNumber_Float);
  if (!o.is_valid()) return std::nullopt;
  return PyFloat_AsDouble(o.ptr());
}

inline core::OfferFacts facts(nb::handle offer) {
  core::OfferFacts f;
  nb::object machine = item(offer, "machine_id");
  if (!machine.is_none()) f.machine_id = try_int(machine);
  nb::object price = item(offer, "dph_total");
  if (!price.is_none()) f.price = try_float(price);
  return f;
}

inline double env_multiplier(const char* name, const char* fallback, double low, double high) {
  nb::object raw = import("os").attr("environ").attr("get")(name, fallback);
  std::optional<double> v = try_float(raw);
  double def = nb::cast<double>(builtin("float")(fallback));
  return core::clamp_multiplier(v, def, low, high);
}

[[noreturn]] inline void raise_provider_obj(nb::handle status, nb::handle message) {
  nb::object err = mod("ProviderApiError")(kProvider, status, message);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(err.ptr())), err.ptr());
  throw nb::python_error();
}
[[noreturn]] inline void raise_provider(nb::handle status, const std::string& message) {
  raise_provider_obj(status, str_of(message));
}
// An answer this adapter cannot use.
[[noreturn]] inline void raise_malformed(const std::string& what, const std::string& detail) {
  raise_provider(nb::none(), "malformed Vast.ai " + what + " answer: " + detail);
}
[[noreturn]] inline void raise_value_error(nb::handle message) {
  PyErr_SetObject(PyExc_ValueError, message.ptr());
  throw nb::python_error();
}

// The items of a list-valued answer field: [] when the answer is not a map or the field is
// absent or null; any other value makes the answer malformed.
inline nb::list answer_list(nb::handle answer, const char* key, const char* what) {
  if (!is_map(answer)) return nb::list();
  nb::object value = field(answer, key);
  switch (core::list_field(kind_of(value))) {
    case core::ListField::Items:
      return nb::borrow<nb::list>(value);
    case core::ListField::Nothing:
      return nb::list();
    case core::ListField::Malformed:
      break;
  }
  raise_malformed(what, "'" + std::string(key) + "' is " + host_type_name(value) +
                            ", not a list: " + quote(value));
}

// Secrets shorter than this are not searched for: they would match ordinary words.
constexpr Py_ssize_t kMinRedactedKey = 8;

// Whether a host error's text holds the API key; such an error is raised again as a
// ProviderApiError whose message has the key replaced (ProviderApiError keeps its status).
inline bool reraise_without_key(nb::python_error& e, nb::handle api_key) {
  if (!api_key.is_valid() || !PyUnicode_Check(api_key.ptr()) ||
      PyUnicode_GetLength(api_key.ptr()) < kMinRedactedKey || !e.matches(PyExc_Exception)) {
    return false;
  }
  nb::object err = nb::borrow(e.value());
  PyObject* shown = PyObject_Str(err.ptr());
  if (shown == nullptr) {
    PyErr_Clear();
    return false;
  }
  nb::object shown_obj = nb::steal(shown);
  if (PySequence_Contains(shown_obj.ptr(), api_key.ptr()) != 1) {
    PyErr_Clear();
    return false;
  }
  bool api_error = e.matches(mod("ProviderApiError"));
  nb::object message = api_error ? nb::getattr(err, "message", shown_obj) : shown_obj;
  if (!PyUnicode_Check(message.ptr())) message = shown_obj;
  nb::object status = api_error ? nb::getattr(err, "status", nb::none()) : nb::none();
  raise_provider_obj(status, message.attr("replace")(api_key, "<api key>"));
}

// Runs one entry point. Host errors pass unchanged (less the API key); a C++ exception,
// which only a fault here can cause, becomes a ProviderApiError for the marketplace
// operations and a RuntimeError for the plain helpers.
template <class F>
auto entry(const char* op, nb::handle api_key, bool provider_op, F&& body) -> decltype(body()) {
  try {
    return body();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (nb::python_error& e) {
    reraise_without_key(e, api_key);
    throw;
  } catch (nb::builtin_exception&) {
    throw;  // TypeError / ValueError raised on purpose
  } catch (const std::exception& e) {
    std::string msg = std::string("internal error in ") + op + ": " + e.what();
    if (provider_op) raise_provider(nb::none(), msg);
    throw std::runtime_error(core::one_line(msg, kQuoteBytes));
  } catch (...) {
    std::string msg = std::string("internal error in ") + op;
    if (provider_op) raise_provider(nb::none(), msg);
    throw std::runtime_error(msg);
  }
}

inline std::vector<std::pair<nb::object, nb::object>> hints(nb::handle spec) {
  std::vector<std::pair<nb::object, nb::object>> out;
  for (nb::handle pair : spec.attr("provider_hints")) {
    nb::object seq = builtin("tuple")(pair);
    if (nb::len(seq) != 2) {
      throw nb::value_error("provider hint must be a (key, value) pair");
    }
    out.emplace_back(seq[0], seq[1]);
  }
  return out;
}

// max(int(value), 1) as a host int; TypeError when `value` has no integer.
inline nb::object at_least_one(const char* what, nb::handle value) {
  nb::object n = try_convert(value, PyNumber_Long);
  if (!n.is_valid()) raise_type(what, "an int", value);
  nb::int_ one(1);
  return n < one ? nb::object(one) : n;
}

// The adapter's operations (vast_offers.cpp, vast_instances.cpp).
nb::list find_offers(nb::handle spec, nb::handle api_key, nb::handle limit);
nb::object find_cheapest_offer(nb::handle self, nb::handle spec, nb::handle api_key);
nb::dict spec_env_to_vast_dict(nb::handle env, nb::handle key);
nb::object build_onstart(nb::handle key);
nb::object launch_offer(nb::handle self, nb::handle offer, nb::handle spec, nb::handle api_key,
                        nb::handle on_contract);
nb::object provision(nb::handle self, nb::handle spec, nb::handle api_key);
nb::list provision_candidates(nb::handle self, nb::handle spec, nb::handle api_key,
                              nb::handle count, nb::handle stagger, nb::handle on_launch);
nb::object parse_instance(nb::handle item_map);
nb::list list_instances(nb::handle api_key);
nb::object get_instance(nb::handle instance_id, nb::handle api_key);
nb::object attach_ssh_key(nb::handle instance_id, nb::handle spec, nb::handle api_key);
nb::object terminate_instance(nb::handle instance_id, nb::handle api_key, bool missing_ok);

}  // namespace corvane::bindings::vast
