// The offer search: the request body, the answer's validation, which offers are kept, and
// the order the caller's preferences give them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "port.hpp"
#include "value.hpp"

namespace corvane::vast {

// What a search asks for, as the caller's request and the module's floors hold it.
struct SearchSpec {
  Value gpu_name;  // the marketplace's name of the wanted GPU
  Value gpu_count;
  Value volume;                    // the volume size; a positive one asks for disk space
  Value disk_total;                // container disk + volume, as the host adds them
  std::optional<Value> countries;  // sorted country codes, when the request limits them
  Value limit;                     // at least 1
  Value min_reliability, min_inet_down, min_cuda;
  std::vector<Field> hints;  // the request's (key, value) provider hints
};

// The body of the search: the on-demand query, then every "vast" hint map merged over it.
Value search_body(const SearchSpec& spec);

// The items of a list-valued answer field: none when the answer is not a map or the field
// is absent or null; any other value is a malformed answer (ApiFailure).
std::vector<Value> answer_list(const Value& answer, const char* key, const char* what, Host& host);

// The offers of a search answer that name an integer "id", preferred machines first.
std::vector<Value> rank_answer(const Value& answer, const std::vector<Field>& hints,
                               Marketplace& port);

// Runs the search against `base`; the usable offers in the order the caller should take them.
std::vector<Value> search_offers(const SearchSpec& spec, const std::string& base,
                                 Marketplace& port);

// What the adapter reads of each offer (machine and price), the host's way.
std::vector<OfferFacts> offer_facts(const std::vector<Value>& offers, Host& host);

// The multiplier an environment variable sets, its default when unset or not a number.
double env_multiplier(Marketplace& port, const char* name, double fallback, double low,
                      double high);

}  // namespace corvane::vast
