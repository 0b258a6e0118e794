// corvane.providers.vast: the Vast.ai marketplace adapter, a subclass of the host's Provider.
// Requests go through the module's http_json / http_get_json, logging through its `log`,
// sleeps through the host's time.sleep: all looked up at call time.
//
// Every answer is untrusted: a shape the rules below cannot use is a ProviderApiError with
// a one-line message, and every entry point turns any C++ exception into a host error.
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

#include "../providers/vast_core.hpp"
#include "host_text.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using corvane::bindings::host_type_name;
using corvane::bindings::raise_type;
using corvane::bindings::utf8_of;
namespace core = corvane::vast;

namespace {

nb::handle g_module;

nb::object mod(const char* name) { return g_module.attr(name); }
nb::object import(const char* name) { return nb::module_::import_(name); }
nb::object builtin(const char* name) { return import("builtins").attr(name); }
nb::str text(const std::string& s) { return nb::str(s.data(), s.size()); }
bool truthy(nb::handle v) {
  int r = PyObject_IsTrue(v.ptr());
  if (r < 0) throw nb::python_error();
  return r == 1;
}
bool is_map(nb::handle v) {
  if (PyDict_Check(v.ptr())) return true;
  int r = PyObject_IsInstance(v.ptr(), import("collections.abc").attr("Mapping").ptr());
  if (r < 0) throw nb::python_error();
  return r == 1;
}

constexpr const char* kProvider = "vast";
constexpr const char* kNoKey = "Vast.ai API key is required";
// Longest piece of an answer quoted in a message.
constexpr std::size_t kQuoteBytes = 300;

void check_key(nb::handle api_key) {
  if (!PyUnicode_Check(api_key.ptr())) raise_type("api_key", "a str", api_key);
}

// UTF-8 of a host str (lone surrogates read as U+FFFD), never failing.
std::string utf8(nb::handle s) {
  std::string storage;
  std::string_view view = utf8_of(s, storage);
  return std::string(view);
}
// str(v) as UTF-8; a value whose str() fails raises that host error.
std::string str_text(nb::handle v) { return utf8(nb::str(v)); }

// repr(v) for a message: one line, bounded, and never failing (a value too deep to print
// is named by its type).
std::string quote(nb::handle v) {
  PyObject* r = PyObject_Repr(v.ptr());
  if (r == nullptr) {
    PyErr_Clear();
    return "<" + host_type_name(v) + ">";
  }
  return core::one_line(utf8(nb::steal(r)), kQuoteBytes);
}

core::Json kind_of(nb::handle v) {
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
nb::object field(nb::handle map, const char* key) {
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
nb::object item(nb::handle map, const char* key) {
  nb::object v = field(map, key);
  return v.is_valid() ? v : nb::none();
}

// VAST_API_BASE, or CORVANE_VAST_API_BASE from the environment (a local server in tests).
std::string api_base() {
  nb::object env = import("os").attr("environ").attr("get")("CORVANE_VAST_API_BASE");
  nb::object base = env.is_none() || !truthy(env) ? mod("VAST_API_BASE") : env;
  std::string out = str_text(base);
  while (!out.empty() && out.back() == '/') out.pop_back();
  return out;
}

nb::dict auth(nb::handle api_key) {
  nb::dict h;
  h["Authorization"] = nb::str("Bearer ") + nb::str(api_key);
  return h;
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

std::optional<std::int64_t> try_int(nb::handle v) {
  nb::object o = try_convert(v, PyNumber_Long);
  if (!o.is_valid()) return std::nullopt;
  int overflow = 0;
  long long x = PyLong_AsLongLongAndOverflow(o.ptr(), &overflow);
  if (overflow) return std::nullopt;
  return x;
}

std::optional<double> try_float(nb::handle v) {
  nb::object o = try_convert(v, PyNumber_Float);
  if (!o.is_valid()) return std::nullopt;
  return PyFloat_AsDouble(o.ptr());
}

core::OfferFacts facts(nb::handle offer) {
  core::OfferFacts f;
  nb::object machine = item(offer, "machine_id");
  if (!machine.is_none()) f.machine_id = try_int(machine);
  nb::object price = item(offer, "dph_total");
  if (!price.is_none()) f.price = try_float(price);
  return f;
}

double env_multiplier(const char* name, const char* fallback, double low, double high) {
  nb::object raw = import("os").attr("environ").attr("get")(name, fallback);
  std::optional<double> v = try_float(raw);
  double def = nb::cast<double>(builtin("float")(fallback));
  return core::clamp_multiplier(v, def, low, high);
}

[[noreturn]] void raise_provider_obj(nb::handle status, nb::handle message) {
  nb::object err = mod("ProviderApiError")(kProvider, status, message);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(err.ptr())), err.ptr());
  throw nb::python_error();
}
[[noreturn]] void raise_provider(nb::handle status, const std::string& message) {
  raise_provider_obj(status, text(message));
}
// An answer this adapter cannot use.
[[noreturn]] void raise_malformed(const std::string& what, const std::string& detail) {
  raise_provider(nb::none(), "malformed Vast.ai " + what + " answer: " + detail);
}
[[noreturn]] void raise_value_error(nb::handle message) {
  PyErr_SetObject(PyExc_ValueError, message.ptr());
  throw nb::python_error();
}

// The items of a list-valued answer field: [] when the answer is not a map or the field is
// absent or null; any other value makes the answer malformed.
nb::list answer_list(nb::handle answer, const char* key, const char* what) {
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
bool reraise_without_key(nb::python_error& e, nb::handle api_key) {
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

std::vector<std::pair<nb::object, nb::object>> hints(nb::handle spec) {
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
nb::object at_least_one(const char* what, nb::handle value) {
  nb::object n = try_convert(value, PyNumber_Long);
  if (!n.is_valid()) raise_type(what, "an int", value);
  nb::int_ one(1);
  return n < one ? nb::object(one) : n;
}

// -- search ---------------------------------------------------------------------------

nb::list find_offers(nb::handle spec, nb::handle api_key, nb::handle limit) {
  check_key(api_key);
  nb::object limit_value = at_least_one("limit", limit);
  nb::object gpu_type = spec.attr("gpu_type");
  nb::object gpu_name = mod("VAST_GPU_NAME_MAP").attr("get")(gpu_type, gpu_type);
  auto pair = [](const char* op, nb::handle v) {
    nb::dict d;
    d[op] = v;
    return d;
  };
  nb::dict q;
  q["type"] = "ondemand";
  q["rentable"] = pair("eq", nb::bool_(true));
  q["rented"] = pair("eq", nb::bool_(false));
  nb::list names;
  names.append(gpu_name);
  q["gpu_name"] = pair("in", names);
  q["num_gpus"] = pair("eq", spec.attr("gpu_count"));
  q["reliability"] = pair("gte", mod("_DEFAULT_MIN_RELIABILITY"));
  q["inet_down"] = pair("gte", mod("_DEFAULT_MIN_INET_DOWN_MBPS"));
  q["cuda_max_good"] = pair("gte", mod("_DEFAULT_MIN_CUDA_VERSION"));
  q["direct_port_count"] = pair("gte", nb::int_(1));
  nb::list order, first;
  first.append("dph_total");
  first.append("asc");
  order.append(first);
  q["order"] = order;
  q["limit"] = limit_value;
  nb::object volume = spec.attr("volume_gb");
  if (truthy(volume) && volume > nb::int_(0)) {
    q["disk_space"] =
        pair("gte", nb::steal(PyNumber_Add(spec.attr("container_disk_gb").ptr(), volume.ptr())));
  }
  nb::object countries =
      mod("effective_country_codes")("request_geography"_a = spec.attr("region"));
  if (!countries.is_none()) q["geolocation"] = pair("in", builtin("sorted")(countries));
  auto spec_hints = hints(spec);
  for (auto& [key, value] : spec_hints) {
    if (key.equal(nb::str("vast")) && is_map(value)) q.attr("update")(value);
  }
  nb::object answer =
      mod("http_json")(text(api_base() + "/bundles/"), "method"_a = "POST",
                       "headers"_a = auth(api_key), "body"_a = q, "provider"_a = kProvider);
  nb::list raw = answer_list(answer, "offers", "offer search");

  // Kept: maps whose "id" has an integer (of any size); the offer itself is not changed.
  std::vector<nb::object> offers;
  for (nb::handle offer : raw) {
    if (!is_map(offer)) continue;
    nb::object id = item(offer, "id");
    if (id.is_none() || !try_convert(id, PyNumber_Long).is_valid()) continue;
    offers.push_back(nb::borrow(offer));
  }
  std::vector<std::int64_t> preferred;
  for (auto& [key, value] : spec_hints) {
    if (!key.equal(nb::str("vast_preferred_machine_ids")) || !PyList_Check(value.ptr())) continue;
    for (nb::handle element : value) {
      auto id = try_int(element);
      if (id && std::find(preferred.begin(), preferred.end(), *id) == preferred.end()) {
        preferred.push_back(*id);
      }
    }
  }
  std::vector<core::OfferFacts> all;
  for (auto& o : offers) all.push_back(facts(o));
  double trusted = preferred.empty()
                       ? 1.5
                       : env_multiplier("CORVANE_VAST_TRUSTED_PRICE_MULTIPLIER", "1.5", 1.0, 3.0);
  nb::list out;
  for (std::size_t i : core::rank_offers(all, preferred, trusted)) out.append(offers[i]);
  return out;
}

nb::object find_cheapest_offer(nb::handle self, nb::handle spec, nb::handle api_key) {
  nb::object offers =
      self.attr("_find_offers")(spec, api_key, "limit"_a = mod("_BUNDLE_SEARCH_LIMIT"));
  return nb::len(offers) > 0 ? nb::object(offers[0]) : nb::none();
}

// -- launch -----------------------------------------------------------------------------

nb::dict spec_env_to_vast_dict(nb::handle env, nb::handle key) {
  if (!PyTuple_Check(env.ptr())) raise_type("env", "a tuple", env);
  if (!key.is_none() && !PyUnicode_Check(key.ptr()))
    raise_type("ssh_public_key", "a str or None", key);
  nb::dict out;
  for (nb::handle pair : env) out[pair[0]] = pair[1];
  if (!key.is_none() && truthy(key) && !out.contains("PUBLIC_KEY")) out["PUBLIC_KEY"] = key;
  return out;
}

nb::object build_onstart(nb::handle key) {
  if (key.is_none()) return nb::none();
  if (!PyUnicode_Check(key.ptr())) raise_type("ssh_public_key", "a str or None", key);
  std::string storage;
  std::string cmd = core::build_onstart(utf8_of(key, storage));
  return cmd.empty() ? nb::none() : nb::object(text(cmd));
}

// The contract identifier of a successful launch answer as text, or empty when it is one
// that no later request could address.
std::string contract_text(nb::handle contract) {
  core::Json kind = kind_of(contract);
  std::string out;
  if (kind == core::Json::Int) {
    PyObject* s = PyObject_Str(contract.ptr());  // fails only past the host's digit limit
    if (s == nullptr) {
      PyErr_Clear();
      return "";
    }
    out = utf8(nb::steal(s));
  } else if (kind == core::Json::Str) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(contract.ptr(), &size);
    if (data == nullptr) {  // lone surrogates: not an identifier
      PyErr_Clear();
      return "";
    }
    out.assign(data, static_cast<std::size_t>(size));
  }
  return core::valid_contract_id(kind, out) ? out : "";
}

nb::object launch_offer(nb::handle self, nb::handle offer, nb::handle spec, nb::handle api_key,
                        nb::handle on_contract) {
  if (!is_map(offer)) raise_type("offer", "a map", offer);
  check_key(api_key);
  nb::object offer_id = builtin("int")(offer["id"]);
  nb::object name = self.attr("name");
  nb::dict body;
  body["image"] = spec.attr("image_for")(name);
  nb::object volume = spec.attr("volume_gb");
  body["disk"] = nb::steal(PyNumber_Add(spec.attr("container_disk_gb").ptr(),
                                        (truthy(volume) ? volume : nb::object(nb::int_(0))).ptr()));
  nb::object label = spec.attr("name");
  body["label"] =
      truthy(label)
          ? label
          : nb::object(
                nb::str("corvane-{}-{}").format(spec.attr("gpu_type"), spec.attr("gpu_count")));
  nb::object key = spec.attr("ssh_public_key");
  body["env"] = mod("_spec_env_to_vast_dict")(spec.attr("env"), key);
  body["runtype"] = "ssh_direct";
  nb::object onstart = mod("_build_onstart")(key);
  if (truthy(onstart)) body["onstart"] = onstart;
  for (auto& [k, v] : hints(spec)) {
    if (k.equal(nb::str("vast_launch")) && is_map(v)) body.attr("update")(v);
  }
  std::string url = api_base() + "/asks/" + str_text(offer_id) + "/";
  nb::object payload = mod("http_json")(text(url), "method"_a = "PUT", "headers"_a = auth(api_key),
                                        "body"_a = body, "provider"_a = kProvider);
  if (!is_map(payload) || !truthy(payload.attr("get")("success", true))) {
    raise_provider(nb::none(), "Vast.ai launch failed: " + quote(payload));
  }
  nb::object contract = item(payload, "new_contract");
  if (!truthy(contract)) contract = item(payload, "contract");
  if (!truthy(contract))
    raise_provider(nb::none(), "Vast.ai launch returned no contract id: " + quote(payload));
  std::string contract_id = contract_text(contract);
  if (contract_id.empty())
    raise_provider(nb::none(), "Vast.ai launch returned an invalid contract id: " + quote(payload));

  nb::dict raw = nb::borrow<nb::dict>(builtin("dict")(payload));  // a shallow copy
  raw["image"] = body["image"];
  raw["requested_image"] = spec.attr("image");
  raw["runtype"] = body["runtype"];
  for (const char* k : {"machine_id", "inet_down", "dph_total", "reliability", "geolocation",
                        "datacenter", "hosting_type", "verified"}) {
    nb::object v = item(offer, k);
    if (!v.is_none()) raw[k] = v;
  }
  nb::object result =
      import("corvane.providers.base")
          .attr("ProvisionResult")("provider"_a = name, "instance_id"_a = text(contract_id),
                                   "status"_a = "pending", "raw"_a = raw);
  if (!on_contract.is_none()) {
    try {
      on_contract(result);
    } catch (nb::python_error& e) {
      if (!e.matches(PyExc_Exception)) throw;
      mod("log").attr("exception")("Vast contract callback failed for %s", text(contract_id),
                                   "exc_info"_a = e.value());
    }
  }
  nb::object attached = self.attr("_attach_ssh_key")(text(contract_id), spec, api_key);
  if (!attached.is_none()) raw["ssh_key_attached"] = attached;
  return result;
}

nb::object provision(nb::handle self, nb::handle spec, nb::handle api_key) {
  check_key(api_key);
  if (!spec.attr("registry_auth").is_none()) {
    raise_provider(nb::none(),
                   "private-registry images are not supported on the vast venue yet; "
                   "the provisioner will route this reservation to runpod");
  }
  if (!spec.attr("storage_mount").is_none()) {
    raise_provider(nb::none(),
                   "object-storage (R2) mount is not supported on the vast venue yet; "
                   "the provisioner will route this reservation to runpod");
  }
  if (!truthy(api_key)) throw nb::value_error(kNoKey);
  nb::object offer = self.attr("_find_cheapest_offer")(spec, api_key);
  if (offer.is_none()) {
    raise_provider(nb::none(),
                   "no Vast.ai offers matched gpu=" + str_text(spec.attr("gpu_type")) + " x" +
                       str_text(spec.attr("gpu_count")) +
                       " under the quality floor (reliability >= " +
                       str_text(mod("_DEFAULT_MIN_RELIABILITY")) +
                       ", cuda_max_good >= " + str_text(mod("_DEFAULT_MIN_CUDA_VERSION")) + ")");
  }
  return self.attr("_launch_offer")(offer, spec, api_key);
}

nb::list provision_candidates(nb::handle self, nb::handle spec, nb::handle api_key,
                              nb::handle count, nb::handle stagger, nb::handle on_launch) {
  check_key(api_key);
  nb::object wanted = at_least_one("count", count);
  double stagger_s = nb::cast<double>(builtin("float")(stagger));
  nb::object search = nb::steal(PyNumber_Multiply(wanted.ptr(), nb::int_(4).ptr()));
  if (!search.is_valid()) throw nb::python_error();
  nb::object bundle_limit = mod("_BUNDLE_SEARCH_LIMIT");
  if (search < bundle_limit) search = bundle_limit;
  nb::list offers = nb::borrow<nb::list>(
      builtin("list")(self.attr("_find_offers")(spec, api_key, "limit"_a = search)));
  std::vector<core::OfferFacts> all;
  for (nb::handle o : offers) all.push_back(facts(o));
  double multiplier = env_multiplier("CORVANE_VAST_HEDGE_PRICE_MULTIPLIER", "2.0", 1.0, 10.0);
  int overflow = 0;
  long long wanted_n = PyLong_AsLongLongAndOverflow(wanted.ptr(), &overflow);
  std::size_t take = overflow != 0 || static_cast<unsigned long long>(wanted_n) > all.size()
                         ? all.size()
                         : static_cast<std::size_t>(wanted_n);
  std::vector<std::size_t> chosen = core::choose_distinct(all, take, multiplier);
  std::string what = str_text(spec.attr("gpu_type")) + " x" + str_text(spec.attr("gpu_count"));
  if (chosen.empty()) raise_provider(nb::none(), "no distinct Vast.ai machines matched " + what);

  nb::object futures = import("concurrent.futures");
  nb::object pool = futures.attr("ThreadPoolExecutor")(
      "max_workers"_a = chosen.size(), "thread_name_prefix"_a = "corvane-vast-launch");
  nb::list results;
  // Set when the caller's thread leaves early (an interrupt, a failing logger): slots still
  // waiting for their stagger then rent nothing.
  auto abandoned = std::make_shared<std::atomic<bool>>(false);
  nb::object self_obj = nb::borrow(self), spec_obj = nb::borrow(spec),
             key_obj = nb::borrow(api_key), callback = nb::borrow(on_launch);
  try {
    nb::list tasks;
    for (std::size_t slot = 0; slot < chosen.size(); ++slot) {
      nb::object offer = offers[chosen[slot]];
      nb::object task = nb::cpp_function([=]() -> nb::object {
        return entry("hedged launch", key_obj, true, [&]() -> nb::object {
          if (slot != 0 && stagger_s > 0) import("time").attr("sleep")(slot * stagger_s);
          if (abandoned->load()) {
            raise_provider(nb::none(), "hedged launch slot " + std::to_string(slot) +
                                           " not started: the call was interrupted");
          }
          nb::object contract_created = nb::cpp_function([=](nb::handle result) {
            entry("hedged launch", key_obj, true, [&] {
              result.attr("raw")["hedge_slot"] = slot;
              if (!callback.is_none()) callback(result);
            });
          });
          nb::object result = self_obj.attr("_launch_offer")(offer, spec_obj, key_obj,
                                                             "on_contract"_a = contract_created);
          result.attr("raw").attr("setdefault")("hedge_slot", slot);
          return result;
        });
      });
      tasks.append(pool.attr("submit")(task));
    }
    for (nb::handle done : futures.attr("as_completed")(tasks)) {
      try {
        results.append(done.attr("result")());
      } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        mod("log").attr("exception")("vast hedged candidate launch failed",
                                     "exc_info"_a = e.value());
      }
    }
  } catch (...) {
    abandoned->store(true);
    pool.attr("shutdown")("wait"_a = true);
    throw;
  }
  pool.attr("shutdown")("wait"_a = true);
  if (nb::len(results) == 0)
    raise_provider(nb::none(), "all Vast.ai hedged launches failed for " + what);
  return results;
}

// -- instances, keys, termination ---------------------------------------------------------

[[noreturn]] void raise_bad_instance(const char* key, const std::string& detail) {
  raise_malformed("instance", "'" + std::string(key) + "' " + detail);
}

// The text of an instance item's value: a str must be real text (no lone surrogates);
// another value is the host's str() of it.
nb::object instance_text(const char* key, nb::handle v) {
  if (PyUnicode_Check(v.ptr())) {
    if (PyUnicode_AsUTF8AndSize(v.ptr(), nullptr) == nullptr) {
      PyErr_Clear();
      raise_bad_instance(key, "is not valid text: " + quote(v));
    }
    return nb::str(v);
  }
  PyObject* s = PyObject_Str(v.ptr());
  if (s == nullptr) {
    PyErr_Clear();
    raise_bad_instance(key, "has no text form: " + quote(v));
  }
  return nb::steal(s);
}

// int(v) of an instance item's value.
nb::object instance_int(const char* key, nb::handle v) {
  nb::object n = try_convert(v, PyNumber_Long);
  if (!n.is_valid()) raise_bad_instance(key, "is not an integer: " + quote(v));
  return n;
}

nb::object parse_instance(nb::handle item_map) {
  if (!is_map(item_map)) raise_type("item", "a map", item_map);
  auto text_or = [&](std::initializer_list<const char*> keys, const char* fallback) -> nb::object {
    for (const char* k : keys) {
      nb::object v = item(item_map, k);
      if (truthy(v)) return instance_text(k, v);
    }
    return nb::str(fallback);
  };
  nb::object gpus = item(item_map, "num_gpus");
  nb::object count = truthy(gpus) ? instance_int("num_gpus", gpus) : nb::object(nb::int_(0));
  if (count < nb::int_(1)) count = nb::int_(1);
  nb::object port = item(item_map, "ssh_port");
  return import("corvane.providers.base")
      .attr("InstanceRef")(
          "provider"_a = kProvider, "instance_id"_a = text_or({"id", "contract"}, ""),
          "name"_a = text_or({"label"}, ""), "gpu_type"_a = text_or({"gpu_name"}, "UNKNOWN"),
          "gpu_count"_a = count,
          "status"_a = text_or({"actual_status", "intended_status"}, "UNKNOWN"),
          "ssh_host"_a = text_or({"ssh_host"}, ""),
          "ssh_port"_a = truthy(port) ? instance_int("ssh_port", port) : nb::object(nb::int_(0)),
          "ssh_user"_a = "root", "region"_a = text_or({"geolocation", "country"}, ""),
          "raw"_a = item_map);
}

std::string instance_url(nb::handle instance_id, const char* tail = "/") {
  std::string storage;
  // One path segment: an identifier holding "/", "?", "#" or ".." cannot reach another
  // endpoint. Numeric identifiers are unchanged.
  return api_base() + "/instances/" + core::path_segment(utf8_of(instance_id, storage)) + tail;
}

void check_instance_call(nb::handle instance_id, nb::handle api_key) {
  if (!PyUnicode_Check(instance_id.ptr())) raise_type("instance_id", "a str", instance_id);
  check_key(api_key);
  if (!truthy(api_key)) throw nb::value_error(kNoKey);
}

nb::list list_instances(nb::handle api_key) {
  check_key(api_key);
  if (!truthy(api_key)) throw nb::value_error(kNoKey);
  std::string url = api_base() + "/instances/";
  nb::object answer;
  try {
    answer = mod("http_get_json")(text(url), "headers"_a = auth(api_key), "provider"_a = kProvider);
  } catch (nb::python_error& e) {
    // The marketplace retires the v0 listing for some accounts with exactly this answer;
    // v1 has the same shape. Anything else is a failure as before.
    if (!e.matches(mod("ProviderApiError"))) throw;
    nb::object status = nb::getattr(e.value(), "status", nb::none());
    PyObject* shown = PyObject_Str(e.value().ptr());
    if (shown == nullptr) PyErr_Clear();
    nb::object shown_obj = nb::steal(shown);
    if (!status.equal(nb::int_(410)) || !shown_obj.is_valid() ||
        PySequence_Contains(shown_obj.ptr(), nb::str("deprecated_endpoint").ptr()) != 1) {
      PyErr_Clear();
      throw;
    }
    std::string v1 = url;
    std::size_t at = v1.rfind("/api/v0/");
    if (at == std::string::npos) throw;
    v1.replace(at, 8, "/api/v1/");
    answer = mod("http_get_json")(text(v1), "headers"_a = auth(api_key), "provider"_a = kProvider);
  }
  nb::list out;
  for (nb::handle it : answer_list(answer, "instances", "instance listing")) {
    if (is_map(it)) out.append(mod("VastProvider").attr("_parse_instance")(it));
  }
  return out;
}

nb::object get_instance(nb::handle instance_id, nb::handle api_key) {
  check_instance_call(instance_id, api_key);
  nb::object payload = mod("http_get_json")(text(instance_url(instance_id)),
                                            "headers"_a = auth(api_key), "provider"_a = kProvider);
  nb::object result = payload;
  if (is_map(payload)) {
    nb::object inner = field(payload, "instances");
    switch (core::pick_instance(kind_of(inner))) {
      case core::InstancePick::FirstOfList:
        result = nb::len(inner) > 0 ? nb::object(inner[0]) : nb::object(nb::dict());
        break;
      case core::InstancePick::Inner:
        result = inner;
        break;
      case core::InstancePick::Nothing:
        result = nb::dict();
        break;
      case core::InstancePick::Answer:
        break;
    }
  }
  if (!is_map(result) || !truthy(result)) {
    raise_value_error(nb::str("Vast.ai instance {} not found").format(instance_id));
  }
  return mod("VastProvider").attr("_parse_instance")(result);
}

// Whether a host error is a ProviderApiError whose status is in `statuses`.
bool status_in(nb::python_error& e, nb::handle statuses) {
  if (!e.matches(mod("ProviderApiError"))) return false;
  nb::object status = nb::getattr(e.value(), "status", nb::none());
  int r = PySequence_Contains(statuses.ptr(), status.ptr());
  if (r < 0) PyErr_Clear();
  return r == 1;
}

// One attempt to attach one key: true when the marketplace took it.
bool attach_once(const std::string& url, nb::handle key, nb::handle api_key) {
  nb::dict body;
  body["ssh_key"] = key;
  nb::object answer = mod("http_json")(text(url), "method"_a = "POST", "headers"_a = auth(api_key),
                                       "body"_a = body, "provider"_a = kProvider);
  std::optional<bool> success;
  std::string message;
  if (is_map(answer)) {
    nb::object msg = field(answer, "msg");
    if (msg.is_valid()) message = utf8(nb::str(msg).attr("lower")());
    nb::object flag = item(answer, "success");
    if (PyBool_Check(flag.ptr())) success = flag.is(nb::handle(Py_True));
  }
  if (core::key_attached(success, message)) return true;
  raise_provider(nb::int_(200), "Vast.ai ssh-key attach failed: " + quote(answer));
}

nb::object attach_ssh_key(nb::handle instance_id, nb::handle spec, nb::handle api_key) {
  nb::object key = spec.attr("ssh_public_key");
  if (key.is_none() || !truthy(key)) return nb::none();
  nb::list keys;
  for (nb::handle line : key.attr("splitlines")()) {
    nb::object k = line.attr("strip")();
    if (truthy(k) && PySequence_Contains(keys.ptr(), k.ptr()) == 0) keys.append(k);
  }
  if (nb::len(keys) == 0) return nb::none();
  long long max_attempts = nb::cast<long long>(mod("_SSH_ATTACH_MAX_ATTEMPTS"));
  nb::object retryable = mod("_SSH_ATTACH_RETRYABLE_STATUSES");
  std::string url = instance_url(instance_id, "/ssh/");
  bool all = true;
  Py_ssize_t total = nb::len(keys);
  for (Py_ssize_t i = 0; i < total; ++i) {
    for (long long attempt = 1;; ++attempt) {
      // Best effort: whatever an attempt meets (a failed request, an answer of any shape,
      // a fault here) fails that attempt only; the key also travels in the launch itself.
      bool again = false;
      try {
        if (attach_once(url, keys[i], api_key)) break;
      } catch (abi::__forced_unwind&) {
        throw;
      } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        again = status_in(e, retryable);
      } catch (...) {
      }
      if (again && attempt < max_attempts) {
        long long delay = core::retry_delay_s(attempt);
        mod("log").attr("warning")(
            "vast: ssh-key attach attempt %d/%d failed for instance %s key %d/%d; retrying in "
            "%ds",
            attempt, max_attempts, instance_id, i + 1, total, delay);
        import("time").attr("sleep")(delay);
        continue;
      }
      mod("log").attr("warning")(
          "vast: per-instance ssh-key attach failed for instance %s key %d/%d; relying on "
          "onstart/PUBLIC_KEY fallback",
          instance_id, i + 1, total);
      all = false;
      break;
    }
  }
  return nb::bool_(all);
}

// DELETE with retries of transient statuses. A 404 means the instance is gone: success for
// terminate(), an error for a caller that must know whether it removed something.
nb::object terminate_instance(nb::handle instance_id, nb::handle api_key, bool missing_ok) {
  check_instance_call(instance_id, api_key);
  long long max_attempts = nb::cast<long long>(mod("_TERMINATE_MAX_ATTEMPTS"));
  nb::object retryable = mod("_TERMINATE_RETRYABLE_STATUSES");
  std::string url = instance_url(instance_id);
  for (long long attempt = 1;; ++attempt) {
    try {
      mod("http_json")(text(url), "method"_a = "DELETE", "headers"_a = auth(api_key),
                       "body"_a = nb::dict(), "provider"_a = kProvider);
      return nb::none();
    } catch (nb::python_error& e) {
      if (!e.matches(mod("ProviderApiError"))) throw;
      nb::object status = nb::getattr(e.value(), "status", nb::none());
      if (missing_ok && status.equal(nb::int_(404))) return nb::none();  // already gone
      if (!status_in(e, retryable) || attempt >= max_attempts) throw;
      long long delay = core::retry_delay_s(attempt);
      mod("log").attr("warning")(
          "vast: terminate attempt %d/%d failed for instance %s with status %s; retrying in %ds",
          attempt, max_attempts, instance_id, status, delay);
      import("time").attr("sleep")(delay);
    }
  }
}

}  // namespace

NB_MODULE(vast, m) {
  nb::set_leak_warnings(false);
  g_module = m;
  m.doc() = "The Vast.ai GPU marketplace adapter.";
  nb::module_ http = nb::module_::import_("corvane.providers._http");
  m.attr("http_json") = http.attr("http_json");
  m.attr("http_get_json") = http.attr("http_get_json");
  m.attr("ProviderApiError") = http.attr("ProviderApiError");
  m.attr("effective_country_codes") =
      nb::module_::import_("corvane.providers.region").attr("effective_country_codes");
  m.attr("log") = nb::module_::import_("logging").attr("getLogger")("corvane.providers.vast");

  m.attr("VAST_API_BASE") = "https://console.vast.ai/api/v0";
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
  m.attr("_SSH_ATTACH_MAX_ATTEMPTS") = 3;
  nb::object set = nb::module_::import_("builtins").attr("set")();
  for (nb::object s :
       {nb::object(nb::none()), nb::object(nb::int_(404)), nb::object(nb::int_(408)),
        nb::object(nb::int_(409)), nb::object(nb::int_(425)), nb::object(nb::int_(429)),
        nb::object(nb::int_(500)), nb::object(nb::int_(502)), nb::object(nb::int_(503)),
        nb::object(nb::int_(504))}) {
    set.attr("add")(s);
  }
  m.attr("_SSH_ATTACH_RETRYABLE_STATUSES") = set;
  m.attr("_TERMINATE_MAX_ATTEMPTS") = 4;
  nb::list term;
  for (int s : {408, 409, 425, 429, 500, 502, 503, 504}) term.append(s);
  m.attr("_TERMINATE_RETRYABLE_STATUSES") =
      nb::module_::import_("builtins").attr("frozenset")(term);

  m.def(
      "_spec_env_to_vast_dict",
      [](nb::handle env, nb::handle key) {
        return entry("_spec_env_to_vast_dict", {}, false,
                     [&] { return spec_env_to_vast_dict(env, key); });
      },
      "env"_a.none(), "ssh_public_key"_a.none());
  m.def(
      "_build_onstart",
      [](nb::handle key) {
        return entry("_build_onstart", {}, false, [&] { return build_onstart(key); });
      },
      "ssh_public_key"_a.none());

  // The class is the host's own kind of class, a subclass of its Provider; its methods are
  // native functions bound like methods, each run through entry().
  nb::dict ns;
  ns["__doc__"] = "Vast.ai peer-to-peer GPU marketplace adapter.";
  ns["__module__"] = "corvane.providers.vast";
  ns["name"] = "vast";
  ns["requires_credentials"] = true;
  auto method = [&](const char* name, nb::object fn) { ns[name] = fn; };
  nb::module_ base = nb::module_::import_("corvane.providers.base");
  nb::object profile_type = base.attr("ProviderProfile");
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
  method("_find_offers", nb::cpp_function(
                             [](nb::handle, nb::handle spec, nb::handle key, nb::handle limit) {
                               return entry("_find_offers", key, true,
                                            [&] { return find_offers(spec, key, limit); });
                             },
                             nb::is_method(), nb::name("_find_offers"), "spec"_a,
                             "api_key"_a.none(), nb::kw_only(), "limit"_a.none()));
  method("_find_cheapest_offer",
         nb::cpp_function(
             [](nb::handle self, nb::handle spec, nb::handle key) {
               return entry("_find_cheapest_offer", key, true,
                            [&] { return find_cheapest_offer(self, spec, key); });
             },
             nb::is_method(), nb::name("_find_cheapest_offer"), "spec"_a, "api_key"_a.none()));
  method("provision",
         nb::cpp_function(
             [](nb::handle self, nb::handle spec, nb::handle key) {
               return entry("provision", key, true, [&] { return provision(self, spec, key); });
             },
             nb::is_method(), nb::name("provision"), "spec"_a, nb::kw_only(), "api_key"_a.none()));
  method("provision_candidates",
         nb::cpp_function(
             [](nb::handle self, nb::handle spec, nb::handle key, nb::handle count,
                nb::handle stagger, nb::handle on_launch) {
               return entry("provision_candidates", key, true, [&] {
                 return provision_candidates(self, spec, key, count, stagger, on_launch);
               });
             },
             nb::is_method(), nb::name("provision_candidates"), "spec"_a, nb::kw_only(),
             "api_key"_a.none(), "count"_a.none(), "stagger_seconds"_a.none() = 2.0,
             "on_launch"_a.none() = nb::none()));
  method("_launch_offer",
         nb::cpp_function(
             [](nb::handle self, nb::handle offer, nb::handle spec, nb::handle key,
                nb::handle on_contract) {
               return entry("_launch_offer", key, true,
                            [&] { return launch_offer(self, offer, spec, key, on_contract); });
             },
             nb::is_method(), nb::name("_launch_offer"), "offer"_a.none(), "spec"_a,
             "api_key"_a.none(), nb::kw_only(), "on_contract"_a.none() = nb::none()));
  method("list_instances", nb::cpp_function(
                               [](nb::handle, nb::handle key) {
                                 return entry("list_instances", key, true,
                                              [&] { return list_instances(key); });
                               },
                               nb::is_method(), nb::name("list_instances"), "api_key"_a.none()));
  method("get_instance",
         nb::cpp_function(
             [](nb::handle, nb::handle id, nb::handle key) {
               return entry("get_instance", key, true, [&] { return get_instance(id, key); });
             },
             nb::is_method(), nb::name("get_instance"), "instance_id"_a.none(), nb::kw_only(),
             "api_key"_a.none()));
  method("terminate", nb::cpp_function(
                          [](nb::handle, nb::handle id, nb::handle key) {
                            return entry("terminate", key, true,
                                         [&] { return terminate_instance(id, key, true); });
                          },
                          nb::is_method(), nb::name("terminate"), "instance_id"_a.none(),
                          nb::kw_only(), "api_key"_a.none()));
  // terminate() that reports a 404 (nothing there to remove) as the ProviderApiError it is.
  method("_terminate_existing", nb::cpp_function(
                                    [](nb::handle, nb::handle id, nb::handle key) {
                                      return entry("_terminate_existing", key, true, [&] {
                                        return terminate_instance(id, key, false);
                                      });
                                    },
                                    nb::is_method(), nb::name("_terminate_existing"),
                                    "instance_id"_a.none(), nb::kw_only(), "api_key"_a.none()));
  method("_attach_ssh_key", nb::cpp_function(
                                [](nb::handle, nb::handle id, nb::handle spec, nb::handle key) {
                                  return entry("_attach_ssh_key", key, true,
                                               [&] { return attach_ssh_key(id, spec, key); });
                                },
                                nb::is_method(), nb::name("_attach_ssh_key"),
                                "instance_id"_a.none(), "spec"_a, "api_key"_a.none()));
  ns["_parse_instance"] =
      nb::module_::import_("builtins")
          .attr("staticmethod")(nb::cpp_function(
              [](nb::handle it) {
                return entry("_parse_instance", {}, true, [&] { return parse_instance(it); });
              },
              nb::name("_parse_instance"), "item"_a.none()));
  nb::object cls = nb::module_::import_("builtins")
                       .attr("type")("VastProvider", nb::make_tuple(base.attr("Provider")), ns);
  m.attr("VastProvider") = cls;
}
