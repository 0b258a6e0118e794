#include "telemetry_settings.hpp"

#include <optional>

#include "watch_rules.hpp"

namespace corvane::monitor {

TelemetrySettings read_telemetry_settings(SettingsReader& root) {
  TelemetrySettings s;
  SettingsReader monitor = root.section("monitor", true);
  s.poll = poll_period(monitor.duration("poll_interval", kDefaultPollSeconds));
  Thresholds& t = s.thresholds;
  SettingsReader thermal = root.section("thermal", true);
  t.warn_temp = thermal.number("warn", std::nullopt, t.warn_temp);
  t.critical_temp = thermal.number("critical", std::nullopt, t.critical_temp);
  t.ecc_warn_rate =
      root.section("ecc", true).number("sbe_rate_warn", std::nullopt, t.ecc_warn_rate);
  SettingsReader nvlink = monitor.section("nvlink", false);
  t.nvlink_crc_rate_critical = nvlink.number(
      "crc_rate_per_sec_critical", t.nvlink_crc_rate_critical, t.nvlink_crc_rate_critical);
  t.nvlink_error_rate_critical = nvlink.number(
      "error_rate_per_min_critical", t.nvlink_error_rate_critical, t.nvlink_error_rate_critical);
  t.pcie_replay_rate_critical =
      monitor.section("pcie", false)
          .number("replay_rate_per_min_critical", t.pcie_replay_rate_critical,
                  t.pcie_replay_rate_critical);
  s.gpu_type = root.section("cluster", false).text("gpu_type", "");
  s.structural = monitor.flag("structural_monitoring", true);
  return s;
}

}  // namespace corvane::monitor
