#include "../baselines_table.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace corvane::trust {
namespace {

std::string_view resolved(std::string_view lowered) {
  return baselines()[find_base_profile(lowered)].spec.name;
}

TEST(BaselinesTable, FirstProfileWithAFragmentWinsElseGeneric) {
  EXPECT_EQ(resolved("nvidia l40s"), "L40S");  // before L40, whose fragment it contains
  EXPECT_EQ(resolved("nvidia l40"), "L40");
  EXPECT_EQ(resolved("nvidia a100-sxm4-80gb"), "A100 SXM 80GB");
  EXPECT_EQ(resolved("nvidia a100 80gb pcie"), "A100 PCIe 80GB");
  EXPECT_EQ(resolved("nvidia h100 nvl"), "H100 PCIe");
  EXPECT_EQ(resolved("some unknown accelerator"), "generic");
  EXPECT_EQ(resolved(""), "generic");
  EXPECT_EQ(baselines().back().spec.name, "generic");
}

TEST(BaselinesTable, NamesAreUniqueAndEveryFragmentReachesItsOwnProfileOrAnEarlierOne) {
  std::set<std::string_view> names;
  const auto& all = baselines();
  for (std::size_t i = 0; i < all.size(); ++i) {
    EXPECT_TRUE(names.insert(all[i].spec.name).second) << all[i].spec.name;
    for (std::string_view fragment : all[i].spec.match_substrings) {
      EXPECT_LE(find_base_profile(fragment), i) << fragment;
    }
  }
}

TEST(BaselinesTable, ThresholdsDeriveFromTheRatiosRoundedLikeTheHost) {
  const Profile& h100 = baselines()[find_base_profile("h100 sxm")];
  EXPECT_EQ(h100.nvlink_warn_bw_gbps, 315.0);
  EXPECT_EQ(h100.nvlink_fail_bw_gbps, 225.0);
  EXPECT_EQ(h100.nccl_warn_busbw_gbps, 260.0);
  EXPECT_EQ(h100.reference_tflops_fail, 288.0);
  const Profile& generic = baselines().back();
  EXPECT_FALSE(generic.nvlink_warn_bw_gbps.has_value());
  // 362.05 * 0.65 is 235.3324999... in binary: the host rounds it down.
  EXPECT_EQ(ratio(362.05, 0.65), 235.33);
  EXPECT_EQ(ratio(std::nullopt, 0.7), std::nullopt);
  Ratios strict;
  strict.nccl_warn = 0.5;
  EXPECT_EQ(derive(h100.spec, strict).nccl_warn_busbw_gbps, 200.0);
}

TEST(BaselinesTable, OverrideKeysAndPercentages) {
  EXPECT_TRUE(override_key_matches("h100 sxm", "h100 sxm", "nvidia h100 80gb hbm3"));
  EXPECT_TRUE(override_key_matches("hbm3", "h100 sxm", "nvidia h100 80gb hbm3"));
  EXPECT_FALSE(override_key_matches("a100", "h100 sxm", "nvidia h100 80gb hbm3"));
  EXPECT_FALSE(override_key_matches("", "h100 sxm", "nvidia h100 80gb hbm3"));
  EXPECT_TRUE(override_key_matches("", "h100 sxm", ""));
  EXPECT_EQ(percent_of(50.0, 200.0), 25.0);
  EXPECT_EQ(percent_of(1.0, 3.0), 33.33);
  EXPECT_EQ(percent_of(1.0, 0.0), std::nullopt);
  EXPECT_EQ(percent_of(1.0, -2.0), std::nullopt);
}

}  // namespace
}  // namespace corvane::trust
