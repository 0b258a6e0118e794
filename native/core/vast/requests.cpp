#include "requests.hpp"

#include "rules.hpp"

namespace corvane::vast {

std::string api_base(std::string_view override_url, std::string_view fallback) {
  std::string out(override_url.empty() ? fallback : override_url);
  while (!out.empty() && out.back() == '/') out.pop_back();
  return out;
}

std::string instance_url(std::string_view base, std::string_view instance_id,
                         std::string_view tail) {
  std::string url(base);
  url += "/instances/";
  url += path_segment(instance_id);
  url += tail;
  return url;
}

std::optional<std::string> listing_fallback_url(std::string_view url,
                                                std::optional<long long> status,
                                                std::string_view error_text) {
  if (status != 410 || error_text.find("deprecated_endpoint") == std::string_view::npos) {
    return std::nullopt;
  }
  std::size_t at = url.rfind("/api/v0/");
  if (at == std::string_view::npos) return std::nullopt;
  std::string v1(url);
  v1.replace(at, 8, "/api/v1/");
  return v1;
}

std::vector<QueryEntry> offer_query(bool with_volume, bool with_countries) {
  std::vector<QueryEntry> out = {
      {"type", "", QueryValue::kOnDemand},
      {"rentable", "eq", QueryValue::kTrue},
      {"rented", "eq", QueryValue::kFalse},
      {"gpu_name", "in", QueryValue::kGpuNames},
      {"num_gpus", "eq", QueryValue::kGpuCount},
      {"reliability", "gte", QueryValue::kMinReliability},
      {"inet_down", "gte", QueryValue::kMinInetDown},
      {"cuda_max_good", "gte", QueryValue::kMinCuda},
      {"direct_port_count", "gte", QueryValue::kOne},
      {"order", "", QueryValue::kCheapestFirst},
      {"limit", "", QueryValue::kLimit},
  };
  if (with_volume) out.push_back({"disk_space", "gte", QueryValue::kDiskSpace});
  if (with_countries) out.push_back({"geolocation", "in", QueryValue::kCountries});
  return out;
}

AfterFailure after_failure(long long attempt, long long max_attempts, bool retryable, bool gone) {
  if (gone) return AfterFailure::kGone;
  if (retryable && attempt < max_attempts) return AfterFailure::kRetry;
  return AfterFailure::kGiveUp;
}

const std::vector<InstanceTextField>& instance_text_fields() {
  static const std::vector<InstanceTextField> fields = {
      {"instance_id", {"id", "contract"}, ""},
      {"name", {"label"}, ""},
      {"gpu_type", {"gpu_name"}, "UNKNOWN"},
      {"status", {"actual_status", "intended_status"}, "UNKNOWN"},
      {"ssh_host", {"ssh_host"}, ""},
      {"region", {"geolocation", "country"}, ""},
  };
  return fields;
}

std::string default_label(std::string_view gpu_type, std::string_view gpu_count) {
  std::string out = "corvane-";
  out += gpu_type;
  out += '-';
  out += gpu_count;
  return out;
}

}  // namespace corvane::vast
