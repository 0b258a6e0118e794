#include "../search.hpp"

#include <gtest/gtest.h>

#include "fake_market.hpp"

namespace corvane::vast {
namespace {

using testing::FakeMarket;
using testing::keys_of;
using testing::map_of;

SearchSpec spec(Value volume = int_value(0)) {
  SearchSpec s;
  s.gpu_name = str_value("RTX 4090");
  s.gpu_count = int_value(2);
  s.volume = volume;
  s.disk_total = int_value(140);
  s.limit = int_value(20);
  s.min_reliability = float_value(0.95);
  s.min_inet_down = int_value(100);
  s.min_cuda = float_value(12.4);
  return s;
}

Value offer(std::int64_t id, std::int64_t machine, double price) {
  return map_of({{"id", int_value(id)},
                 {"machine_id", int_value(machine)},
                 {"dph_total", float_value(price)}});
}

std::vector<std::int64_t> ids(const std::vector<Value>& offers) {
  std::vector<std::int64_t> out;
  for (const Value& o : offers) out.push_back(o.at("id").integer);
  return out;
}

TEST(SearchBody, DiskOnlyForAPositiveVolumeAndVastHintsMergedInPlace) {
  EXPECT_EQ(search_body(spec()).get("disk_space"), nullptr);
  EXPECT_EQ(search_body(spec(int_value(-5))).get("disk_space"), nullptr);
  SearchSpec s = spec(int_value(100));
  s.countries = list_value({str_value("CA"), str_value("US")});
  s.hints = {{str_value("vast"), map_of({{"limit", int_value(5)}, {"extra", bool_value(true)}})},
             {str_value("vast"), str_value("not a map")},
             {str_value("other"), map_of({{"limit", int_value(7)}})}};
  Value body = search_body(s);
  EXPECT_EQ(keys_of(body),
            "type rentable rented gpu_name num_gpus reliability inet_down cuda_max_good "
            "direct_port_count order limit disk_space geolocation extra");
  EXPECT_EQ(body.at("limit").integer, 5);  // replaced where it stood
  EXPECT_EQ(body.at("disk_space").at("gte").integer, 140);
  EXPECT_EQ(body.at("geolocation").at("in").items.size(), 2u);
  EXPECT_EQ(body.at("gpu_name").at("in").items.at(0).text, "RTX 4090");
}

TEST(SearchAnswer, KeepsOffersWithAnIntegerIdAndRefusesAFieldThatIsNoList) {
  FakeMarket market;
  Value answer =
      map_of({{"offers", list_value({offer(7, 1, 1.0), int_value(5), map_of({{"id", null_value()}}),
                                     map_of({{"id", str_value("abc")}}),
                                     map_of({{"id", str_value("12")}})})}});
  market.answer(answer);
  std::vector<Value> kept = search_offers(spec(), "http://h/api/v0", market);
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[1].at("id").text, "12");
  EXPECT_EQ(market.sent.at(0).url, "http://h/api/v0/bundles/");
  EXPECT_EQ(market.sent.at(0).method, "POST");

  for (const Value& nothing :
       {map_value(), map_of({{"offers", null_value()}}), list_value({offer(1, 1, 1.0)})}) {
    EXPECT_TRUE(rank_answer(nothing, {}, market).empty());
  }
  try {
    rank_answer(map_of({{"offers", int_value(5)}}), {}, market);
    FAIL() << "a malformed answer was accepted";
  } catch (const ApiFailure& e) {
    EXPECT_EQ(e.message,
              "malformed Vast.ai offer search answer: 'offers' is int, not a list: <int>");
    EXPECT_FALSE(e.status);
  }
}

TEST(SearchAnswer, PreferredMachinesFirstUnderTheTrustedCap) {
  FakeMarket market;
  Value answer =
      map_of({{"offers", list_value({offer(1, 1, 1.0), offer(2, 2, 2.0), offer(3, 3, 9.0)})}});
  std::vector<Field> hints = {
      {str_value("vast_preferred_machine_ids"),
       list_value({int_value(3), str_value("2"), str_value("x"), int_value(3)})}};
  // 9.0 and 2.0 are above 1.0 x 1.5: marketplace order stands.
  EXPECT_EQ(ids(rank_answer(answer, hints, market)), (std::vector<std::int64_t>{1, 2, 3}));
  market.env["CORVANE_VAST_TRUSTED_PRICE_MULTIPLIER"] = 10;  // clamped to 3
  EXPECT_EQ(ids(rank_answer(answer, hints, market)), (std::vector<std::int64_t>{2, 1, 3}));
  market.env["CORVANE_VAST_TRUSTED_PRICE_MULTIPLIER"] = 9.5;
  hints[0].value.kind = Json::Other;  // not a list (a tuple): no preference
  EXPECT_EQ(ids(rank_answer(answer, hints, market)), (std::vector<std::int64_t>{1, 2, 3}));
}

}  // namespace
}  // namespace corvane::vast
