// corvane.providers.vast: the Vast.ai marketplace adapter, a subclass of the host's Provider.
// Requests go through the module's http_json / http_get_json, logging through its `log`,
// sleeps through the host's time.sleep: all looked up at call time.
//
// Every answer is untrusted: a shape the core's rules cannot use is a ProviderApiError with
// a one-line message, and every entry point turns any C++ exception into a host error.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cmath>

#include "vast_host.hpp"

namespace nb = nanobind;
using namespace nb::literals;
namespace core = corvane::vast;

namespace corvane::bindings::vast {

// -- host values ---------------------------------------------------------------------------

std::string utf8(nb::handle s) {
  std::string storage;
  return std::string(utf8_of(s, storage));
}

namespace {

// Containers nested deeper than this are read as opaque values (written back as they were).
constexpr int kMaxDepth = 64;

core::Json kind_of(nb::handle v) {
  PyObject* p = v.ptr();
  if (p == Py_None) return core::Json::Null;
  if (PyBool_Check(p)) return core::Json::Bool;
  if (PyLong_Check(p)) return core::Json::Int;
  if (PyFloat_Check(p)) return core::Json::Float;
  if (PyUnicode_Check(p)) return core::Json::Str;
  if (PyList_Check(p)) return core::Json::List;
  if (is_map(v)) return core::Json::Map;
  return core::Json::Other;
}

// convert(x), the host's int() or float(); an invalid object when it raises TypeError,
// ValueError or OverflowError (float("inf") has no integer, 10**400 no float).
nb::object try_convert(nb::handle v, PyObject* (*convert)(PyObject*)) {
  PyObject* r = convert(v.ptr());
  if (r != nullptr) return nb::steal(r);
  if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError) ||
      PyErr_ExceptionMatches(PyExc_OverflowError)) {
    PyErr_Clear();
    return nb::object();
  }
  throw nb::python_error();
}

// A host error's status as a number: None and non-numbers are none.
std::optional<long long> status_code(nb::handle status) {
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

template <class F>
auto guarded(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (nb::python_error& e) {
    throw HostError(std::move(e));
  }
}

}  // namespace

std::int64_t saturated(nb::handle n) {
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(n.ptr(), &overflow);
  if (v == -1 && PyErr_Occurred()) throw nb::python_error();
  if (overflow != 0) return overflow > 0 ? INT64_MAX : INT64_MIN;
  return v;
}

HostError::HostError(nb::python_error&& e) : error(std::move(e)) {
  ordinary = error.matches(PyExc_Exception);
  api_error = error.matches(mod("ProviderApiError"));
  if (!api_error) return;
  nb::object s = nb::getattr(error.value(), "status", nb::none());
  no_status = s.is_none();
  status = status_code(s);
  PyObject* shown = PyObject_Str(s.ptr());
  if (shown == nullptr) PyErr_Clear();
  status_text = shown != nullptr ? utf8(nb::steal(shown)) : "";
  shown = PyObject_Str(error.value().ptr());
  if (shown == nullptr) PyErr_Clear();
  text = shown != nullptr ? utf8(nb::steal(shown)) : "";
}

core::Value HostValues::read(nb::handle h, int depth) {
  core::Value v;
  v.origin = kept_.size();
  kept_.push_back(nb::borrow(h));
  v.kind = kind_of(h);
  v.truthy = truthy(h);
  switch (v.kind) {
    case core::Json::Str:
      v.text_ok = PyUnicode_AsUTF8AndSize(h.ptr(), nullptr) != nullptr;
      if (!v.text_ok) PyErr_Clear();
      v.text = utf8(h);
      break;
    case core::Json::Int:
      v.integer = saturated(h);
      break;
    case core::Json::Float:
      v.number = PyFloat_AsDouble(h.ptr());
      break;
    case core::Json::List:
    case core::Json::Map:
      if (depth >= kMaxDepth) {
        v.kind = core::Json::Other;
      } else if (v.kind == core::Json::List) {
        for (nb::handle item : h) v.items.push_back(read(item, depth + 1));
      } else {
        nb::object keys = PyDict_Check(h.ptr()) ? nb::borrow(h) : h.attr("keys")();
        for (nb::handle k : keys) {
          v.fields.push_back(core::Field{read(k, depth + 1), read(h[k], depth + 1)});
        }
      }
      break;
    default:
      break;
  }
  return v;
}

