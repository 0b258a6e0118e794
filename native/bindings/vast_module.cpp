// corvane.providers.vast: the Vast.ai marketplace adapter, a subclass of the host's Provider.
// Requests go through the module's http_json / http_get_json, logging through its `log`,
// sleeps through the host's time.sleep: all looked up at call time.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "../providers/vast_core.hpp"
#include "host_text.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using corvane::bindings::raise_type;
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
  return PyDict_Check(v.ptr()) ||
         PyObject_IsInstance(v.ptr(), import("collections.abc").attr("Mapping").ptr()) == 1;
}

constexpr const char* kProvider = "vast";
constexpr const char* kNoKey = "Vast.ai API key is required";

void check_key(nb::handle api_key) {
  if (!PyUnicode_Check(api_key.ptr())) raise_type("api_key", "a str", api_key);
}

// VAST_API_BASE, or CORVANE_VAST_API_BASE from the environment (a local server in tests).
std::string api_base() {
  nb::object env = import("os").attr("environ").attr("get")("CORVANE_VAST_API_BASE");
  nb::object base = env.is_none() || !truthy(env) ? mod("VAST_API_BASE") : env;
  std::string out = nb::cast<std::string>(nb::str(base));
  while (!out.empty() && out.back() == '/') out.pop_back();
  return out;
}

nb::dict auth(nb::handle api_key) {
  nb::dict h;
  h["Authorization"] = nb::str("Bearer ") + nb::str(api_key);
  return h;
}

// convert(x), the host's int() or float(); nullopt on TypeError or ValueError.
nb::object try_convert(nb::handle v, PyObject* (*convert)(PyObject*)) {
  PyObject* r = convert(v.ptr());
  if (r != nullptr) return nb::steal(r);
  if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
    PyErr_Clear();
    return nb::none();
  }
  throw nb::python_error();
}

std::optional<std::int64_t> try_int(nb::handle v) {
  nb::object o = try_convert(v, PyNumber_Long);
  if (o.is_none()) return std::nullopt;
  int overflow = 0;
  long long x = PyLong_AsLongLongAndOverflow(o.ptr(), &overflow);
  if (overflow) return std::nullopt;
  return x;
}

std::optional<double> try_float(nb::handle v) {
  nb::object o = try_convert(v, PyNumber_Float);
  if (o.is_none()) return std::nullopt;
  return PyFloat_AsDouble(o.ptr());
}

nb::object item(nb::handle map, const char* key) {
  PyObject* v = PyDict_Check(map.ptr()) ? PyDict_GetItemString(map.ptr(), key) : nullptr;
  if (v != nullptr) return nb::borrow(v);
  if (PyDict_Check(map.ptr())) return nb::none();
  return map.attr("get")(key);
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

nb::object provider_error(nb::handle status, const std::string& message) {
  return mod("ProviderApiError")(kProvider, status, text(message));
}
[[noreturn]] void raise_provider(nb::handle status, const std::string& message) {
  nb::object err = provider_error(status, message);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(err.ptr())), err.ptr());
  throw nb::python_error();
}

std::string repr_of(nb::handle v) { return nb::cast<std::string>(nb::repr(v)); }
std::string str(nb::handle v) { return nb::cast<std::string>(nb::str(v)); }

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

// -- search ---------------------------------------------------------------------------

