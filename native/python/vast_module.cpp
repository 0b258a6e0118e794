// corvane.providers.vast: the Vast.ai marketplace adapter, a subclass of the host's Provider.
// Requests go through the module's http_json / http_get_json, logging through its `log`,
// sleeps through the host's time.sleep: all looked up at call time.
//
// Every answer is untrusted: a shape the rules below cannot use is a ProviderApiError with
// a one-line message, and every entry point turns any C++ exception into a host error.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "vast_host.hpp"

namespace nb = nanobind;
using namespace nb::literals;
namespace core = corvane::vast;
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

// The marketplace operations, each run through entry().
void add_marketplace_methods(nb::dict ns) {
  auto method = [&](const char* name, nb::object fn) { ns[name] = fn; };
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

  m.attr("VastProvider") = provider_class();
}
