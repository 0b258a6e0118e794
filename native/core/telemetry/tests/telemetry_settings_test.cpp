#include "../telemetry_settings.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../../common/tests/fake_config.hpp"
#include "../watch_rules.hpp"

namespace corvane::monitor {
namespace {

using corvane::testing::Fake;
using corvane::testing::map_of;
using corvane::testing::number;
using corvane::testing::text;

Fake required_sections(Fake monitor) {
  return map_of({{"monitor", std::move(monitor)},
                 {"thermal", map_of({{"warn", number(80, "80")}, {"critical", number(90, "90")}})},
                 {"ecc", map_of({{"sbe_rate_warn", number(20, "20")}})}});
}

TEST(TelemetrySettings, EachKeyFeedsItsOwnSetting) {
  // Every value distinct, so that two keys swapped show.
  Fake config = required_sections(
      map_of({{"poll_interval", text("7s", 7)},
              {"structural_monitoring", corvane::testing::boolean(false)},
              {"nvlink", map_of({{"crc_rate_per_sec_critical", number(31, "31")},
                                 {"error_rate_per_min_critical", number(32, "32")}})},
              {"pcie", map_of({{"replay_rate_per_min_critical", number(33, "33")}})}}));
  config->items["cluster"] = map_of({{"gpu_type", text("A100-SXM4")}});
  std::vector<std::string> logged;
  SettingsReader root(config, [&](const std::string& line) { logged.push_back(line); });
  TelemetrySettings s = read_telemetry_settings(root);
  EXPECT_EQ(s.poll, 7);
  EXPECT_EQ(s.thresholds.warn_temp, 80);
  EXPECT_EQ(s.thresholds.critical_temp, 90);
  EXPECT_EQ(s.thresholds.ecc_warn_rate, 20);
  EXPECT_EQ(s.thresholds.nvlink_crc_rate_critical, 31);
  EXPECT_EQ(s.thresholds.nvlink_error_rate_critical, 32);
  EXPECT_EQ(s.thresholds.pcie_replay_rate_critical, 33);
  EXPECT_EQ(s.gpu_type, "A100-SXM4");
  EXPECT_FALSE(s.structural);
  EXPECT_TRUE(logged.empty());
}

TEST(TelemetrySettings, OptionalSectionsAndKeysTakeTheDetectorsDefaults) {
  std::vector<std::string> logged;
  SettingsReader root(required_sections(map_of({{"poll_interval", text("0.2s", 0.2)}})),
                      [&](const std::string& line) { logged.push_back(line); });
  TelemetrySettings s = read_telemetry_settings(root);
  Thresholds defaults;
  EXPECT_EQ(s.poll, 1);  // never under a second
  EXPECT_EQ(s.thresholds.nvlink_crc_rate_critical, defaults.nvlink_crc_rate_critical);
  EXPECT_EQ(s.thresholds.nvlink_error_rate_critical, defaults.nvlink_error_rate_critical);
  EXPECT_EQ(s.thresholds.pcie_replay_rate_critical, defaults.pcie_replay_rate_critical);
  EXPECT_EQ(s.gpu_type, "");
  EXPECT_TRUE(s.structural);
  EXPECT_TRUE(logged.empty());
}

TEST(TelemetrySettings, RequiredKeysAreMissingByName) {
  struct Case {
    const char* drop;  // from the full configuration
    const char* from;  // "" for the top
    const char* key;
  };
  for (const Case& c : std::vector<Case>{{"monitor", "", "monitor"},
                                         {"thermal", "", "thermal"},
                                         {"ecc", "", "ecc"},
                                         {"poll_interval", "monitor", "poll_interval"},
                                         {"warn", "thermal", "warn"},
                                         {"critical", "thermal", "critical"},
                                         {"sbe_rate_warn", "ecc", "sbe_rate_warn"}}) {
    Fake config = required_sections(map_of({{"poll_interval", text("5s", 5)}}));
    Fake section = std::string(c.from).empty() ? config : config->items.at(c.from);
    section->items.erase(c.drop);
    SettingsReader root(config, nullptr);
    try {
      read_telemetry_settings(root);
      ADD_FAILURE() << c.drop << " was not required";
    } catch (const MissingSetting& e) {
      EXPECT_EQ(e.key, c.key);
    }
  }
}

TEST(TelemetrySettings, AThresholdSectionOfTheWrongTypeKeepsTheDefaults) {
  Fake config = required_sections(map_of({{"poll_interval", text("often")}}));
  config->items["thermal"] = text("cool");
  config->items["ecc"] = map_of({{"sbe_rate_warn", corvane::testing::boolean(true)}});
  std::vector<std::string> logged;
  SettingsReader root(config, [&](const std::string& line) { logged.push_back(line); });
  TelemetrySettings s = read_telemetry_settings(root);
  Thresholds defaults;
  EXPECT_EQ(s.poll, kDefaultPollSeconds);
  EXPECT_EQ(s.thresholds.warn_temp, defaults.warn_temp);
  EXPECT_EQ(s.thresholds.critical_temp, defaults.critical_temp);
  EXPECT_EQ(s.thresholds.ecc_warn_rate, defaults.ecc_warn_rate);
  EXPECT_EQ(logged, (std::vector<std::string>{
                        "configuration monitor.poll_interval = 'often' is not a duration; "
                        "using 5.0 s",
                        "configuration thermal = 'cool' is not a table; its defaults apply",
                        "configuration ecc.sbe_rate_warn = True is not a number; using 10.0"}));
}

}  // namespace
}  // namespace corvane::monitor
