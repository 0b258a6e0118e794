// Renting one offer: the launch request, the answer's contract, the record kept of it, and
// the refusals and failure texts of provision() and hedged launches.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "port.hpp"
#include "value.hpp"

namespace corvane::vast {

struct LaunchSpec {
  std::string offer_id;   // the offer's integer id, as text
  Value image;            // the image for this venue
  Value requested_image;  // the image the caller named
  Value disk;             // container disk + volume (0 without one), as the host adds them
  Value label;            // the caller's name; a false one gets the default label
  std::string gpu_type, gpu_count;  // as text, for the default label
  Value env;                        // the environment map sent to the instance
  std::optional<std::string> ssh_public_key;
  std::vector<Field> hints;  // the request's provider hints ("vast_launch" maps apply)
};

// The body of the launch request, in the order the marketplace expects it.
Value launch_body(const LaunchSpec& spec);

// A successful launch: the contract to address later, and the record kept of it.
struct Launched {
  std::string contract_id;
  Value raw;  // the answer's fields, the request's image and run type, the offer's facts
};

// Reads a launch answer; an answer without a usable contract is an ApiFailure.
Launched read_launch(const Value& answer, const Value& body, const LaunchSpec& spec,
                     const Value& offer, Host& host);

// Sends the launch of `offer` and reads its answer.
Launched launch(const LaunchSpec& spec, const Value& offer, const std::string& base,
                Marketplace& port);

// Why provision() refuses a request outright (routed to another venue), or nothing.
std::optional<std::string> provision_refusal(bool registry_auth, bool storage_mount);

// The failure when no offer passed the quality floor.
std::string no_offers_message(const std::string& gpu_type, const std::string& gpu_count,
                              const std::string& min_reliability, const std::string& min_cuda);

// -- hedged launches ------------------------------------------------------------------------

// How many offers a hedged launch of `count` searches: four per launch, at least `floor`.
std::int64_t hedge_search_limit(std::int64_t count, std::int64_t floor);

// The offers a hedged launch of `count` rents: distinct machines under the price cap that
// CORVANE_VAST_HEDGE_PRICE_MULTIPLIER sets; ApiFailure when there is none.
std::vector<std::size_t> hedge_choice(const std::vector<Value>& offers, std::int64_t count,
                                      const std::string& what, Marketplace& port);

std::string hedge_not_started(std::size_t slot);
std::string hedge_all_failed(const std::string& what);

}  // namespace corvane::vast
