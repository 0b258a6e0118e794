#include "../launch.hpp"

#include <gtest/gtest.h>

#include <limits>

#include "fake_market.hpp"

namespace corvane::vast {
namespace {

using testing::FakeMarket;
using testing::keys_of;
using testing::map_of;

LaunchSpec spec() {
  LaunchSpec s;
  s.offer_id = "14823011";
  s.image = str_value("img:vast");
  s.requested_image = str_value("img");
  s.disk = int_value(40);
  s.label = str_value("");
  s.gpu_type = "RTX_4090";
  s.gpu_count = "2";
  s.env = map_of({{"A", str_value("1")}});
  return s;
}

Value offer() {
  return map_of({{"id", int_value(14823011)},
                 {"machine_id", int_value(31027)},
                 {"dph_total", float_value(0.65)},
                 {"datacenter", null_value()}});
}

TEST(LaunchRequest, BodyInOrderWithDefaultLabelOnstartAndLaunchHints) {
  LaunchSpec s = spec();
  Value body = launch_body(s);
  EXPECT_EQ(keys_of(body), "image disk label env runtype");
  EXPECT_EQ(body.at("label").text, "corvane-RTX_4090-2");
  s.label = str_value("mine");
  s.ssh_public_key = "ssh-ed25519 AAA a b";
  s.hints = {{str_value("vast_launch"), map_of({{"runtype", str_value("jupyter")}})},
             {str_value("vast"), map_of({{"runtype", str_value("ignored")}})}};
  body = launch_body(s);
  EXPECT_EQ(keys_of(body), "image disk label env runtype onstart");
  EXPECT_EQ(body.at("label").text, "mine");
  EXPECT_EQ(body.at("runtype").text, "jupyter");
  EXPECT_NE(body.at("onstart").text.find("echo 'ssh-ed25519 AAA a b' >>"), std::string::npos);
}

TEST(LaunchAnswer, ContractAndRecord) {
  FakeMarket market;
  market.answer(map_of({{"success", bool_value(true)}, {"new_contract", int_value(28731904)}}));
  Launched got = launch(spec(), offer(), "http://h/api/v0", market);
  EXPECT_EQ(market.sent.at(0).method, "PUT");
  EXPECT_EQ(market.sent.at(0).url, "http://h/api/v0/asks/14823011/");
  EXPECT_EQ(got.contract_id, "28731904");
  EXPECT_EQ(keys_of(got.raw),
            "success new_contract image requested_image runtype machine_id dph_total");
  EXPECT_EQ(got.raw.at("image").text, "img:vast");
  EXPECT_EQ(got.raw.origin, kNoOrigin);  // a new map, not the answer itself
  // "contract" stands in for a false "new_contract".
  Value older = map_of({{"new_contract", int_value(0)}, {"contract", str_value("c-77")}});
  EXPECT_EQ(read_launch(older, launch_body(spec()), spec(), offer(), market).contract_id, "c-77");
}

TEST(LaunchAnswer, RefusedAnswers) {
  FakeMarket market;
  Value body = launch_body(spec());
  Value bad_text = str_value("x");
  bad_text.text_ok = false;
  struct Case {
    Value answer;
    std::string prefix;
  } cases[] = {
      {map_of({{"success", bool_value(false)}, {"new_contract", int_value(5)}}),
       "Vast.ai launch failed: "},
      {list_value({str_value("x")}), "Vast.ai launch failed: "},
      {map_of({{"success", bool_value(true)}}), "Vast.ai launch returned no contract id: "},
      {map_of({{"contract", int_value(-3)}}), "Vast.ai launch returned an invalid contract id: "},
      {map_of({{"contract", float_value(1.5)}}), "Vast.ai launch returned an invalid contract"},
      {map_of({{"contract", str_value("12/../bundles")}}), "Vast.ai launch returned an invalid"},
      {map_of({{"contract", bad_text}}), "Vast.ai launch returned an invalid contract id: "},
  };
  for (const Case& c : cases) {
    std::string message =
        testing::failure_of([&] { read_launch(c.answer, body, spec(), offer(), market); });
    EXPECT_EQ(message.rfind(c.prefix, 0), 0u) << message;
  }
}

TEST(HedgedLaunch, SearchLimitAndDistinctMachinesUnderTheCap) {
  EXPECT_EQ(hedge_search_limit(3, 20), 20);
  EXPECT_EQ(hedge_search_limit(8, 20), 32);
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  EXPECT_EQ(hedge_search_limit(kMax / 2, 20), kMax);

  FakeMarket market;
  auto priced = [](std::int64_t machine, double price) {
    return map_of({{"machine_id", int_value(machine)}, {"dph_total", float_value(price)}});
  };
  std::vector<Value> offers = {priced(10, 1.0), priced(10, 1.1), priced(11, 1.2), priced(12, 5.0),
                               priced(13, 1.3)};
  EXPECT_EQ(hedge_choice(offers, 3, "X x1", market), (std::vector<std::size_t>{0, 2, 4}));
  EXPECT_EQ(hedge_choice(offers, kMax, "X x1", market), (std::vector<std::size_t>{0, 2, 4}));
  market.env["CORVANE_VAST_HEDGE_PRICE_MULTIPLIER"] = 5;
  EXPECT_EQ(hedge_choice(offers, 9, "X x1", market), (std::vector<std::size_t>{0, 2, 3, 4}));
  EXPECT_EQ(testing::failure_of([&] { hedge_choice({}, 2, "RTX_4090 x2", market); }),
            "no distinct Vast.ai machines matched RTX_4090 x2");
}

}  // namespace
}  // namespace corvane::vast