nb::object HostValues::write(const core::Value& v) {
  if (v.origin != core::kNoOrigin) return kept_[v.origin];
  switch (v.kind) {
    case core::Json::Bool:
      return nb::bool_(v.truthy);
    case core::Json::Int:
      return nb::int_(v.integer);
    case core::Json::Float:
      return nb::float_(v.number);
    case core::Json::Str:
      return str_of(v.text);
    case core::Json::List: {
      nb::list out;
      for (const core::Value& item : v.items) out.append(write(item));
      return out;
    }
    case core::Json::Map: {
      nb::dict out;
      for (const core::Field& f : v.fields) out[write(f.key)] = write(f.value);
      return out;
    }
    default:
      return nb::none();
  }
}

// -- the marketplace port -------------------------------------------------------------------

core::Value HostPort::read(nb::handle h) {
  return guarded([&] { return values_.read(h); });
}

core::Value HostPort::send(std::string_view method, const std::string& url,
                           const core::Value* body) {
  return guarded([&] {
    nb::dict headers;
    headers["Authorization"] = nb::str("Bearer ") + nb::str(key_);
    nb::object answer =
        body == nullptr
            ? mod("http_get_json")(url, "headers"_a = headers, "provider"_a = kProvider)
            : mod("http_json")(url, "method"_a = std::string(method), "headers"_a = headers,
                               "body"_a = values_.write(*body), "provider"_a = kProvider);
    return values_.read(answer);
  });
}

void HostPort::sleep(long long seconds) {
  guarded([&] { import("time").attr("sleep")(seconds); });
}

void HostPort::warn(const std::string& format) {
  guarded([&] { mod("log").attr("warning")(format, instance_); });
}

std::optional<double> HostPort::env_number(const char* name) {
  return guarded([&]() -> std::optional<double> {
    nb::object raw = import("os").attr("environ").attr("get")(name);
    if (raw.is_none()) return std::nullopt;
    nb::object f = try_convert(raw, PyNumber_Float);
    if (!f.is_valid()) return std::nullopt;
    return PyFloat_AsDouble(f.ptr());
  });
}

std::optional<core::HostInt> HostPort::to_int(const core::Value& v) {
  return guarded([&]() -> std::optional<core::HostInt> {
    nb::object n = try_convert(values_.write(v), PyNumber_Long);
    if (!n.is_valid()) return std::nullopt;
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(n.ptr(), &overflow);
    return core::HostInt{saturated(n), overflow == 0};
  });
}

std::optional<double> HostPort::to_float(const core::Value& v) {
  return guarded([&]() -> std::optional<double> {
    nb::object f = try_convert(values_.write(v), PyNumber_Float);
    if (!f.is_valid()) return std::nullopt;
    return PyFloat_AsDouble(f.ptr());
  });
}

std::optional<std::string> HostPort::text(const core::Value& v) {
  return guarded([&]() -> std::optional<std::string> {
    PyObject* s = PyObject_Str(values_.write(v).ptr());
    if (s == nullptr) {
      PyErr_Clear();
      return std::nullopt;
    }
    return utf8(nb::steal(s));
  });
}

std::string HostPort::quote(const core::Value& v) {
  return guarded([&] {
    // Longest piece of an answer quoted in a message.
    constexpr std::size_t kQuoteBytes = 300;
    nb::object value = values_.write(v);
    PyObject* r = PyObject_Repr(value.ptr());
    if (r == nullptr) {  // too deep to print: named by its type
      PyErr_Clear();
      return "<" + host_type_name(value) + ">";
    }
    return core::one_line(utf8(nb::steal(r)), kQuoteBytes);
  });
}

std::string HostPort::type_name(const core::Value& v) {
  return guarded([&] { return host_type_name(values_.write(v)); });
}

// -- arguments, errors ----------------------------------------------------------------------

void check_key(nb::handle api_key) {
  if (!PyUnicode_Check(api_key.ptr())) raise_type("api_key", "a str", api_key);
}

std::string api_base() {
  nb::object env = import("os").attr("environ").attr("get")("CORVANE_VAST_API_BASE");
  if (!env.is_none() && truthy(env)) return core::api_base(str_text(env), "");
  return core::api_base("", str_text(mod("VAST_API_BASE")));
}

nb::object at_least_one(const char* what, nb::handle value) {
  nb::object n = try_convert(value, PyNumber_Long);
  if (!n.is_valid()) raise_type(what, "an int", value);
  nb::int_ one(1);
  return n < one ? nb::object(one) : n;
}

