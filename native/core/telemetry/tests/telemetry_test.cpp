#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../detectors.hpp"
#include "../finding_texts.hpp"

namespace corvane::monitor {
namespace {

Thresholds thresholds() {
  Thresholds t;
  t.warn_temp = 85;
  t.critical_temp = 92;
  t.ecc_warn_rate = 10;
  return t;
}

std::vector<std::string> summaries(TelemetryDetectors& d, const GpuSample& s) {
  std::vector<std::string> out;
  for (const auto& f : d.run(s, true, 5.0, thresholds())) {
    FindingText text = describe(f, s, 85);
    out.push_back(std::string(text.event_type) + "/" + std::string(text.severity) + ": " +
                  text.summary);
  }
  return out;
}

using Texts = std::vector<std::string>;

TEST(TelemetryFindings, HeatIsCriticalAtOnceAndAWarningAfterThreeHotPolls) {
  TelemetryDetectors d;
  GpuSample s;
  s.index = 1;
  s.temperature = 93.25;
  EXPECT_EQ(summaries(d, s), (Texts{"thermal_warning/CRITICAL: GPU 1 temperature reached 93.2C"}));
  s.temperature = 86;
  EXPECT_EQ(summaries(d, s), Texts{});  // the second hot poll
  EXPECT_EQ(summaries(d, s), (Texts{"thermal_warning/WARN: GPU 1 temperature stayed above 85C"}));
  s.temperature = 60;
  EXPECT_EQ(summaries(d, s), Texts{});
}

TEST(TelemetryFindings, NvlinkCountersAreNamedByLinkAndCounter) {
  TelemetryDetectors d;
  GpuSample s;
  s.index = 2;
  s.nvlink = {{4, {{"crc_flit", Num{10, true}}}}};
  EXPECT_EQ(summaries(d, s), Texts{});
  s.nvlink = {{4, {{"crc_flit", Num{5000, true}}}}};
  Texts texts = summaries(d, s);
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_NE(texts[0].find("GPU 2 link 4 accumulated crc_flit errors"), std::string::npos)
      << texts[0];
}

}  // namespace
}  // namespace corvane::monitor
