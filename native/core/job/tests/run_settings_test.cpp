#include "../run_settings.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "../../common/tests/fake_config.hpp"

namespace corvane::monitor {
namespace {

namespace fake = corvane::testing;

TEST(MaxOutputLines, AWholeNumberOfAtLeastOneOrNone) {
  struct Case {
    fake::Fake value;
    std::optional<std::int64_t> kept;
    std::string error;  // empty: accepted
  };
  const std::string not_whole = "monitor.max_output_lines must be a whole number or None";
  const std::string too_few = "monitor.max_output_lines must be at least 1";
  for (const Case& c : std::vector<Case>{{fake::none(), std::nullopt, ""},
                                         {fake::whole(1), 1, ""},
                                         {fake::whole(5000), 5000, ""},
                                         {fake::whole(0), std::nullopt, too_few},
                                         {fake::whole(-3), std::nullopt, too_few},
                                         {fake::boolean(true), std::nullopt, not_whole},
                                         {fake::text("100"), std::nullopt, not_whole},
                                         {fake::number(100.0, "100.0"), std::nullopt, not_whole},
                                         {fake::map_of({}), std::nullopt, not_whole}}) {
    try {
      EXPECT_EQ(max_output_lines(*c.value), c.kept) << c.value->shown;
      EXPECT_EQ(c.error, "") << c.value->shown;
    } catch (const InvalidSetting& e) {
      EXPECT_EQ(e.message, c.error) << c.value->shown;
    }
  }
}

}  // namespace
}  // namespace corvane::monitor
