// corvane.providers.vast: the offer search, launches and hedged launches.
#include <atomic>
#include <memory>

#include "vast_host.hpp"

namespace corvane::bindings::vast {

namespace {

std::string gpu_text(nb::handle spec) {
  return str_text(spec.attr("gpu_type")) + " x" + str_text(spec.attr("gpu_count"));
}

// container_disk_gb + (volume_gb or 0), as the host adds them.
nb::object disk_total(nb::handle spec) {
  nb::object volume = spec.attr("volume_gb");
  nb::object sum =
      nb::steal(PyNumber_Add(spec.attr("container_disk_gb").ptr(),
                             (truthy(volume) ? volume : nb::object(nb::int_(0))).ptr()));
  if (!sum.is_valid()) throw nb::python_error();
  return sum;
}

nb::object find_offers(nb::handle, nb::handle spec, nb::handle api_key, nb::handle limit) {
  return entry("_find_offers", api_key, true, [&]() -> nb::object {
    check_key(api_key);
    HostPort port(api_key);
    core::SearchSpec s;
    s.limit = port.read(at_least_one("limit", limit));
    nb::object gpu_type = spec.attr("gpu_type");
    s.gpu_name = port.read(mod("VAST_GPU_NAME_MAP").attr("get")(gpu_type, gpu_type));
    s.gpu_count = port.read(spec.attr("gpu_count"));
    s.volume = port.read(spec.attr("volume_gb"));
    if (s.volume.truthy) s.disk_total = port.read(disk_total(spec));
    nb::object countries =
        mod("effective_country_codes")("request_geography"_a = spec.attr("region"));
    if (!countries.is_none()) s.countries = port.read(builtin("sorted")(countries));
    s.min_reliability = port.read(mod("_DEFAULT_MIN_RELIABILITY"));
    s.min_inet_down = port.read(mod("_DEFAULT_MIN_INET_DOWN_MBPS"));
    s.min_cuda = port.read(mod("_DEFAULT_MIN_CUDA_VERSION"));
    s.hints = read_hints(port, spec);
    nb::list out;
    for (const core::Value& offer : core::search_offers(s, api_base(), port)) {
      out.append(port.write(offer));
    }
    return nb::object(out);
  });
}

nb::object find_cheapest_offer(nb::handle self, nb::handle spec, nb::handle api_key) {
  return entry("_find_cheapest_offer", api_key, true, [&]() -> nb::object {
    nb::object offers =
        self.attr("_find_offers")(spec, api_key, "limit"_a = mod("_BUNDLE_SEARCH_LIMIT"));
    return nb::len(offers) > 0 ? nb::object(offers[0]) : nb::none();
  });
}

nb::object spec_env_to_vast_dict(nb::handle env, nb::handle key) {
  return entry("_spec_env_to_vast_dict", {}, false, [&]() -> nb::object {
    if (!PyTuple_Check(env.ptr())) raise_type("env", "a tuple", env);
    if (!key.is_none() && !PyUnicode_Check(key.ptr()))
      raise_type("ssh_public_key", "a str or None", key);
    nb::dict out;
    for (nb::handle pair : env) out[pair[0]] = pair[1];
    if (!key.is_none() && truthy(key) && !out.contains("PUBLIC_KEY")) out["PUBLIC_KEY"] = key;
    return nb::object(out);
  });
}

nb::object build_onstart(nb::handle key) {
  return entry("_build_onstart", {}, false, [&]() -> nb::object {
    if (key.is_none()) return nb::none();
    if (!PyUnicode_Check(key.ptr())) raise_type("ssh_public_key", "a str or None", key);
    std::string cmd = core::build_onstart(utf8(key));
    return cmd.empty() ? nb::none() : nb::object(str_of(cmd));
  });
}

nb::object launch_offer(nb::handle self, nb::handle offer, nb::handle spec, nb::handle api_key,
                        nb::handle on_contract) {
  return entry("_launch_offer", api_key, true, [&]() -> nb::object {
    if (!is_map(offer)) raise_type("offer", "a map", offer);
    check_key(api_key);
    HostPort port(api_key);
    core::LaunchSpec s;
    s.offer_id = str_text(builtin("int")(offer["id"]));
    nb::object name = self.attr("name");
    s.image = port.read(spec.attr("image_for")(name));
    s.requested_image = port.read(spec.attr("image"));
    s.disk = port.read(disk_total(spec));
    s.label = port.read(spec.attr("name"));
    s.gpu_type = str_text(spec.attr("gpu_type"));
    s.gpu_count = str_text(spec.attr("gpu_count"));
    nb::object key = spec.attr("ssh_public_key");
    s.env = port.read(mod("_spec_env_to_vast_dict")(spec.attr("env"), key));
    nb::object onstart_key = mod("_build_onstart")(key);  // checks the key's type
    if (truthy(onstart_key)) s.ssh_public_key = utf8(key);
    s.hints = read_hints(port, spec);
    core::Launched launched = core::launch(s, port.read(offer), api_base(), port);
    nb::dict raw = nb::borrow<nb::dict>(port.write(launched.raw));
    nb::object result =
        import("corvane.providers.base")
            .attr("ProvisionResult")("provider"_a = name, "instance_id"_a = launched.contract_id,
                                     "status"_a = "pending", "raw"_a = raw);
    if (!on_contract.is_none()) {
      try {
        on_contract(result);
      } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        mod("log").attr("exception")("Vast contract callback failed for %s", launched.contract_id,
                                     "exc_info"_a = e.value());
      }
    }
    nb::object attached = self.attr("_attach_ssh_key")(launched.contract_id, spec, api_key);
    if (!attached.is_none()) raw["ssh_key_attached"] = attached;
    return result;
  });
}

nb::object provision(nb::handle self, nb::handle spec, nb::handle api_key) {
  return entry("provision", api_key, true, [&]() -> nb::object {
    check_key(api_key);
    if (auto refusal = core::provision_refusal(!spec.attr("registry_auth").is_none(),
                                               !spec.attr("storage_mount").is_none())) {
      raise_provider(std::nullopt, *refusal);
    }
    if (!truthy(api_key)) throw nb::value_error(kNoKey);
    nb::object offer = self.attr("_find_cheapest_offer")(spec, api_key);
    if (offer.is_none()) {
      raise_provider(
          std::nullopt,
          core::no_offers_message(str_text(spec.attr("gpu_type")), str_text(spec.attr("gpu_count")),
                                  str_text(mod("_DEFAULT_MIN_RELIABILITY")),
                                  str_text(mod("_DEFAULT_MIN_CUDA_VERSION"))));
    }
    return self.attr("_launch_offer")(offer, spec, api_key);
  });
}

// One slot of a hedged launch, run on a pool thread: waits its stagger, then launches.
nb::object hedge_task(nb::handle self, nb::handle spec, nb::handle api_key, nb::handle offer,
                      std::size_t slot, double stagger_s, nb::handle on_launch,
                      std::shared_ptr<std::atomic<bool>> abandoned) {
  nb::object self_obj = nb::borrow(self), spec_obj = nb::borrow(spec),
             key_obj = nb::borrow(api_key), offer_obj = nb::borrow(offer),
             callback = nb::borrow(on_launch);
  return nb::cpp_function([=]() -> nb::object {
    return entry("hedged launch", key_obj, true, [&]() -> nb::object {
      if (slot != 0 && stagger_s > 0) import("time").attr("sleep")(slot * stagger_s);
      if (abandoned->load()) raise_provider(std::nullopt, core::hedge_not_started(slot));
      nb::object contract_created = nb::cpp_function([=](nb::handle result) {
        entry("hedged launch", key_obj, true, [&] {
          result.attr("raw")["hedge_slot"] = slot;
          if (!callback.is_none()) callback(result);
        });
      });
      nb::object result = self_obj.attr("_launch_offer")(offer_obj, spec_obj, key_obj,
                                                         "on_contract"_a = contract_created);
      result.attr("raw").attr("setdefault")("hedge_slot", slot);
      return result;
    });
  });
}

nb::object provision_candidates(nb::handle self, nb::handle spec, nb::handle api_key,
                                nb::handle count, nb::handle stagger, nb::handle on_launch) {
  return entry("provision_candidates", api_key, true, [&]() -> nb::object {
    check_key(api_key);
    std::int64_t wanted = saturated_int(at_least_one("count", count));
    double stagger_s = nb::cast<double>(builtin("float")(stagger));
    std::int64_t search =
        core::hedge_search_limit(wanted, nb::cast<std::int64_t>(mod("_BUNDLE_SEARCH_LIMIT")));
    nb::list offers = nb::borrow<nb::list>(
        builtin("list")(self.attr("_find_offers")(spec, api_key, "limit"_a = search)));
    HostPort port(api_key);
    std::vector<core::Value> read;
    for (nb::handle o : offers) read.push_back(port.read(o));
    std::string what = gpu_text(spec);
    std::vector<std::size_t> chosen = core::hedge_choice(read, wanted, what, port);

    nb::object futures = import("concurrent.futures");
    nb::object pool = futures.attr("ThreadPoolExecutor")(
        "max_workers"_a = chosen.size(), "thread_name_prefix"_a = "corvane-vast-launch");
    nb::list results;
    // Set when the caller's thread leaves early (an interrupt, a failing logger): slots still
    // waiting for their stagger then rent nothing.
    auto abandoned = std::make_shared<std::atomic<bool>>(false);
    try {
      nb::list tasks;
      for (std::size_t slot = 0; slot < chosen.size(); ++slot) {
        tasks.append(
            pool.attr("submit")(hedge_task(self, spec, api_key, nb::object(offers[chosen[slot]]),
                                           slot, stagger_s, on_launch, abandoned)));
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
    if (nb::len(results) == 0) raise_provider(std::nullopt, core::hedge_all_failed(what));
    return nb::object(results);
  });
}

}  // namespace

void add_offer_methods(nb::module_& m, nb::dict ns) {
  auto key = "api_key"_a.none();
  add_method(ns, "_find_offers", &find_offers, "spec"_a, key, nb::kw_only(), "limit"_a.none());
  add_method(ns, "_find_cheapest_offer", &find_cheapest_offer, "spec"_a, key);
  add_method(ns, "provision", &provision, "spec"_a, nb::kw_only(), key);
  add_method(ns, "provision_candidates", &provision_candidates, "spec"_a, nb::kw_only(), key,
             "count"_a.none(), "stagger_seconds"_a.none() = 2.0, "on_launch"_a.none() = nb::none());
  add_method(ns, "_launch_offer", &launch_offer, "offer"_a.none(), "spec"_a, key, nb::kw_only(),
             "on_contract"_a.none() = nb::none());
  m.def("_spec_env_to_vast_dict", &spec_env_to_vast_dict, "env"_a.none(),
        "ssh_public_key"_a.none());
  m.def("_build_onstart", &build_onstart, "ssh_public_key"_a.none());
}

}  // namespace corvane::bindings::vast
