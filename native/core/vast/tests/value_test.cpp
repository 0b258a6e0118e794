#include "../value.hpp"

#include <gtest/gtest.h>

#include "../rules.hpp"
#include "fake_market.hpp"

namespace corvane::vast {
namespace {

using testing::keys_of;
using testing::map_of;

TEST(ValueMap, AssignmentAndUpdateKeepPlacesAsADictDoes) {
  Value m = map_of({{"a", int_value(1)}, {"b", int_value(2)}});
  Value other = map_of({{"b", int_value(20)}, {"c", int_value(30)}});
  Value odd_key = int_value(7);  // a key that is no text is carried as it is
  other.fields.push_back(Field{odd_key, str_value("seven")});
  m.update(other);
  EXPECT_EQ(keys_of(m), "a b c ");
  EXPECT_EQ(m.at("b").integer, 20);
  EXPECT_EQ(m.at("missing").kind, Json::Null);
  EXPECT_EQ(int_value(0).get("a"), nullptr);  // not a map
  EXPECT_FALSE(map_value().truthy);
  EXPECT_TRUE(m.truthy);
}

TEST(KeyScrub, ReplacesEveryOccurrenceOnlyWhenTheShownTextHoldsALongEnoughKey) {
  const std::string key = "sk-test-very-secret";
  EXPECT_EQ(without_key("bad key sk-test-very-secret",
                        "x sk-test-very-secret y sk-test-very-secret", key),
            "x <api key> y <api key>");
  EXPECT_EQ(without_key("no key here", "sk-test-very-secret", key), std::nullopt);
  EXPECT_EQ(without_key("short", "short", "short"), std::nullopt);
  // Counted in characters, not bytes: eight two-byte letters are long enough.
  const std::string wide = "\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9";
  EXPECT_EQ(without_key(wide, "[" + wide + "]", wide), "[<api key>]");
  EXPECT_EQ(without_key("\u00e9\u00e9\u00e9\u00e9", "x", "\u00e9\u00e9\u00e9\u00e9"), std::nullopt);
}

}  // namespace
}  // namespace corvane::vast
