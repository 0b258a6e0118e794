// The marketplace adapter's decisions over plain values: which offers are valid, how the
// caller's preferred machines are ranked, which distinct machines a hedged launch takes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::vast {

// What the adapter reads of one offer, converted the host's way (nullopt: no conversion).
struct OfferFacts {
  std::optional<std::int64_t> machine_id;
  std::optional<double> price;  // "dph_total"
};

// float(text) of an environment variable, its default when it does not parse, clamped to
// [low, high] with NaN going to `high` (min first, then max, as written).
double clamp_multiplier(std::optional<double> parsed, double fallback, double low, double high);

// The caller's preferred machines first (in preference order, when not priced above the
// trusted cap), everything else after in marketplace order. Returns offer positions.
std::vector<std::size_t> rank_offers(const std::vector<OfferFacts>& offers,
                                     const std::vector<std::int64_t>& preferred,
                                     double trusted_multiplier);

// Up to `wanted` offers on distinct machines, skipping those priced above min × multiplier.
std::vector<std::size_t> choose_distinct(const std::vector<OfferFacts>& offers, std::size_t wanted,
                                         double price_multiplier);

// POSIX shell quoting of one word, as the host's shlex.quote does it.
std::string shell_quote(std::string_view word);

// The start-up command that appends the key to root's authorized_keys ("" for no key).
std::string build_onstart(std::string_view ssh_public_key);

// One URL path segment: every byte outside unreserved ASCII percent-encoded.
std::string path_segment(std::string_view id);

}  // namespace corvane::vast
