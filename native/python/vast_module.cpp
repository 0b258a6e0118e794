// corvane.providers.vast: the Vast.ai marketplace adapter, a subclass of the host's Provider.
// Requests go through the module's http_json / http_get_json, logging through its `log`,
// sleeps through the host's time.sleep: all looked up at call time. This file holds the
// conversions between host values and the core's, the host side of the marketplace port,
// the errors, and the module's wiring.
#include <cmath>

#include "vast_host.hpp"

namespace corvane::bindings::vast {

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
  return is_map(v) ? core::Json::Map : core::Json::Other;
}

// str(v) as UTF-8; nothing when it fails.
std::optional<std::string> try_str(nb::handle v) {
  PyObject* s = PyObject_Str(v.ptr());
  if (s != nullptr) return utf8(nb::steal(s));
  PyErr_Clear();
  return std::nullopt;
}

// A host int as 64 bits, saturated; `exact` says whether it fit.
std::int64_t saturated(nb::handle n, bool* exact = nullptr) {
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(n.ptr(), &overflow);
  if (v == -1 && PyErr_Occurred()) throw nb::python_error();
  if (exact != nullptr) *exact = overflow == 0;
  return overflow == 0 ? v : overflow > 0 ? INT64_MAX : INT64_MIN;
}

// A host error's status as a number: None and non-numbers are none.
std::optional<long long> status_code(nb::handle status) {
  if (PyFloat_Check(status.ptr())) {
    double v = PyFloat_AsDouble(status.ptr());
    if (v != std::floor(v) || std::fabs(v) > 1e15) return std::nullopt;
    return static_cast<long long>(v);
  }
  bool exact = false;
  std::int64_t v = PyLong_Check(status.ptr()) ? saturated(status, &exact) : 0;
  return exact ? std::optional<long long>(v) : std::nullopt;
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

HostError::HostError(nb::python_error&& e) : error(std::move(e)) {
  ordinary = error.matches(PyExc_Exception);
  api_error = error.matches(mod("ProviderApiError"));
  if (!api_error) return;
  nb::object s = nb::getattr(error.value(), "status", nb::none());
  no_status = s.is_none();
  status = status_code(s);
  status_text = try_str(s).value_or("");
  text = try_str(error.value()).value_or("");
}

// -- host values <-> core values -----------------------------------------------------------

core::Value HostValues::read(nb::handle h, int depth) {
  core::Value v;
  v.origin = kept_.size();
  kept_.push_back(nb::borrow(h));
  v.kind = kind_of(h);
  v.truthy = truthy(h);
  if (v.kind == core::Json::Str) {
    v.text_ok = PyUnicode_AsUTF8AndSize(h.ptr(), nullptr) != nullptr;
    if (!v.text_ok) PyErr_Clear();
    v.text = utf8(h);
  } else if (v.kind == core::Json::Int) {
    v.integer = saturated(h);
  } else if (v.kind == core::Json::Float) {
    v.number = PyFloat_AsDouble(h.ptr());
  } else if ((v.kind == core::Json::List || v.kind == core::Json::Map) && depth >= kMaxDepth) {
    v.kind = core::Json::Other;
  } else if (v.kind == core::Json::List) {
    for (nb::handle item : h) v.items.push_back(read(item, depth + 1));
  } else if (v.kind == core::Json::Map) {
    for (nb::handle k : PyDict_Check(h.ptr()) ? nb::borrow(h) : h.attr("keys")()) {
      v.fields.push_back(core::Field{read(k, depth + 1), read(h[k], depth + 1)});
    }
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
    nb::object f = raw.is_none() ? nb::object() : try_convert(raw, PyNumber_Float);
    return f.is_valid() ? std::optional<double>(PyFloat_AsDouble(f.ptr())) : std::nullopt;
  });
}

std::optional<core::HostInt> HostPort::to_int(const core::Value& v) {
  return guarded([&]() -> std::optional<core::HostInt> {
    nb::object n = try_convert(values_.write(v), PyNumber_Long);
    if (!n.is_valid()) return std::nullopt;
    core::HostInt out;
    out.value = saturated(n, &out.exact);
    return out;
  });
}

std::optional<double> HostPort::to_float(const core::Value& v) {
  return guarded([&]() -> std::optional<double> {
    nb::object f = try_convert(values_.write(v), PyNumber_Float);
    return f.is_valid() ? std::optional<double>(PyFloat_AsDouble(f.ptr())) : std::nullopt;
  });
}

std::optional<std::string> HostPort::text(const core::Value& v) {
  return guarded([&] { return try_str(values_.write(v)); });
}

std::string HostPort::quote(const core::Value& v) {
  return guarded([&] {
    nb::object value = values_.write(v);
    PyObject* r = PyObject_Repr(value.ptr());
    if (r != nullptr) return core::one_line(utf8(nb::steal(r)), kQuoteBytes);
    PyErr_Clear();  // too deep to print: named by its type
    return "<" + host_type_name(value) + ">";
  });
}

