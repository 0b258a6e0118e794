#include "search.hpp"

#include <algorithm>

#include "requests.hpp"

namespace corvane::vast {

namespace {

Value query_value(QueryValue v, const SearchSpec& spec) {
  switch (v) {
    case QueryValue::kOnDemand:
      return str_value("ondemand");
    case QueryValue::kCheapestFirst:
      return list_value({list_value({str_value("dph_total"), str_value("asc")})});
    case QueryValue::kLimit:
      return spec.limit;
    case QueryValue::kTrue:
      return bool_value(true);
    case QueryValue::kFalse:
      return bool_value(false);
    case QueryValue::kGpuNames:
      return list_value({spec.gpu_name});
    case QueryValue::kGpuCount:
      return spec.gpu_count;
    case QueryValue::kMinReliability:
      return spec.min_reliability;
    case QueryValue::kMinInetDown:
      return spec.min_inet_down;
    case QueryValue::kMinCuda:
      return spec.min_cuda;
    case QueryValue::kOne:
      return int_value(1);
    case QueryValue::kDiskSpace:
      return spec.disk_total;
    case QueryValue::kCountries:
      return spec.countries.value_or(list_value({}));
  }
  return null_value();
}

bool positive(const Value& v) {
  switch (v.kind) {
    case Json::Bool:
      return v.truthy;
    case Json::Int:
      return v.integer > 0;
    case Json::Float:
      return v.number > 0;
    default:
      return false;
  }
}

bool hint_named(const Field& hint, std::string_view name) {
  return hint.key.kind == Json::Str && hint.key.text == name;
}

// The machines the caller prefers, in order, once each: integers of a list-valued hint.
std::vector<std::int64_t> preferred_machines(const std::vector<Field>& hints, Host& host) {
  std::vector<std::int64_t> out;
  for (const Field& hint : hints) {
    if (!hint_named(hint, "vast_preferred_machine_ids") || hint.value.kind != Json::List) continue;
    for (const Value& element : hint.value.items) {
      std::optional<HostInt> id = host.to_int(element);
      if (id && id->exact && std::find(out.begin(), out.end(), id->value) == out.end()) {
        out.push_back(id->value);
      }
    }
  }
  return out;
}

bool null_or_missing(const Value* v) { return v == nullptr || v->kind == Json::Null; }

}  // namespace

Value search_body(const SearchSpec& spec) {
  Value q = map_value();
  bool with_volume = spec.volume.truthy && positive(spec.volume);
  for (const QueryEntry& entry : offer_query(with_volume, spec.countries.has_value())) {
    Value value = query_value(entry.value, spec);
    if (entry.op.empty()) {
      q.set(entry.field, std::move(value));
    } else {
      Value filter = map_value();
      filter.set(entry.op, std::move(value));
      q.set(entry.field, std::move(filter));
    }
  }
  for (const Field& hint : spec.hints) {
    if (hint_named(hint, "vast") && hint.value.is_map()) q.update(hint.value);
  }
  return q;
}

std::vector<Value> answer_list(const Value& answer, const char* key, const char* what, Host& host) {
  if (!answer.is_map()) return {};
  const Value* value = answer.get(key);
  switch (list_field(value != nullptr ? value->kind : Json::Missing)) {
    case ListField::Items:
      return value->items;
    case ListField::Nothing:
      return {};
    case ListField::Malformed:
      break;
  }
  throw ApiFailure(std::nullopt, "malformed Vast.ai " + std::string(what) + " answer: '" + key +
                                     "' is " + host.type_name(*value) +
                                     ", not a list: " + host.quote(*value));
}

std::vector<OfferFacts> offer_facts(const std::vector<Value>& offers, Host& host) {
  std::vector<OfferFacts> out;
  for (const Value& offer : offers) {
    OfferFacts f;
    const Value& machine = offer.at("machine_id");
    if (machine.kind != Json::Null) {
      std::optional<HostInt> id = host.to_int(machine);
      if (id && id->exact) f.machine_id = id->value;
    }
    const Value& price = offer.at("dph_total");
    if (price.kind != Json::Null) f.price = host.to_float(price);
    out.push_back(f);
  }
  return out;
}

double env_multiplier(Marketplace& port, const char* name, double fallback, double low,
                      double high) {
  return clamp_multiplier(port.env_number(name), fallback, low, high);
}

std::vector<Value> rank_answer(const Value& answer, const std::vector<Field>& hints,
                               Marketplace& port) {
  // Kept: maps whose "id" has an integer (of any size); the offer itself is not changed.
  std::vector<Value> offers;
  for (Value& offer : answer_list(answer, "offers", "offer search", port)) {
    if (!offer.is_map()) continue;
    const Value* id = offer.get("id");
    if (null_or_missing(id) || !port.to_int(*id)) continue;
    offers.push_back(std::move(offer));
  }
  std::vector<std::int64_t> preferred = preferred_machines(hints, port);
  double trusted = preferred.empty() ? 1.5
                                     : env_multiplier(port, "CORVANE_VAST_TRUSTED_PRICE_MULTIPLIER",
                                                      1.5, 1.0, 3.0);
  std::vector<Value> out;
  for (std::size_t i : rank_offers(offer_facts(offers, port), preferred, trusted)) {
    out.push_back(std::move(offers[i]));
  }
  return out;
}

std::vector<Value> search_offers(const SearchSpec& spec, const std::string& base,
                                 Marketplace& port) {
  Value body = search_body(spec);
  Value answer = port.send("POST", base + "/bundles/", &body);
  return rank_answer(answer, spec.hints, port);
}

}  // namespace corvane::vast
