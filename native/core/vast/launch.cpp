#include "launch.hpp"

#include <algorithm>
#include <limits>

#include "requests.hpp"
#include "rules.hpp"
#include "search.hpp"

namespace corvane::vast {

namespace {

// The contract identifier as text, or empty when no later request could address it.
std::string contract_text(const Value& contract, Host& host) {
  std::string out;
  if (contract.kind == Json::Int) {
    out = host.text(contract).value_or("");  // fails only past the host's digit limit
  } else if (contract.kind == Json::Str && contract.text_ok) {
    out = contract.text;
  }
  return valid_contract_id(contract.kind, out) ? out : "";
}

}  // namespace

Value launch_body(const LaunchSpec& spec) {
  Value body = map_value();
  body.set("image", spec.image);
  body.set("disk", spec.disk);
  body.set("label", spec.label.truthy ? spec.label
                                      : str_value(default_label(spec.gpu_type, spec.gpu_count)));
  body.set("env", spec.env);
  body.set("runtype", str_value("ssh_direct"));
  std::string onstart = build_onstart(spec.ssh_public_key.value_or(""));
  if (!onstart.empty()) body.set("onstart", str_value(onstart));
  for (const Field& hint : spec.hints) {
    if (hint.key.kind == Json::Str && hint.key.text == "vast_launch" && hint.value.is_map()) {
      body.update(hint.value);
    }
  }
  return body;
}

Launched read_launch(const Value& answer, const Value& body, const LaunchSpec& spec,
                     const Value& offer, Host& host) {
  const Value* success = answer.get("success");
  if (!answer.is_map() || (success != nullptr && !success->truthy)) {
    throw ApiFailure(std::nullopt, "Vast.ai launch failed: " + host.quote(answer));
  }
  const Value* contract = &answer.at("new_contract");
  if (!contract->truthy) contract = &answer.at("contract");
  if (!contract->truthy) {
    throw ApiFailure(std::nullopt, "Vast.ai launch returned no contract id: " + host.quote(answer));
  }
  Launched out;
  out.contract_id = contract_text(*contract, host);
  if (out.contract_id.empty()) {
    throw ApiFailure(std::nullopt,
                     "Vast.ai launch returned an invalid contract id: " + host.quote(answer));
  }
  out.raw = answer;  // a shallow copy: a new map of the same values
  out.raw.origin = kNoOrigin;
  out.raw.set("image", body.at("image"));
  out.raw.set("requested_image", spec.requested_image);
  out.raw.set("runtype", body.at("runtype"));
  for (const char* k : {"machine_id", "inet_down", "dph_total", "reliability", "geolocation",
                        "datacenter", "hosting_type", "verified"}) {
    const Value& v = offer.at(k);
    if (v.kind != Json::Null) out.raw.set(k, v);
  }
  return out;
}

Launched launch(const LaunchSpec& spec, const Value& offer, const std::string& base,
                Marketplace& port) {
  Value body = launch_body(spec);
  Value answer = port.send("PUT", base + "/asks/" + spec.offer_id + "/", &body);
  return read_launch(answer, body, spec, offer, port);
}

std::optional<std::string> provision_refusal(bool registry_auth, bool storage_mount) {
  if (registry_auth) {
    return "private-registry images are not supported on the vast venue yet; "
           "the provisioner will route this reservation to runpod";
  }
  if (storage_mount) {
    return "object-storage (R2) mount is not supported on the vast venue yet; "
           "the provisioner will route this reservation to runpod";
  }
  return std::nullopt;
}

std::string no_offers_message(const std::string& gpu_type, const std::string& gpu_count,
                              const std::string& min_reliability, const std::string& min_cuda) {
  return "no Vast.ai offers matched gpu=" + gpu_type + " x" + gpu_count +
         " under the quality floor (reliability >= " + min_reliability +
         ", cuda_max_good >= " + min_cuda + ")";
}

std::int64_t hedge_search_limit(std::int64_t count, std::int64_t floor) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  std::int64_t wanted = count > kMax / 4 ? kMax : count * 4;
  return std::max(wanted, floor);
}

std::vector<std::size_t> hedge_choice(const std::vector<Value>& offers, std::int64_t count,
                                      const std::string& what, Marketplace& port) {
  std::vector<OfferFacts> facts = offer_facts(offers, port);
  double multiplier = env_multiplier(port, "CORVANE_VAST_HEDGE_PRICE_MULTIPLIER", 2.0, 1.0, 10.0);
  std::size_t take = count < 0 || static_cast<std::uint64_t>(count) > facts.size()
                         ? facts.size()
                         : static_cast<std::size_t>(count);
  std::vector<std::size_t> chosen = choose_distinct(facts, take, multiplier);
  if (chosen.empty())
    throw ApiFailure(std::nullopt, "no distinct Vast.ai machines matched " + what);
  return chosen;
}

std::string hedge_not_started(std::size_t slot) {
  return "hedged launch slot " + std::to_string(slot) + " not started: the call was interrupted";
}

std::string hedge_all_failed(const std::string& what) {
  return "all Vast.ai hedged launches failed for " + what;
}

}  // namespace corvane::vast
