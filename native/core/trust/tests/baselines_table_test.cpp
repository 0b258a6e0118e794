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

}  // namespace
}  // namespace corvane::trust
