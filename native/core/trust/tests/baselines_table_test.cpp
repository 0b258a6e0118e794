#include "../baselines_table.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace corvane::trust {
namespace {

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

TEST(BaselinesTable, ThresholdsDeriveFromTheFiguresAndTheRatios) {
  ProfileSpec spec{"X", {"x"}, std::nullopt, 0,     100, 4,    16,      10,
                   5.0, 1,     std::nullopt, false, 300, 1024, "nvidia"};
  Ratios ratios;
  ratios.nccl_warn = 0.5;
  Profile p = derive(spec, ratios);
  EXPECT_EQ(p.nccl_warn_busbw_gbps, 50.0);
  EXPECT_EQ(p.nccl_fail_busbw_gbps, 40.0);  // the default ratio 0.4
  EXPECT_EQ(p.reference_tflops_warn, 4.0);
  EXPECT_EQ(p.reference_tflops_fail, 3.0);
  EXPECT_FALSE(p.nvlink_warn_bw_gbps);  // no NVLink figure, no NVLink thresholds
  EXPECT_FALSE(p.nvlink_fail_bw_gbps);
  spec.nvlink_expected_bw_gbps = 450;
  p = derive(spec);
  EXPECT_EQ(p.nvlink_warn_bw_gbps, 315.0);
  EXPECT_EQ(p.nvlink_fail_bw_gbps, 225.0);
}

}  // namespace
}  // namespace corvane::trust
