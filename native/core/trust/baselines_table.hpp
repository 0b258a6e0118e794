// Expected performance of known GPU models: the table, the derived thresholds and lookup.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::trust {

// Default ratios between an expected figure and its warning / failure thresholds.
struct Ratios {
  double nvlink_warn = 0.7;
  double nvlink_fail = 0.5;
  double nccl_warn = 0.65;
  double nccl_fail = 0.4;
  double reference_warn = 0.8;
  double reference_fail = 0.6;
};

// One row of the table as written: the figures a person looks up in a datasheet.
struct ProfileSpec {
  std::string_view name;
  std::vector<std::string_view> match_substrings;
  std::optional<double> nvlink_expected_bw_gbps;
  long nvlink_link_count;
  double nccl_expected_busbw_gbps;
  long pcie_expected_gen;
  long pcie_expected_width;
  double fp16_tflops_expected;
  double reference_tflops_expected;
  double memory_bw_expected_gbps;
  std::optional<bool> has_ecc;
  std::optional<bool> has_nvlink;
  double tdp_watts;
  long matmul_size;
  std::string_view vendor;
};

// A full profile: the row plus its derived thresholds.
struct Profile {
  ProfileSpec spec;
  std::optional<double> nvlink_warn_bw_gbps;
  std::optional<double> nvlink_fail_bw_gbps;
  double nccl_warn_busbw_gbps;
  double nccl_fail_busbw_gbps;
  double reference_tflops_warn;
  double reference_tflops_fail;
};

// value * multiplier rounded to 2 decimals; nullopt stays nullopt.
std::optional<double> ratio(std::optional<double> value, double multiplier);

Profile derive(const ProfileSpec& spec, const Ratios& ratios = {});

// The 24 profiles in lookup order; the last one is "generic".
const std::vector<Profile>& baselines();

// Index into baselines() of the profile for a GPU name already stripped and lower-cased:
// the first non-generic profile with a fragment contained in the name, else "generic".
std::size_t find_base_profile(std::string_view lowered_name);

// Whether an override key (stripped, lower-cased) applies to a profile and a reported name
// (both stripped, lower-cased).
bool override_key_matches(std::string_view key, std::string_view profile_key,
                          std::string_view raw_name);

// value / divisor * 100 rounded to 2 decimals, or nullopt when the divisor is not positive.
std::optional<double> percent_of(double value, double divisor);

}  // namespace corvane::trust
