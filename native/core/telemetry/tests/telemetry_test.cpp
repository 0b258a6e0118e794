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
    Finding text = describe(f, s, 85);
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

// The event types a second poll gives after a first, on a fresh GPU.
std::vector<std::string> second_poll(const GpuSample& first, const GpuSample& second,
                                     bool active = true) {
  TelemetryDetectors d;
  d.run(first, active, 5.0, thresholds());
  std::vector<std::string> out;
  for (const auto& f : d.run(second, active, 5.0, thresholds())) {
    Finding text = describe(f, second, 85);
    out.push_back(std::string(text.event_type) + ": " + text.summary);
  }
  return out;
}

TEST(TelemetryFindings, ThrottleMemoryAndPowerAtTheirLimits) {
  auto with = [](auto set) {
    GpuSample s;
    s.index = 0;
    set(s);
    return s;
  };
  auto text = [&](const char* t, bool nvml_mask) {
    return with([&](GpuSample& s) {
      s.throttle_text = t;
      s.throttle_mask_present = nvml_mask;
    });
  };
  auto memory = [&](double used) {
    return with([&](GpuSample& s) {
      s.mem_used = used;
      s.mem_total = 81920;
    });
  };
  auto power = [&](double draw) {
    return with([&](GpuSample& s) {
      s.power_draw = draw;
      s.power_limit = 400;
    });
  };
  GpuSample none = with([](GpuSample&) {});
  struct Case {
    const char* what;
    GpuSample first, second;
    Texts want;
  };
  for (const Case& c : std::vector<Case>{
           {"hex text is the mask",
            none,
            text("0x0000000000000048", false),
            {"clock_throttle: GPU 0 reported hardware thermal slowdown",
             "clock_throttle: GPU 0 reported hardware slowdown"}},
           {"a software cap is no finding", none, text("0x0000000000000004", false), {}},
           {"words where NVML's mask is clear",
            none,
            text("HW Slowdown: Active", true),
            {"clock_throttle: GPU 0 reported active clock throttling"}},
           {"words never read as a mask", none, text("0x40", true), {}},
           {"memory halved",
            memory(10000),
            memory(4000),
            {"memory_drop: GPU 0 memory usage dropped suddenly"}},
           {"too little to drop from", memory(8000), memory(100), {}},
           {"a drop under 5% of the card", memory(10000), memory(6000), {}},
           {"power 10% over",
            none,
            power(441),
            {"power_anomaly: GPU 0 power draw exceeded expected limit"}},
           {"power at 110%", none, power(440), {}}}) {
    EXPECT_EQ(second_poll(c.first, c.second), c.want) << c.what;
  }
  EXPECT_EQ(second_poll(memory(10000), memory(4000), false), Texts{});  // no job: no drop
}

// "key=value" for each detail, values as the host will get them.
std::vector<std::string> details(const Finding& text) {
  std::vector<std::string> out;
  for (const auto& [key, v] : text.details) {
    std::string value;
    switch (v.kind) {
      case DetailValue::kInt:
        value = std::to_string(v.i);
        break;
      case DetailValue::kFloat:
        value = std::to_string(v.f);
        break;
      case DetailValue::kCount:
        value = std::to_string(v.count.v) + (v.count.is_int ? " int" : " float");
        break;
      case DetailValue::kSnapshotField:
        value = "snapshot " + v.text;
        break;
      case DetailValue::kKept:
        value = "link key #" + std::to_string(v.i);
        break;
      case DetailValue::kBool:
        value = v.i != 0 ? "true" : "false";
        break;
      default:
        value = v.text;
    }
    out.push_back(key + "=" + value);
  }
  return out;
}

TEST(TelemetryFindings, DetailsNameTheirValuesAndInjectionComesLast) {
  TelemetryDetectors d;
  GpuSample s;
  s.index = 3;
  s.power_draw = 50.004;
  s.power_limit = 400;
  s.util = 95;
  s.nvlink = {{0, {}}, {7, {{"replay", Num{1, true}}}}};
  std::vector<TelemetryFinding> found;
  for (int poll = 0; poll < 3; ++poll) {
    found = d.run(s, true, 5.0, thresholds());
    s.nvlink[1].counters[0].value = Num{2.5 + poll, false};
  }
  ASSERT_EQ(found.size(), 2u);  // the third low-power poll, and a counter that rose
  EXPECT_EQ(details(describe(found[0], s, 85, true)),
            (Texts{"gpu_index=3", "power_draw_w=" + std::to_string(50.0),
                   "power_limit_w=" + std::to_string(400.0), "util_gpu=snapshot util_gpu",
                   "injected=true"}));
  EXPECT_EQ(details(describe(found[1], s, 85)),
            (Texts{"gpu_index=3", "link=link key #1", "counter=replay",
                   "delta=" + std::to_string(1.0) + " float"}));
}

}  // namespace
}  // namespace corvane::monitor
