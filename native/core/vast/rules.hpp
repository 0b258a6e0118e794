// The marketplace adapter's decisions over plain values: which offers are valid, how the
// caller's preferred machines are ranked, which distinct machines a hedged launch takes,
// which answer shapes are usable, and how texts from an answer become one-line messages.
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

// The kinds of decoded JSON values that the answer rules tell apart.
enum class Json { Missing, Null, Bool, Int, Float, Str, List, Map, Other };

// A list-valued answer field ("offers", "instances"): its items, nothing at all (absent or
// null), or a malformed answer (any other value).
enum class ListField { Items, Nothing, Malformed };
ListField list_field(Json kind);

// Which value of a read-one-instance answer describes the instance: the answer itself, the
// first element of its "instances" list, its "instances" map, or nothing ("instances" null).
// `inner` is Missing when the answer is not a map or has no "instances".
enum class InstancePick { Answer, FirstOfList, Inner, Nothing };
InstancePick pick_instance(Json inner);

// A launch answer's contract identifier (truthy, already text) that later requests can
// address: a positive integer, or a short word of ASCII letters, digits, '.', '_', '-'.
bool valid_contract_id(Json kind, std::string_view text);

// A key-attach answer: attached when "success" is the boolean true, or the boolean false
// with a message that says the key is already associated. `success` is empty when the
// answer is not a map or its "success" is not a boolean.
bool key_attached(std::optional<bool> success, std::string_view lowered_msg);

// The back-off before attempt + 1: 1, 2, 4, ... seconds.
long long retry_delay_s(long long attempt);

// The API key as a server may echo it: as it is, JSON-escaped (ASCII only, and with its
// other characters as they are) and URL-encoded; longest first, no empty one.
std::vector<std::string> key_forms(std::string_view key);

// An error text that quotes the API key: `message` with every occurrence of the key, in
// any of its forms and whatever its length, replaced by "<api key>", when `shown` (the
// error as printed) holds one of them.
std::optional<std::string> without_key(std::string_view shown, std::string_view message,
                                       std::string_view key);

// `text` as one line of at most about `max_bytes` bytes: every control character (line
// breaks included) becomes a space, and a longer text is cut at a character boundary and
// ends in "...".
std::string one_line(std::string_view text, std::size_t max_bytes);

}  // namespace corvane::vast