std::string HostPort::type_name(const core::Value& v) {
  return guarded([&] { return host_type_name(values_.write(v)); });
}

// -- arguments and errors -------------------------------------------------------------------

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

std::int64_t saturated_int(nb::handle n) { return saturated(n); }

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

void raise_host_error(nb::python_error& e, nb::handle api_key) {
  if (!api_key.is_valid() || !PyUnicode_Check(api_key.ptr()) || !e.matches(PyExc_Exception)) {
    return;
  }
  nb::object err = nb::borrow(e.value());
  PyObject* shown = PyObject_Str(err.ptr());
  if (shown == nullptr) return PyErr_Clear();
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
  throw std::runtime_error(core::one_line(msg, kQuoteBytes));
}

}  // namespace corvane::bindings::vast

// -- the module ---------------------------------------------------------------------------

namespace {

using namespace corvane::bindings::vast;

void bind_host_services_and_constants(nb::module_& m) {
  nb::module_ http = nb::module_::import_("corvane.providers._http");
  for (const char* name : {"http_json", "http_get_json", "ProviderApiError"}) {
    m.attr(name) = http.attr(name);
  }
  m.attr("effective_country_codes") =
      import("corvane.providers.region").attr("effective_country_codes");
  m.attr("log") = import("logging").attr("getLogger")("corvane.providers.vast");
  m.attr("VAST_API_BASE") = std::string(core::kDefaultApiBase);
  nb::dict names;
  for (auto [k, v] : core::kGpuNameMap) names[str_of(k)] = str_of(v);
  m.attr("VAST_GPU_NAME_MAP") = names;
  m.attr("_DEFAULT_MIN_RELIABILITY") = core::kDefaultMinReliability;
  m.attr("_DEFAULT_MIN_INET_DOWN_MBPS") = core::kDefaultMinInetDownMbps;
  m.attr("_DEFAULT_MIN_CUDA_VERSION") = core::kDefaultMinCudaVersion;
  m.attr("_BUNDLE_SEARCH_LIMIT") = core::kBundleSearchLimit;
  m.attr("_SSH_ATTACH_MAX_ATTEMPTS") = core::kSshAttachMaxAttempts;
  nb::list attach, term;
  attach.append(nb::none());
  for (int s : core::kSshAttachRetryableStatuses) attach.append(s);
  for (int s : core::kTerminateRetryableStatuses) term.append(s);
  m.attr("_SSH_ATTACH_RETRYABLE_STATUSES") = builtin("set")(attach);
  m.attr("_TERMINATE_MAX_ATTEMPTS") = core::kTerminateMaxAttempts;
  m.attr("_TERMINATE_RETRYABLE_STATUSES") = builtin("frozenset")(term);
}

// The provider's plain methods: its profile, detection and capabilities.
void add_plain_methods(nb::dict ns) {
  nb::object profile_type = import("corvane.providers.base").attr("ProviderProfile");
  auto profile = [profile_type](nb::handle) {
    return entry("default_profile", {}, true, [&] {
      return profile_type(
          "checkpoint_dir"_a = "/workspace/checkpoints", "scheduler"_a = "none",
          "remote_mode"_a = "local", "ssh_user"_a = "root",
          "notes"_a = "Vast.ai peer-to-peer GPU marketplace (datacenter + consumer hosts).");
    });
  };
  auto detect = [](nb::handle) {
    return entry("detect", {}, true, [&] {
      nb::object env = import("os").attr("environ");
      return truthy(env.attr("get")("VAST_CONTAINERLABEL", "")) ||
             truthy(env.attr("get")("VAST_TCP_PORT_22", ""));
    });
  };
  auto yes = [](nb::handle) { return true; };
  ns["default_profile"] = nb::cpp_function(profile, nb::is_method(), nb::name("default_profile"));
  ns["detect"] = nb::cpp_function(detect, nb::is_method(), nb::name("detect"));
  ns["has_api"] = nb::cpp_function(yes, nb::is_method(), nb::name("has_api"));
  ns["supports_provisioning"] =
      nb::cpp_function(yes, nb::is_method(), nb::name("supports_provisioning"));
}

// The class is the host's own kind of class, a subclass of its Provider; its methods are
// native functions bound like methods.
nb::object provider_class(nb::module_& m) {
  nb::dict ns;
  ns["__doc__"] = "Vast.ai peer-to-peer GPU marketplace adapter.";
  ns["__module__"] = "corvane.providers.vast";
  ns["name"] = "vast";
  ns["requires_credentials"] = true;
  add_plain_methods(ns);
  add_offer_methods(m, ns);
  add_instance_methods(ns);
  nb::object base = import("corvane.providers.base").attr("Provider");
  return builtin("type")("VastProvider", nb::make_tuple(base), ns);
}

}  // namespace

NB_MODULE(vast, m) {
  corvane::bindings::configure_leak_checks();
  g_module = m;
  m.doc() = "The Vast.ai GPU marketplace adapter.";
  bind_host_services_and_constants(m);
  m.attr("VastProvider") = provider_class(m);
}
