// corvane.providers.vast: the offer search, launches and hedged launches.
#include <cxxabi.h>

#include "vast_host.hpp"

namespace corvane::bindings::vast {

// -- search ---------------------------------------------------------------------------

// The host value of one entry of the offer search.
nb::object query_value(core::QueryValue v, nb::handle spec, nb::handle gpu_name, nb::handle limit,
                       nb::handle countries) {
  using V = core::QueryValue;
  switch (v) {
    case V::kOnDemand:
      return nb::str("ondemand");
    case V::kCheapestFirst: {
      nb::list order, first;
      first.append("dph_total");
      first.append("asc");
      order.append(first);
      return order;
    }
    case V::kLimit:
      return nb::borrow(limit);
    case V::kTrue:
      return nb::bool_(true);
    case V::kFalse:
      return nb::bool_(false);
    case V::kGpuNames: {
      nb::list names;
      names.append(gpu_name);
      return names;
    }
    case V::kGpuCount:
      return spec.attr("gpu_count");
    case V::kMinReliability:
      return mod("_DEFAULT_MIN_RELIABILITY");
    case V::kMinInetDown:
      return mod("_DEFAULT_MIN_INET_DOWN_MBPS");
    case V::kMinCuda:
      return mod("_DEFAULT_MIN_CUDA_VERSION");
    case V::kOne:
      return nb::int_(1);
    case V::kDiskSpace: {
      nb::object sum = nb::steal(
          PyNumber_Add(spec.attr("container_disk_gb").ptr(), spec.attr("volume_gb").ptr()));
      if (!sum.is_valid()) throw nb::python_error();
      return sum;
    }
    case V::kCountries:
      return builtin("sorted")(countries);
  }
  throw std::logic_error("unknown query value");
}

nb::list find_offers(nb::handle spec, nb::handle api_key, nb::handle limit) {
  check_key(api_key);
  nb::object limit_value = at_least_one("limit", limit);
  nb::object gpu_type = spec.attr("gpu_type");
  nb::object gpu_name = mod("VAST_GPU_NAME_MAP").attr("get")(gpu_type, gpu_type);
  nb::object volume = spec.attr("volume_gb");
  bool with_volume = truthy(volume) && volume > nb::int_(0);
  nb::object countries =
      mod("effective_country_codes")("request_geography"_a = spec.attr("region"));
  nb::dict q;
  for (const core::QueryEntry& entry : core::offer_query(with_volume, !countries.is_none())) {
    nb::object value = query_value(entry.value, spec, gpu_name, limit_value, countries);
    if (entry.op.empty()) {
      q[str_of(std::string(entry.field))] = value;
    } else {
      nb::dict filter;
      filter[str_of(std::string(entry.op))] = value;
      q[str_of(std::string(entry.field))] = filter;
    }
  }
  auto spec_hints = hints(spec);
  for (auto& [key, value] : spec_hints) {
    if (key.equal(nb::str("vast")) && is_map(value)) q.attr("update")(value);
  }
  nb::object answer =
      mod("http_json")(str_of(api_base() + "/bundles/"), "method"_a = "POST",
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
  return cmd.empty() ? nb::none() : nb::object(str_of(cmd));
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
  body["label"] = truthy(label)
                      ? label
                      : nb::object(str_of(core::default_label(str_text(spec.attr("gpu_type")),
                                                              str_text(spec.attr("gpu_count")))));
  nb::object key = spec.attr("ssh_public_key");
  body["env"] = mod("_spec_env_to_vast_dict")(spec.attr("env"), key);
  body["runtype"] = "ssh_direct";
  nb::object onstart = mod("_build_onstart")(key);
  if (truthy(onstart)) body["onstart"] = onstart;
  for (auto& [k, v] : hints(spec)) {
    if (k.equal(nb::str("vast_launch")) && is_map(v)) body.attr("update")(v);
  }
  std::string url = api_base() + "/asks/" + str_text(offer_id) + "/";
  nb::object payload =
      mod("http_json")(str_of(url), "method"_a = "PUT", "headers"_a = auth(api_key),
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
          .attr("ProvisionResult")("provider"_a = name, "instance_id"_a = str_of(contract_id),
                                   "status"_a = "pending", "raw"_a = raw);
  if (!on_contract.is_none()) {
    try {
      on_contract(result);
    } catch (nb::python_error& e) {
      if (!e.matches(PyExc_Exception)) throw;
      mod("log").attr("exception")("Vast contract callback failed for %s", str_of(contract_id),
                                   "exc_info"_a = e.value());
    }
  }
  nb::object attached = self.attr("_attach_ssh_key")(str_of(contract_id), spec, api_key);
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

}  // namespace corvane::bindings::vast
