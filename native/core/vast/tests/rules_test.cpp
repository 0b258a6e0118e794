#include "../rules.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace corvane::vast {
namespace {

OfferFacts offer(std::optional<std::int64_t> machine, std::optional<double> price) {
  return OfferFacts{machine, price};
}

TEST(RankOffers, PreferredMachinesComeFirstInPreferenceOrderUnlessTooDear) {
  std::vector<OfferFacts> offers = {offer(1, 1.0), offer(2, 1.2), offer(3, 1.4), offer(4, 2.0),
                                    offer(std::nullopt, 0.9)};
  // Preferred 4 is priced above 0.9 x 1.5, so it keeps its marketplace place.
  std::vector<std::size_t> order = rank_offers(offers, {3, 4, 2}, 1.5);
  EXPECT_EQ(order, (std::vector<std::size_t>{1, 0, 2, 3, 4}));
  // Not priced at all: no cap, preference alone decides.
  std::vector<OfferFacts> unpriced = {offer(1, std::nullopt), offer(2, std::nullopt)};
  EXPECT_EQ(rank_offers(unpriced, {2}, 1.5), (std::vector<std::size_t>{1, 0}));
  EXPECT_EQ(rank_offers(offers, {}, 1.5), (std::vector<std::size_t>{0, 1, 2, 3, 4}));
}

TEST(ChooseDistinct, OneOfferPerMachineWithinThePriceCap) {
  std::vector<OfferFacts> offers = {offer(7, 1.0),          offer(7, 1.1),
                                    offer(8, 5.0),          offer(std::nullopt, 1.0),
                                    offer(9, std::nullopt), offer(10, 1.9)};
  EXPECT_EQ(choose_distinct(offers, 10, 2.0), (std::vector<std::size_t>{0, 4, 5}));
  EXPECT_EQ(choose_distinct(offers, 2, 2.0), (std::vector<std::size_t>{0, 4}));
  EXPECT_TRUE(choose_distinct(offers, 0, 2.0).empty());
}

TEST(ClampMultiplier, FallsBackAndStaysInBounds) {
  EXPECT_EQ(clamp_multiplier(std::nullopt, 1.5, 1.0, 3.0), 1.5);
  EXPECT_EQ(clamp_multiplier(0.2, 1.5, 1.0, 3.0), 1.0);
  EXPECT_EQ(clamp_multiplier(9.0, 1.5, 1.0, 3.0), 3.0);
  EXPECT_EQ(clamp_multiplier(std::nan(""), 1.5, 1.0, 3.0), 3.0);
  EXPECT_EQ(clamp_multiplier(2.25, 1.5, 1.0, 3.0), 2.25);
}

TEST(ShellQuote, QuotesLikeTheHost) {
  EXPECT_EQ(shell_quote(""), "''");
  EXPECT_EQ(shell_quote("ssh-ed25519"), "ssh-ed25519");
  EXPECT_EQ(shell_quote("a b"), "'a b'");
  EXPECT_EQ(shell_quote("it's"), "'it'\"'\"'s'");
}

TEST(BuildOnstart, AppendsTheQuotedKeyOrNothing) {
  EXPECT_EQ(build_onstart(""), "");
  std::string cmd = build_onstart("ssh-ed25519 AAAA me@host");
  EXPECT_NE(cmd.find("'ssh-ed25519 AAAA me@host'"), std::string::npos) << cmd;
  EXPECT_NE(cmd.find("authorized_keys"), std::string::npos) << cmd;
  // The key is one quoted word, whatever it holds.
  EXPECT_NE(build_onstart("x'; rm -rf / #").find("echo 'x'\"'\"'; rm -rf / #' >>"),
            std::string::npos);
}

TEST(PathSegment, KeepsOneSegment) {
  EXPECT_EQ(path_segment("12345"), "12345");
  EXPECT_EQ(path_segment("a/../b?c#d"), "a%2F..%2Fb%3Fc%23d");
  EXPECT_EQ(path_segment(".."), "%2E%2E");
  EXPECT_EQ(path_segment("."), "%2E");
  EXPECT_EQ(path_segment("\xc3\xa9"), "%C3%A9");
}

TEST(Answers, ListFieldsAndInstancePicks) {
  EXPECT_EQ(list_field(Json::List), ListField::Items);
  EXPECT_EQ(list_field(Json::Missing), ListField::Nothing);
  EXPECT_EQ(list_field(Json::Null), ListField::Nothing);
  for (Json k : {Json::Map, Json::Str, Json::Int, Json::Bool, Json::Other})
    EXPECT_EQ(list_field(k), ListField::Malformed);
  EXPECT_EQ(pick_instance(Json::Missing), InstancePick::Answer);
  EXPECT_EQ(pick_instance(Json::List), InstancePick::FirstOfList);
  EXPECT_EQ(pick_instance(Json::Map), InstancePick::Inner);
  EXPECT_EQ(pick_instance(Json::Null), InstancePick::Nothing);
}

TEST(Answers, ContractIdentifiers) {
  EXPECT_TRUE(valid_contract_id(Json::Int, "123"));
  EXPECT_FALSE(valid_contract_id(Json::Int, "0"));
  EXPECT_FALSE(valid_contract_id(Json::Int, "-4"));
  EXPECT_TRUE(valid_contract_id(Json::Str, "c-12.a_b"));
  EXPECT_FALSE(valid_contract_id(Json::Str, "../x"));
  EXPECT_FALSE(valid_contract_id(Json::Str, "a b"));
  EXPECT_FALSE(valid_contract_id(Json::Str, ""));
  EXPECT_FALSE(valid_contract_id(Json::Float, "1.0"));
  EXPECT_FALSE(valid_contract_id(Json::Str, std::string(1000, 'a')));
}

TEST(Answers, KeyAttachment) {
  EXPECT_TRUE(key_attached(true, ""));
  EXPECT_TRUE(key_attached(false, "this ssh key is already associated with the instance"));
  EXPECT_FALSE(key_attached(false, "invalid key"));
  EXPECT_FALSE(key_attached(std::nullopt, "already associated"));
}

TEST(RetryDelay, DoublesFromOneSecond) {
  EXPECT_EQ(retry_delay_s(1), 1);
  EXPECT_EQ(retry_delay_s(2), 2);
  EXPECT_EQ(retry_delay_s(3), 4);
}

TEST(OneLine, ControlCharactersAndLength) {
  EXPECT_EQ(one_line("a\nb\tc\x7f", 100), "a b c ");
  std::string text = std::string(50, 'x') + "\xc3\xa9" + std::string(50, 'y');
  EXPECT_EQ(one_line(text, 51), std::string(50, 'x') + "\xc3\xa9...");  // never half a character
  EXPECT_EQ(one_line(text, 50), std::string(50, 'x') + "...");
  EXPECT_EQ(one_line(text, 500), text);
  EXPECT_EQ(one_line("a\xc2\x85"
                     "b",
                     10),
            "a b");  // NEL is a line break too
}

}  // namespace
}  // namespace corvane::vast
