// How the adapter talks to the marketplace: which URL each request goes to, what the offer
// search asks for, what to do after a failed attempt, and which answer fields describe an
// instance. Plain values in and out; the binding makes the requests.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvane::vast {

inline constexpr std::string_view kDefaultApiBase = "https://console.vast.ai/api/v0";

// The marketplace's names of the GPU models a request names.
inline constexpr std::pair<std::string_view, std::string_view> kGpuNameMap[] = {
    {"H100_SXM", "H100 SXM"}, {"H100_PCIE", "H100 PCIE"}, {"H200", "H200"},
    {"B200", "B200"},         {"A100_SXM", "A100 SXM4"},  {"A100_PCIE", "A100 PCIE"},
    {"L40S", "L40S"},         {"RTX_4090", "RTX 4090"},   {"RTX_3090", "RTX 3090"},
    {"RTX_3070", "RTX 3070"}, {"RTX_A5000", "RTX A5000"}, {"RTX_A6000", "RTX A6000"},
    {"MI300X", "MI300X"},     {"GH200", "GH200"}};

// The quality floor of every search, and how many offers a plain search asks for.
inline constexpr double kDefaultMinReliability = 0.95;
inline constexpr long long kDefaultMinInetDownMbps = 100;
inline constexpr double kDefaultMinCudaVersion = 12.4;
inline constexpr long long kBundleSearchLimit = 20;

// The base URL: `override_url` when it is not empty, else `fallback`; no trailing '/'.
std::string api_base(std::string_view override_url, std::string_view fallback);

// An instance's endpoint: the identifier is one percent-encoded path segment, so an
// identifier holding "/", "?", "#" or ".." cannot reach another endpoint.
std::string instance_url(std::string_view base, std::string_view instance_id,
                         std::string_view tail = "/");

// The marketplace retires the v0 instance listing for some accounts with a 410 whose text
// names "deprecated_endpoint"; v1 has the same shape. The v1 URL for exactly that failure
// of a v0 URL, else nothing (the failure stands).
std::optional<std::string> listing_fallback_url(std::string_view url,
                                                std::optional<long long> status,
                                                std::string_view error_text);

// -- the offer search ---------------------------------------------------------------------

// What an entry of the search holds; the binding supplies the value of each.
enum class QueryValue {
  kOnDemand,       // "ondemand"
  kCheapestFirst,  // [["dph_total", "asc"]]
  kLimit,          // the caller's limit
  kTrue,
  kFalse,
  kGpuNames,        // [the marketplace's name of the wanted GPU]
  kGpuCount,        // as the caller's spec holds it
  kMinReliability,  // the module's floors, read at call time
  kMinInetDown,
  kMinCuda,
  kOne,
  kDiskSpace,  // container disk + volume
  kCountries,  // sorted country codes
};

// One entry of the search body: `field: value`, or `field: {op: value}` for a filter.
struct QueryEntry {
  std::string_view field;
  std::string_view op;  // "eq", "in", "gte"; empty for a plain value
  QueryValue value;
};

// The body of an on-demand offer search, in the order the request lists it. Disk space is
// asked for only with a volume, the location only when the request limits countries.
std::vector<QueryEntry> offer_query(bool with_volume, bool with_countries);

// -- retries ------------------------------------------------------------------------------

enum class AfterFailure {
  kGone,    // the thing to remove is not there: done
  kRetry,   // wait retry_delay_s(attempt), then try again
  kGiveUp,  // the failure stands
};

// After attempt `attempt` (from 1) of at most `max_attempts` failed: `retryable` says whether
// its status is one that passes, `gone` whether it says the target no longer exists and the
// caller accepts that.
AfterFailure after_failure(long long attempt, long long max_attempts, bool retryable, bool gone);

inline constexpr long long kTerminateMaxAttempts = 4;
inline constexpr int kTerminateRetryableStatuses[] = {408, 409, 425, 429, 500, 502, 503, 504};
inline constexpr long long kSshAttachMaxAttempts = 3;
// A failed request without a status (None) and a 404 (the instance is still being set up)
// are retried too.
inline constexpr int kSshAttachRetryableStatuses[] = {404, 408, 409, 425, 429, 500, 502, 503, 504};

// -- instances ----------------------------------------------------------------------------

// One text field of an instance reference: the first truthy answer field among `keys`,
// else `fallback`.
struct InstanceTextField {
  std::string_view name;
  std::vector<std::string_view> keys;
  std::string_view fallback;
};
const std::vector<InstanceTextField>& instance_text_fields();

// The default label of a launched instance.
std::string default_label(std::string_view gpu_type, std::string_view gpu_count);

}  // namespace corvane::vast