std::vector<core::Field> read_hints(HostPort& port, nb::handle spec) {
  std::vector<core::Field> out;
  for (nb::handle pair : spec.attr("provider_hints")) {
    nb::object seq = builtin("tuple")(pair);
    if (nb::len(seq) != 2) throw nb::value_error("provider hint must be a (key, value) pair");
    out.push_back(core::Field{port.read(seq[0]), port.read(seq[1])});
  }
  return out;
}

void raise_provider_obj(nb::handle status, nb::handle message) {
  nb::object err = mod("ProviderApiError")(kProvider, status, message);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(err.ptr())), err.ptr());
  throw nb::python_error();
}

void raise_provider(std::optional<long long> status, const std::string& message) {
  raise_provider_obj(status ? nb::object(nb::int_(*status)) : nb::none(), str_of(message));
}

// A host error whose text holds the API key is raised again as a ProviderApiError whose
// message has the key replaced (a ProviderApiError keeps its status).
void raise_host_error(nb::python_error& e, nb::handle api_key) {
  if (!api_key.is_valid() || !PyUnicode_Check(api_key.ptr()) || !e.matches(PyExc_Exception)) {
    return;
  }
  nb::object err = nb::borrow(e.value());
  PyObject* shown = PyObject_Str(err.ptr());
  if (shown == nullptr) {
    PyErr_Clear();
    return;
  }
  nb::object shown_obj = nb::steal(shown);
  bool api_error = e.matches(mod("ProviderApiError"));
  nb::object message = api_error ? nb::getattr(err, "message", shown_obj) : shown_obj;
  if (!PyUnicode_Check(message.ptr())) message = shown_obj;
  std::optional<std::string> clean =
      core::without_key(exact_utf8(shown_obj), exact_utf8(message), exact_utf8(api_key));
  if (!clean) return;
  nb::object status = api_error ? nb::getattr(err, "status", nb::none()) : nb::none();
  raise_provider_obj(status, from_exact_utf8(*clean));
}

void raise_internal(const char* op, const char* what, bool provider_op) {
  std::string msg = std::string("internal error in ") + op;
  if (what != nullptr) msg += std::string(": ") + what;
  if (provider_op) raise_provider(std::nullopt, msg);
  throw std::runtime_error(core::one_line(msg, 300));
}

}  // namespace corvane::bindings::vast

using namespace corvane::bindings::vast;

