#include "../failures.hpp"

#include <gtest/gtest.h>

#include <string>

namespace corvane {
namespace {

TEST(OneLine, FlattensAndCutsWithoutSplittingACharacter) {
  EXPECT_EQ(one_line("a\nb\tc\rd"), "a b c d");
  EXPECT_EQ(one_line(std::string(300, 'x')), std::string(300, 'x'));
  EXPECT_EQ(one_line(std::string(301, 'x')), std::string(300, 'x') + "...");
  // A two-byte character straddling the limit is left out whole.
  std::string text = std::string(299, 'x') + "\xc3\xa9" + "tail";
  EXPECT_EQ(one_line(text), std::string(299, 'x') + "...");
}

TEST(OnceFilter, EachMessageOnceThenOneNoticeForAFlood) {
  OnceFilter filter;
  EXPECT_EQ(filter.admit("a"), "a");
  EXPECT_FALSE(filter.admit("a"));
  for (std::size_t i = 1; i < OnceFilter::kMaxMessages; ++i) {
    std::string message = std::to_string(i);
    message += " distinct";
    EXPECT_TRUE(filter.admit(message));
  }
  EXPECT_EQ(filter.admit("one more"), "further errors are not logged");
  EXPECT_FALSE(filter.admit("and another"));
  EXPECT_FALSE(filter.admit("a"));
}

}  // namespace
}  // namespace corvane
