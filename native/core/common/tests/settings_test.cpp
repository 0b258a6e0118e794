#include "../settings.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "fake_config.hpp"

namespace corvane {
namespace {

using testing::Fake;
using testing::map_of;

struct Logged {
  std::vector<std::string> lines;
  SettingsLog log() {
    return [this](const std::string& line) { lines.push_back(line); };
  }
};

std::string missing_key(const std::function<void()>& read) {
  try {
    read();
  } catch (const MissingSetting& e) {
    return e.key;
  }
  return "";
}

TEST(SettingsReader, ARequiredKeyThatIsAbsentIsMissingByItsOwnName) {
  Logged logged;
  SettingsReader root(map_of({{"monitor", map_of({})}}), logged.log());
  EXPECT_EQ(missing_key([&] { root.section("thermal", true); }), "thermal");
  SettingsReader monitor = root.section("monitor", true);
  EXPECT_EQ(missing_key([&] { monitor.number("warn", std::nullopt, 85); }), "warn");
  EXPECT_EQ(missing_key([&] { monitor.duration("poll_interval", 5); }), "poll_interval");
  EXPECT_TRUE(logged.lines.empty());
}

TEST(SettingsReader, AnAbsentOptionalValueReadsAsItsDefault) {
  Logged logged;
  SettingsReader root(map_of({{"monitor", map_of({})}}), logged.log());
  SettingsReader nvlink = root.section("monitor", true).section("nvlink", false);
  EXPECT_EQ(nvlink.number("crc", 100, 7), 100);
  EXPECT_EQ(nvlink.text("gpu_type", "none"), "none");
  EXPECT_FALSE(nvlink.flag("structural", false));
  EXPECT_TRUE(nvlink.flag("structural", true));
  // Required below an absent optional section is still required.
  EXPECT_EQ(missing_key([&] { nvlink.number("warn", std::nullopt, 1); }), "warn");
  EXPECT_TRUE(logged.lines.empty());
}

TEST(SettingsReader, ValuesOfTheRightTypeAreReadAsGiven) {
  Logged logged;
  SettingsReader root(map_of({{"s", map_of({{"n", testing::number(-3.5, "-3.5")},
                                            {"d", testing::text("2m", 120)},
                                            {"t", testing::text("H100 \xed\xa0\x80")},
                                            {"f", testing::boolean(false)},
                                            {"inf", testing::number(INFINITY, "inf")}})}}),
                      logged.log());
  SettingsReader s = root.section("s", true);
  EXPECT_EQ(s.number("n", std::nullopt, 1), -3.5);
  EXPECT_EQ(s.number("inf", std::nullopt, 1), INFINITY);
  EXPECT_EQ(s.duration("d", 5), 120);
  EXPECT_EQ(s.text("t", ""), "H100 \xed\xa0\x80");
  EXPECT_FALSE(s.flag("f", true));
  EXPECT_TRUE(logged.lines.empty());
}

struct Misread {
  const char* name;
  Fake value;
  // Reads "value" of section "thermal" and says what it gave.
  std::function<std::string(SettingsReader&)> read;
  std::string result, line;
};

std::string shown(double d) { return std::to_string(d); }

class SettingsMisread : public ::testing::TestWithParam<Misread> {};

TEST_P(SettingsMisread, TheDefaultStandsInAndTheValueIsLoggedOnce) {
  const Misread& c = GetParam();
  Logged logged;
  SettingsReader root(map_of({{"thermal", map_of({{"value", c.value}})}}), logged.log());
  SettingsReader thermal = root.section("thermal", true);
  EXPECT_EQ(c.read(thermal), c.result);
  EXPECT_EQ(logged.lines, std::vector<std::string>{c.line});
}

auto as_number(double fallback) {
  return [fallback](SettingsReader& s) { return shown(s.number("value", std::nullopt, fallback)); };
}

INSTANTIATE_TEST_SUITE_P(
    Values, SettingsMisread,
    ::testing::Values(
        Misread{"text", testing::text("hot"), as_number(85), shown(85),
                "configuration thermal.value = 'hot' is not a number; using 85.0"},
        Misread{"bool", testing::boolean(true), as_number(0.1), shown(0.1),
                "configuration thermal.value = True is not a number; using 0.1"},
        Misread{"nan", testing::number(NAN, "nan"), as_number(1e16), shown(1e16),
                "configuration thermal.value = nan is not a number; using 1e+16"},
        Misread{"optional", testing::text("x"),
                [](SettingsReader& s) { return shown(s.number("value", 100, 8)); }, shown(8),
                "configuration thermal.value = 'x' is not a number; using 8.0"},
        Misread{"duration", testing::text("often"),
                [](SettingsReader& s) { return shown(s.duration("value", 5)); }, shown(5),
                "configuration thermal.value = 'often' is not a duration; using 5.0 s"},
        Misread{"nan_duration", testing::text("nan", NAN),
                [](SettingsReader& s) { return shown(s.duration("value", 2.5)); }, shown(2.5),
                "configuration thermal.value = 'nan' is not a duration; using 2.5 s"},
        Misread{"text_refused", testing::unreadable("<Odd>"),
                [](SettingsReader& s) { return s.text("value", "fallback"); }, "fallback",
                "configuration thermal.value = <Odd> cannot be read as text"},
        Misread{"truth_refused", testing::unreadable("<Odd>"),
                [](SettingsReader& s) { return std::string(s.flag("value", true) ? "t" : "f"); },
                "t", "configuration thermal.value = <Odd> has no truth value"},
        Misread{"multiline_repr", testing::unreadable("<a\nb>"),
                [](SettingsReader& s) { return std::string(s.flag("value", false) ? "t" : "f"); },
                "f", "configuration thermal.value = <a b> has no truth value"}),
    [](const ::testing::TestParamInfo<Misread>& info) { return std::string(info.param.name); });

TEST(SettingsReader, ASectionThatIsNoMapIsReplacedByItsDefaults) {
  Logged logged;
  SettingsReader root(map_of({{"thermal", testing::text("cool")}}), logged.log());
  SettingsReader thermal = root.section("thermal", true);
  ASSERT_EQ(logged.lines, std::vector<std::string>{
                              "configuration thermal = 'cool' is not a table; its defaults apply"});
  // Its keys, required or not, and those of its subsections read as their fallbacks.
  EXPECT_EQ(thermal.number("warn", std::nullopt, 85), 85);
  EXPECT_EQ(thermal.duration("poll", 5), 5);
  SettingsReader below = thermal.section("limits", true);
  EXPECT_EQ(below.number("critical", std::nullopt, 95), 95);
  EXPECT_EQ(logged.lines.size(), 1u);
  // A bad value further down names its full path.
  SettingsReader nested(
      map_of({{"monitor", map_of({{"pcie", map_of({{"rate", testing::text("x")}})}})}}),
      logged.log());
  nested.section("monitor", true).section("pcie", false).number("rate", 8, 8);
  EXPECT_EQ(logged.lines.back(),
            "configuration monitor.pcie.rate = 'x' is not a number; using 8.0");
}

TEST(SettingsReader, AnErrorOfTheHostPassesThrough) {
  struct Failing final : testing::FakeValue {
    std::shared_ptr<ConfigValue> item(std::string_view) override {
      throw std::runtime_error("host map failed");
    }
  };
  auto failing = std::make_shared<Failing>();
  failing->map = true;
  Logged logged;
  SettingsReader root(map_of({{"monitor", failing}}), logged.log());
  SettingsReader monitor = root.section("monitor", true);
  EXPECT_THROW(monitor.number("warn", 1, 1), std::runtime_error);
  EXPECT_THROW(monitor.section("nvlink", false), std::runtime_error);
  EXPECT_TRUE(logged.lines.empty());
}

}  // namespace
}  // namespace corvane
