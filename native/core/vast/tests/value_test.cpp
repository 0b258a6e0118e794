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

TEST(KeyScrub, ReplacesEveryOccurrenceInEveryFormWhenTheShownTextHoldsOne) {
  const std::string key = "sk-test-very-secret";
  EXPECT_EQ(without_key("bad key sk-test-very-secret",
                        "x sk-test-very-secret y sk-test-very-secret", key),
            "x <api key> y <api key>");
  EXPECT_EQ(without_key("no key here", "sk-test-very-secret", key), std::nullopt);
  EXPECT_EQ(without_key("Bearer k3y9Z", "Authorization: Bearer k3y9Z", "k3y9Z"),
            "Authorization: Bearer <api key>");
  // As a server echoes it: JSON-escaped (as the host's json.dumps writes it, ASCII only or
  // not) and URL-encoded (with "%20" or "+").
  const std::string odd = "k\"\\\u00e9 \U0001F511\t";
  const std::string json_ascii = R"(k\"\\\u00e9 \ud83d\udd11\t)";
  const std::string json_utf8 = "k\\\"\\\\\u00e9 \U0001F511\\t";
  const std::string echoed =
      "{\"key\": \"" + json_ascii + "\"} " + json_utf8 + " k%22%5C%C3%A9+%F0%9F%94%91%09";
  EXPECT_EQ(without_key("x", echoed, odd), std::nullopt);
  EXPECT_EQ(without_key("k%22%5C%C3%A9%20%F0%9F%94%91%09", echoed, odd),
            "{\"key\": \"<api key>\"} <api key> <api key>");
}

}  // namespace
}  // namespace corvane::vast
