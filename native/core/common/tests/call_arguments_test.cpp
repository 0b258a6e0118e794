#include "../call_arguments.hpp"

#include <gtest/gtest.h>

namespace corvane {
namespace {

const std::vector<Parameter> kParams = {{"config", false}, {"findings", false}, {"stop", true}};

std::string mismatch(std::size_t positional, const std::vector<std::string_view>& keywords) {
  auto got = match_arguments("loop", kParams, positional, keywords);
  return std::holds_alternative<CallMismatch>(got) ? std::get<CallMismatch>(got).message : "fits";
}

TEST(MatchArguments, PositionalThenKeywordsThenDefaults) {
  auto got = match_arguments("loop", kParams, 1, {"findings"});
  ASSERT_TRUE(std::holds_alternative<std::vector<ArgumentSource>>(got));
  const auto& s = std::get<0>(got);
  EXPECT_EQ(s[0].kind, ArgumentSource::kPositional);
  EXPECT_EQ(s[1].kind, ArgumentSource::kKeyword);
  EXPECT_EQ(s[1].index, 0u);
  EXPECT_EQ(s[2].kind, ArgumentSource::kDefault);
  got = match_arguments("loop", kParams, 0, {"stop", "findings", "config"});
  ASSERT_TRUE(std::holds_alternative<std::vector<ArgumentSource>>(got));
  EXPECT_EQ(std::get<0>(got)[0].index, 2u);
  EXPECT_EQ(std::get<0>(got)[2].index, 0u);
}

TEST(MatchArguments, CallsThatDoNotFitSayWhyAsTheHostWould) {
  EXPECT_EQ(mismatch(4, {}), "loop() takes 3 arguments but 4 were given");
  EXPECT_EQ(mismatch(1, {"config"}), "loop() got multiple values for argument 'config'");
  EXPECT_EQ(mismatch(1, {}), "loop() missing required argument 'findings'");
  auto got = match_arguments("loop", kParams, 2, {"stop", "stp"});
  ASSERT_TRUE(std::holds_alternative<CallMismatch>(got));
  EXPECT_EQ(std::get<CallMismatch>(got).message, "loop() got an unexpected keyword argument ");
  EXPECT_EQ(std::get<CallMismatch>(got).keyword, 1u);
}

TEST(SignatureLine, ShowsTheDefaults) {
  EXPECT_EQ(signature_line("loop", kParams, {"None"}), "loop(config, findings, stop=None)");
  EXPECT_EQ(signature_line("f", {}, {}), "f()");
}

}  // namespace
}  // namespace corvane