nb::list find_offers(nb::handle self, nb::handle spec, nb::handle api_key, nb::handle limit) {
  check_key(api_key);
  PyObject* lim = PyNumber_Long(limit.ptr());
  if (lim == nullptr) {
    PyErr_Clear();
    raise_type("limit", "an int", limit);
  }
  long long limit_value = PyLong_AsLongLong(nb::steal(lim).ptr());
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
  q["limit"] = limit_value > 1 ? limit_value : 1;
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
  nb::object raw =
      is_map(answer) ? answer.attr("get")("offers", nb::list()) : nb::object(nb::list());

  std::vector<nb::object> offers;
  for (nb::handle offer : raw) {
    if (!is_map(offer)) continue;
    nb::object id = item(offer, "id");
    if (id.is_none() || !try_int(id)) continue;
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
  std::string cmd = core::build_onstart(corvane::bindings::utf8_of(key, storage));
  return cmd.empty() ? nb::none() : nb::object(text(cmd));
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
  std::string url = api_base() + "/asks/" + str(offer_id) + "/";
  nb::object payload = mod("http_json")(text(url), "method"_a = "PUT", "headers"_a = auth(api_key),
                                        "body"_a = body, "provider"_a = kProvider);
  if (!is_map(payload) || !truthy(payload.attr("get")("success", true))) {
    raise_provider(nb::none(), "Vast.ai launch failed: " + repr_of(payload));
  }
  nb::object contract = payload.attr("get")("new_contract");
  if (!truthy(contract)) contract = payload.attr("get")("contract");
  if (!truthy(contract))
    raise_provider(nb::none(), "Vast.ai launch returned no contract id: " + repr_of(payload));

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
          .attr("ProvisionResult")("provider"_a = name, "instance_id"_a = nb::str(contract),
                                   "status"_a = "pending", "raw"_a = raw);
  if (!on_contract.is_none()) {
    try {
      on_contract(result);
    } catch (nb::python_error& e) {
      if (!e.matches(PyExc_Exception)) throw;
      mod("log").attr("exception")("Vast contract callback failed for %s", contract,
                                   "exc_info"_a = e.value());
    }
  }
  nb::object attached = self.attr("_attach_ssh_key")(nb::str(contract), spec, api_key);
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
                   "no Vast.ai offers matched gpu=" + str(spec.attr("gpu_type")) + " x" +
                       str(spec.attr("gpu_count")) + " under the quality floor (reliability >= " +
                       str(mod("_DEFAULT_MIN_RELIABILITY")) +
                       ", cuda_max_good >= " + str(mod("_DEFAULT_MIN_CUDA_VERSION")) + ")");
  }
  return self.attr("_launch_offer")(offer, spec, api_key);
}

