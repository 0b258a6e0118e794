#include "baselines_table.hpp"

#include "../common/pyfloat.hpp"

namespace corvane::trust {

std::optional<double> ratio(std::optional<double> value, double multiplier) {
  if (!value) return std::nullopt;
  return py_round(*value * multiplier, 2);
}

Profile derive(const ProfileSpec& spec, const Ratios& r) {
  return Profile{spec,
                 ratio(spec.nvlink_expected_bw_gbps, r.nvlink_warn),
                 ratio(spec.nvlink_expected_bw_gbps, r.nvlink_fail),
                 py_round(r.nccl_warn * spec.nccl_expected_busbw_gbps, 2),
                 py_round(r.nccl_fail * spec.nccl_expected_busbw_gbps, 2),
                 py_round(r.reference_warn * spec.reference_tflops_expected, 2),
                 py_round(r.reference_fail * spec.reference_tflops_expected, 2)};
}

namespace {

constexpr std::nullopt_t none = std::nullopt;

// clang-format off
// The table is read top to bottom and the first match wins, so the order settles every
// ambiguity: L40S before L40, the A100 variants before the bare "nvidia a100" and "a10",
// "h100-nvl" (SXM boards) before "nvidia h100 nvl" and the bare "h100" (PCIe).
//
//  name                 match substrings                                          NVLink links NCCL gen width  FP16    ref   mem  ecc    nvlink  TDP matmul vendor
std::vector<ProfileSpec> table_rows() {
  return {
    {"B200 SXM",          {"nvidia b200", "b200"},                                    900, 18, 800, 5, 16, 2250,   650,  8000, true,  true,  1000, 24576, "nvidia"},
    {"B100 SXM",          {"nvidia b100", "b100"},                                    900, 18, 800, 5, 16, 1750,   520,  8000, true,  true,   700, 24576, "nvidia"},
    {"H200 SXM",          {"h200 sxm", "nvidia h200"},                                450, 18, 400, 5, 16,  990,   520,  4800, true,  true,   700, 16384, "nvidia"},
    {"H100 SXM",          {"h100 sxm", "h100-nvl", "nvidia h100 sxm", "h100 80gb hbm3"}, 450, 18, 400, 5, 16,  990, 480,  3350, true,  true,   700, 16384, "nvidia"},
    {"H100 PCIe",         {"nvidia h100 pcie", "h100 pcie", "nvidia h100 nvl", "h100"}, none, 0, 80, 5, 16,  756,   420,  2000, true,  false,  350, 16384, "nvidia"},
    {"A100 SXM 80GB",     {"a100-sxm4-80gb", "a100 sxm 80gb", "a100-sxm-80gb"},       300, 12, 250, 4, 16,  312,   120,  2039, true,  true,   400, 12288, "nvidia"},
    {"A100 SXM 40GB",     {"a100-sxm4-40gb", "a100 sxm 40gb", "a100-sxm-40gb"},       300, 12, 250, 4, 16,  312,   110,  1555, true,  true,   400, 12288, "nvidia"},
    {"A100 PCIe 80GB",    {"a100 80gb pcie", "a100-pcie-80gb"},                      none,  0,  60, 4, 16,  312,    95,  2039, true,  false,  300, 12288, "nvidia"},
    {"A100 PCIe 40GB",    {"a100 40gb pcie", "a100-pcie-40gb", "nvidia a100"},       none,  0,  60, 4, 16,  312,    85,  1555, true,  false,  300,  8192, "nvidia"},
    {"L40S",              {"l40s", "nvidia l40s"},                                   none,  0,  40, 4, 16,  362.05, 100,  864, true,  false,  350,  8192, "nvidia"},
    {"L40",               {"l40", "nvidia l40"},                                     none,  0,  40, 4, 16,  181,    55,   864, true,  false,  300,  8192, "nvidia"},
    {"A10",               {"nvidia a10", "a10"},                                     none,  0,  20, 4, 16,  125,    28,   600, true,  false,  150,  4096, "nvidia"},
    {"RTX 5090",          {"rtx 5090", "geforce rtx 5090"},                          none,  0,  50, 5, 16,  419,   125,   896, false, false,  575, 12288, "nvidia"},
    {"RTX 4090",          {"rtx 4090", "geforce rtx 4090"},                          none,  0,  40, 4, 16,  330,   110,  1008, false, false,  450, 12288, "nvidia"},
    {"RTX 3090",          {"rtx 3090", "geforce rtx 3090"},                          none,  0,  20, 4, 16,  142,    38,   936, false, false,  350,  8192, "nvidia"},
    {"RTX 3080",          {"rtx 3080", "geforce rtx 3080"},                          none,  0,  15, 4, 16,  119,    32,   760, false, false,  320,  8192, "nvidia"},
    {"RTX 4070 Ti SUPER", {"rtx 4070 ti super", "geforce rtx 4070 ti super"},        none,  0,  35, 4, 16,  176,    70,   672, false, false,  285,  8192, "nvidia"},
    {"RTX 4060",          {"rtx 4060", "geforce rtx 4060"},                          none,  0,  15, 4,  8,   30,    12,   272, false, false,  115,  4096, "nvidia"},
    {"RTX 3070",          {"rtx 3070", "geforce rtx 3070"},                          none,  0,  15, 4, 16,   81,    32,   448, false, false,  220,  8192, "nvidia"},
    {"RTX 2000 Ada",      {"rtx 2000 ada", "nvidia rtx 2000 ada generation"},        none,  0,  10, 4,  8,   96,    12,   224, true,  false,   70,  4096, "nvidia"},
    {"MI300X",            {"mi300x", "instinct mi300x", "amd instinct mi300"},       none,  0, 350, 5, 16, 1300,   163,  5300, true,  false,  750, 16384, "amd"},
    {"MI250X",            {"mi250x", "instinct mi250x", "amd instinct mi250"},       none,  0, 200, 4, 16,  383,    47.9, 3277, true,  false,  560, 16384, "amd"},
    {"MI210",             {"mi210", "instinct mi210"},                               none,  0, 100, 4, 16,  181,    22.6, 1638, true,  false,  300,  8192, "amd"},
    {"generic",           {},                                                        none,  0,  10, 3, 16,   50,    12,   500, none,  none,   250,  4096, "generic"},
  };
}
// clang-format on

}  // namespace

const std::vector<Profile>& baselines() {
  static const std::vector<Profile> profiles = [] {
    std::vector<Profile> out;
    for (const auto& row : table_rows()) out.push_back(derive(row));
    return out;
  }();
  return profiles;
}

std::size_t find_base_profile(std::string_view lowered_name) {
  const auto& all = baselines();
  std::size_t generic = all.size();
  for (std::size_t i = 0; i < all.size(); ++i) {
    const ProfileSpec& spec = all[i].spec;
    if (spec.name == "generic") {
      if (generic == all.size()) generic = i;
      continue;
    }
    for (std::string_view fragment : spec.match_substrings) {
      if (lowered_name.find(fragment) != std::string_view::npos) return i;
    }
  }
  return generic;
}

bool override_key_matches(std::string_view key, std::string_view profile_key,
                          std::string_view raw_name) {
  return key == profile_key || key == raw_name ||
         (!key.empty() && raw_name.find(key) != std::string_view::npos);
}

std::optional<double> percent_of(double value, double divisor) {
  if (divisor <= 0) return std::nullopt;
  return py_round(value / divisor * 100.0, 2);
}

}  // namespace corvane::trust