namespace {

void bind_host_services_and_constants(nb::module_& m) {
  nb::module_ http = nb::module_::import_("corvane.providers._http");
  m.attr("http_json") = http.attr("http_json");
  m.attr("http_get_json") = http.attr("http_get_json");
  m.attr("ProviderApiError") = http.attr("ProviderApiError");
  m.attr("effective_country_codes") =
      nb::module_::import_("corvane.providers.region").attr("effective_country_codes");
  m.attr("log") = nb::module_::import_("logging").attr("getLogger")("corvane.providers.vast");

  m.attr("VAST_API_BASE") = str_of(std::string(core::kDefaultApiBase));
  nb::dict names;
  for (auto [k, v] :
       std::initializer_list<std::pair<const char*, const char*>>{{"H100_SXM", "H100 SXM"},
                                                                  {"H100_PCIE", "H100 PCIE"},
                                                                  {"H200", "H200"},
                                                                  {"B200", "B200"},
                                                                  {"A100_SXM", "A100 SXM4"},
                                                                  {"A100_PCIE", "A100 PCIE"},
                                                                  {"L40S", "L40S"},
                                                                  {"RTX_4090", "RTX 4090"},
                                                                  {"RTX_3090", "RTX 3090"},
                                                                  {"RTX_3070", "RTX 3070"},
                                                                  {"RTX_A5000", "RTX A5000"},
                                                                  {"RTX_A6000", "RTX A6000"},
                                                                  {"MI300X", "MI300X"},
                                                                  {"GH200", "GH200"}}) {
    names[k] = v;
  }
  m.attr("VAST_GPU_NAME_MAP") = names;
  m.attr("_DEFAULT_MIN_RELIABILITY") = 0.95;
  m.attr("_DEFAULT_MIN_INET_DOWN_MBPS") = 100;
  m.attr("_DEFAULT_MIN_CUDA_VERSION") = 12.4;
  m.attr("_BUNDLE_SEARCH_LIMIT") = 20;
  m.attr("_SSH_ATTACH_MAX_ATTEMPTS") = core::kSshAttachMaxAttempts;
  nb::object set = nb::module_::import_("builtins").attr("set")();
  set.attr("add")(nb::none());
  for (int s : core::kSshAttachRetryableStatuses) set.attr("add")(s);
  m.attr("_SSH_ATTACH_RETRYABLE_STATUSES") = set;
  m.attr("_TERMINATE_MAX_ATTEMPTS") = core::kTerminateMaxAttempts;
  nb::list term;
  for (int s : core::kTerminateRetryableStatuses) term.append(s);
  m.attr("_TERMINATE_RETRYABLE_STATUSES") =
      nb::module_::import_("builtins").attr("frozenset")(term);
}

// The provider's plain methods: its profile, detection and capabilities.
void add_plain_methods(nb::dict ns) {
  auto method = [&](const char* name, nb::object fn) { ns[name] = fn; };
  nb::object profile_type = nb::module_::import_("corvane.providers.base").attr("ProviderProfile");
  method("default_profile",
         nb::cpp_function(
             [profile_type](nb::handle) {
               return entry("default_profile", {}, true, [&] {
                 return profile_type(
                     "checkpoint_dir"_a = "/workspace/checkpoints", "scheduler"_a = "none",
                     "remote_mode"_a = "local", "ssh_user"_a = "root",
                     "notes"_a =
                         "Vast.ai peer-to-peer GPU marketplace (datacenter + consumer hosts).");
               });
             },
             nb::is_method(), nb::name("default_profile")));
  method("detect", nb::cpp_function(
                       [](nb::handle) {
                         return entry("detect", {}, true, [&] {
                           nb::object env = nb::module_::import_("os").attr("environ");
                           if (truthy(env.attr("get")("VAST_CONTAINERLABEL", ""))) return true;
                           return truthy(env.attr("get")("VAST_TCP_PORT_22", ""));
                         });
                       },
                       nb::is_method(), nb::name("detect")));
  method("has_api",
         nb::cpp_function([](nb::handle) { return true; }, nb::is_method(), nb::name("has_api")));
  method("supports_provisioning", nb::cpp_function([](nb::handle) { return true; }, nb::is_method(),
                                                   nb::name("supports_provisioning")));
}

// The marketplace operations; each runs through entry() itself.
void add_marketplace_methods(nb::dict ns) {
  auto method = [&](const char* name, auto fn, const auto&... args) {
    ns[name] = nb::cpp_function(fn, nb::is_method(), nb::name(name), args...);
  };
  auto key = "api_key"_a.none();
  auto id = "instance_id"_a.none();
  method("_find_offers", &find_offers, "spec"_a, key, nb::kw_only(), "limit"_a.none());
  method("_find_cheapest_offer", &find_cheapest_offer, "spec"_a, key);
  method("provision", &provision, "spec"_a, nb::kw_only(), key);
  method("provision_candidates", &provision_candidates, "spec"_a, nb::kw_only(), key,
         "count"_a.none(), "stagger_seconds"_a.none() = 2.0, "on_launch"_a.none() = nb::none());
  method("_launch_offer", &launch_offer, "offer"_a.none(), "spec"_a, key, nb::kw_only(),
         "on_contract"_a.none() = nb::none());
  method("list_instances", &list_instances, key);
  method("get_instance", &get_instance, id, nb::kw_only(), key);
  method("terminate", &terminate, id, nb::kw_only(), key);
  method("_terminate_existing", &terminate_existing, id, nb::kw_only(), key);
  method("_attach_ssh_key", &attach_ssh_key, id, "spec"_a, key);
  ns["_parse_instance"] = builtin("staticmethod")(
      nb::cpp_function(&parse_instance, nb::name("_parse_instance"), "item"_a.none()));
}

// The class is the host's own kind of class, a subclass of its Provider; its methods are
// native functions bound like methods.
nb::object provider_class() {
  nb::dict ns;
  ns["__doc__"] = "Vast.ai peer-to-peer GPU marketplace adapter.";
  ns["__module__"] = "corvane.providers.vast";
  ns["name"] = "vast";
  ns["requires_credentials"] = true;
  add_plain_methods(ns);
  add_marketplace_methods(ns);
  nb::module_ base = nb::module_::import_("corvane.providers.base");
  return nb::module_::import_("builtins")
      .attr("type")("VastProvider", nb::make_tuple(base.attr("Provider")), ns);
}

}  // namespace

NB_MODULE(vast, m) {
  corvane::bindings::configure_leak_checks();
  g_module = m;
  m.doc() = "The Vast.ai GPU marketplace adapter.";
  bind_host_services_and_constants(m);

  m.def("_spec_env_to_vast_dict", &spec_env_to_vast_dict, "env"_a.none(),
        "ssh_public_key"_a.none());
  m.def("_build_onstart", &build_onstart, "ssh_public_key"_a.none());
  m.attr("VastProvider") = provider_class();
}