nb::list provision_candidates(nb::handle self, nb::handle spec, nb::handle api_key,
                              nb::handle count, nb::handle stagger, nb::handle on_launch) {
  check_key(api_key);
  long long wanted = nb::cast<long long>(builtin("int")(count));
  if (wanted < 1) wanted = 1;
  double stagger_s = nb::cast<double>(builtin("float")(stagger));
  long long search =
      std::max<long long>(wanted * 4, nb::cast<long long>(mod("_BUNDLE_SEARCH_LIMIT")));
  nb::list offers =
      nb::borrow<nb::list>(self.attr("_find_offers")(spec, api_key, "limit"_a = search));
  std::vector<core::OfferFacts> all;
  for (nb::handle o : offers) all.push_back(facts(o));
  double multiplier = env_multiplier("CORVANE_VAST_HEDGE_PRICE_MULTIPLIER", "2.0", 1.0, 10.0);
  std::vector<std::size_t> chosen =
      core::choose_distinct(all, static_cast<std::size_t>(wanted), multiplier);
  std::string what = str(spec.attr("gpu_type")) + " x" + str(spec.attr("gpu_count"));
  if (chosen.empty()) raise_provider(nb::none(), "no distinct Vast.ai machines matched " + what);

  nb::object futures = import("concurrent.futures");
  nb::object pool = futures.attr("ThreadPoolExecutor")(
      "max_workers"_a = chosen.size(), "thread_name_prefix"_a = "corvane-vast-launch");
  nb::list results;
  nb::object self_obj = nb::borrow(self), spec_obj = nb::borrow(spec),
             key_obj = nb::borrow(api_key), callback = nb::borrow(on_launch);
  try {
    nb::list tasks;
    for (std::size_t slot = 0; slot < chosen.size(); ++slot) {
      nb::object offer = offers[chosen[slot]];
      nb::object task = nb::cpp_function([=]() -> nb::object {
        if (slot != 0 && stagger_s > 0) import("time").attr("sleep")(slot * stagger_s);
        nb::object contract_created = nb::cpp_function([=](nb::handle result) {
          result.attr("raw")["hedge_slot"] = slot;
          if (!callback.is_none()) callback(result);
        });
        nb::object result = self_obj.attr("_launch_offer")(offer, spec_obj, key_obj,
                                                           "on_contract"_a = contract_created);
        result.attr("raw").attr("setdefault")("hedge_slot", slot);
        return result;
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
    pool.attr("shutdown")("wait"_a = true);
    throw;
  }
  pool.attr("shutdown")("wait"_a = true);
  if (nb::len(results) == 0)
    raise_provider(nb::none(), "all Vast.ai hedged launches failed for " + what);
  return results;
}

// -- instances, keys, termination ---------------------------------------------------------

nb::object parse_instance(nb::handle item_map) {
  if (!is_map(item_map)) raise_type("item", "a map", item_map);
  auto get = [&](const char* k) { return item_map.attr("get")(k); };
  auto text_or = [&](std::initializer_list<const char*> keys, const char* fallback) -> nb::object {
    for (const char* k : keys) {
      nb::object v = get(k);
      if (truthy(v)) return nb::str(v);
    }
    return nb::str(fallback);
  };
  nb::object gpus = get("num_gpus");
  nb::object count = truthy(gpus) ? builtin("int")(gpus) : nb::object(nb::int_(0));
  if (count < nb::int_(1)) count = nb::int_(1);
  nb::object port = get("ssh_port");
  return import("corvane.providers.base")
      .attr("InstanceRef")(
          "provider"_a = kProvider, "instance_id"_a = text_or({"id", "contract"}, ""),
          "name"_a = text_or({"label"}, ""), "gpu_type"_a = text_or({"gpu_name"}, "UNKNOWN"),
          "gpu_count"_a = count,
          "status"_a = text_or({"actual_status", "intended_status"}, "UNKNOWN"),
          "ssh_host"_a = text_or({"ssh_host"}, ""),
          "ssh_port"_a = truthy(port) ? builtin("int")(port) : nb::object(nb::int_(0)),
          "ssh_user"_a = "root", "region"_a = text_or({"geolocation", "country"}, ""),
          "raw"_a = item_map);
}

std::string instance_url(nb::handle instance_id, const char* tail = "/") {
  std::string storage;
  // One path segment: an identifier holding "/", "?", "#" or ".." cannot reach another
  // endpoint. Numeric identifiers are unchanged.
  return api_base() + "/instances/" +
         core::path_segment(corvane::bindings::utf8_of(instance_id, storage)) + tail;
}

nb::list list_instances(nb::handle self, nb::handle api_key) {
  check_key(api_key);
  if (!truthy(api_key)) throw nb::value_error(kNoKey);
  std::string url = api_base() + "/instances/";
  nb::object answer;
  try {
    answer = mod("http_get_json")(text(url), "headers"_a = auth(api_key), "provider"_a = kProvider);
  } catch (nb::python_error& e) {
    // The marketplace retires the v0 listing for some accounts with exactly this answer;
    // v1 has the same shape. Anything else is a failure as before.
    nb::object status = nb::getattr(e.value(), "status", nb::none());
    if (!e.matches(mod("ProviderApiError")) || !status.equal(nb::int_(410)) ||
        str(e.value()).find("deprecated_endpoint") == std::string::npos) {
      throw;
    }
    std::string v1 = url;
    std::size_t at = v1.rfind("/api/v0/");
    if (at == std::string::npos) throw;
    v1.replace(at, 8, "/api/v1/");
    answer = mod("http_get_json")(text(v1), "headers"_a = auth(api_key), "provider"_a = kProvider);
  }
  nb::object items =
      is_map(answer) ? answer.attr("get")("instances", nb::list()) : nb::object(nb::list());
  nb::list out;
  for (nb::handle it : items) {
    if (is_map(it)) out.append(mod("VastProvider").attr("_parse_instance")(it));
  }
  return out;
}

nb::object get_instance(nb::handle self, nb::handle instance_id, nb::handle api_key) {
  if (!PyUnicode_Check(instance_id.ptr())) raise_type("instance_id", "a str", instance_id);
  check_key(api_key);
  if (!truthy(api_key)) throw nb::value_error(kNoKey);
  nb::object payload = mod("http_get_json")(text(instance_url(instance_id)),
                                            "headers"_a = auth(api_key), "provider"_a = kProvider);
  nb::object result = payload;
  if (is_map(payload) && truthy(builtin("isinstance")(payload, builtin("dict"))) &&
      PySequence_Contains(payload.ptr(), nb::str("instances").ptr()) == 1) {
    nb::object inner = payload["instances"];
    if (PyList_Check(inner.ptr())) {
      result = nb::len(inner) > 0 ? nb::object(inner[0]) : nb::object(nb::dict());
    } else if (is_map(inner)) {
      result = inner;
    } else if (inner.is_none()) {
      result = nb::dict();
    }
  }
  if (!is_map(result) || !truthy(result)) {
    throw nb::value_error(("Vast.ai instance " + str(instance_id) + " not found").c_str());
  }
  return mod("VastProvider").attr("_parse_instance")(result);
}

nb::object attach_ssh_key(nb::handle self, nb::handle instance_id, nb::handle spec,
                          nb::handle api_key) {
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
    nb::object one = keys[i];
    for (long long attempt = 1;; ++attempt) {
      try {
        nb::dict body;
        body["ssh_key"] = one;
        nb::object answer =
            mod("http_json")(text(url), "method"_a = "POST", "headers"_a = auth(api_key),
                             "body"_a = body, "provider"_a = kProvider);
        std::string message;
        if (is_map(answer)) {
          nb::object msg = answer.attr("get")("msg");
          message = msg.is_none() ? "" : str(nb::str(msg).attr("lower")());
          nb::object success = answer.attr("get")("success");
          if (success.is(nb::handle(Py_False)) &&
              message.find("already associated") != std::string::npos)
            break;
          if (success.is(nb::handle(Py_True))) break;
        }
        raise_provider(nb::int_(200), "Vast.ai ssh-key attach failed: " + repr_of(answer));
      } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        bool again = false;
        if (e.matches(mod("ProviderApiError"))) {
          nb::object status = nb::getattr(e.value(), "status", nb::none());
          again = PySequence_Contains(retryable.ptr(), status.ptr()) == 1;
        }
        if (again && attempt < max_attempts) {
          long long delay = 1LL << (attempt - 1);
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
  }
  return nb::bool_(all);
}

nb::object terminate(nb::handle self, nb::handle instance_id, nb::handle api_key) {
  if (!PyUnicode_Check(instance_id.ptr())) raise_type("instance_id", "a str", instance_id);
  check_key(api_key);
  if (!truthy(api_key)) throw nb::value_error(kNoKey);
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
      if (status.equal(nb::int_(404))) return nb::none();  // already gone
      if (PySequence_Contains(retryable.ptr(), status.ptr()) != 1 || attempt >= max_attempts) throw;
      long long delay = 1LL << (attempt - 1);
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

  m.def("_spec_env_to_vast_dict", &spec_env_to_vast_dict, "env"_a.none(),
        "ssh_public_key"_a.none());
  m.def("_build_onstart", &build_onstart, "ssh_public_key"_a.none());

  // The class is the host's own kind of class, a subclass of its Provider; its methods are
  // native functions bound like methods.
  nb::dict ns;
  ns["__doc__"] = "Vast.ai peer-to-peer GPU marketplace adapter.";
  ns["__module__"] = "corvane.providers.vast";
  ns["name"] = "vast";
  ns["requires_credentials"] = true;
  auto method = [&](const char* name, nb::object fn) { ns[name] = fn; };
  nb::module_ base = nb::module_::import_("corvane.providers.base");
  nb::object profile_type = base.attr("ProviderProfile");
  method(
      "default_profile",
      nb::cpp_function(
          [profile_type](nb::handle) {
            return profile_type(
                "checkpoint_dir"_a = "/workspace/checkpoints", "scheduler"_a = "none",
                "remote_mode"_a = "local", "ssh_user"_a = "root",
                "notes"_a = "Vast.ai peer-to-peer GPU marketplace (datacenter + consumer hosts).");
          },
          nb::is_method(), nb::name("default_profile")));
  method("detect", nb::cpp_function(
                       [](nb::handle) {
                         nb::object env = nb::module_::import_("os").attr("environ");
                         if (truthy(env.attr("get")("VAST_CONTAINERLABEL", ""))) return true;
                         return truthy(env.attr("get")("VAST_TCP_PORT_22", ""));
                       },
                       nb::is_method(), nb::name("detect")));
  method("has_api",
         nb::cpp_function([](nb::handle) { return true; }, nb::is_method(), nb::name("has_api")));
  method("supports_provisioning", nb::cpp_function([](nb::handle) { return true; }, nb::is_method(),
                                                   nb::name("supports_provisioning")));
  method("_find_offers",
         nb::cpp_function(&find_offers, nb::is_method(), nb::name("_find_offers"), "spec"_a,
                          "api_key"_a.none(), nb::kw_only(), "limit"_a.none()));
  method("_find_cheapest_offer",
         nb::cpp_function(&find_cheapest_offer, nb::is_method(), nb::name("_find_cheapest_offer"),
                          "spec"_a, "api_key"_a.none()));
  method("provision", nb::cpp_function(&provision, nb::is_method(), nb::name("provision"), "spec"_a,
                                       nb::kw_only(), "api_key"_a.none()));
  method("provision_candidates",
         nb::cpp_function(&provision_candidates, nb::is_method(), nb::name("provision_candidates"),
                          "spec"_a, nb::kw_only(), "api_key"_a.none(), "count"_a.none(),
                          "stagger_seconds"_a.none() = 2.0, "on_launch"_a.none() = nb::none()));
  method("_launch_offer",
         nb::cpp_function(&launch_offer, nb::is_method(), nb::name("_launch_offer"),
                          "offer"_a.none(), "spec"_a, "api_key"_a.none(), nb::kw_only(),
                          "on_contract"_a.none() = nb::none()));
  method("list_instances", nb::cpp_function(&list_instances, nb::is_method(),
                                            nb::name("list_instances"), "api_key"_a.none()));
  method("get_instance",
         nb::cpp_function(&get_instance, nb::is_method(), nb::name("get_instance"),
                          "instance_id"_a.none(), nb::kw_only(), "api_key"_a.none()));
  method("terminate", nb::cpp_function(&terminate, nb::is_method(), nb::name("terminate"),
                                       "instance_id"_a.none(), nb::kw_only(), "api_key"_a.none()));
  method("_attach_ssh_key",
         nb::cpp_function(&attach_ssh_key, nb::is_method(), nb::name("_attach_ssh_key"),
                          "instance_id"_a.none(), "spec"_a, "api_key"_a.none()));
  ns["_parse_instance"] = nb::module_::import_("builtins")
                              .attr("staticmethod")(nb::cpp_function(
                                  &parse_instance, nb::name("_parse_instance"), "item"_a.none()));
  nb::object cls = nb::module_::import_("builtins")
                       .attr("type")("VastProvider", nb::make_tuple(base.attr("Provider")), ns);
  m.attr("VastProvider") = cls;
}
