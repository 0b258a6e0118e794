#include "../report_builder.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace corvane::monitor {
namespace {

HookReport read_fast(const std::string& line, std::int64_t rank, double now) {
  FastHookReport fast;
  EXPECT_EQ(parse_hook_line(line, &fast), FastParse::kReport) << line;
  return fast_report(fast, rank, now);
}

TEST(ReportBuilder, ANativelyReadLineGivesTheReportsValues) {
  HookReport r =
      read_fast(R"({"rank": 3, "timestamp": 12.5, "gradient_norm": 2, "step_time": null,)"
                R"( "phase_times": {"forward-compute": 0.25, "backward-compute": null}})",
                3, 99.0);
  EXPECT_EQ(r.rank, 3);
  EXPECT_EQ(r.timestamp, 12.5);
  EXPECT_EQ(r.gradient_norm, 2.0);
  EXPECT_EQ(r.step_time, std::nullopt);
  ASSERT_TRUE(r.has_phase_map);
  ASSERT_EQ(r.first_phases.size(), 2u);
  EXPECT_EQ(r.first_phases[0].duration, 0.25);
  EXPECT_EQ(r.first_phases[1].duration, std::nullopt);
  EXPECT_EQ(r.phase_values.size(), 1u);
  // Without a usable timestamp the clock reading stands in.
  EXPECT_EQ(read_fast(R"({"rank": 0, "timestamp": null})", 0, 99.0).timestamp, 99.0);
  EXPECT_FALSE(read_fast(R"({"rank": 0})", 0, 1.0).has_phase_map);
}

TEST(ReportBuilder, OnlyTheFirstPhasesAreKeptInOrderButAllValuesCount) {
  ReportBuilder b(1, 0.0, std::nullopt, std::nullopt);
  b.begin_phases();
  for (std::size_t i = 0; i < kMaxPhasesPerPayload + 5; ++i) {
    std::string name = "p";
    name += std::to_string(i);
    b.add_phase(name, name.size(), 1.0);
  }
  b.add_phase(std::string(kMaxPhaseNameChars + 1, 'x'), kMaxPhaseNameChars + 1, 1.0);
  HookReport r = b.take();
  EXPECT_EQ(r.first_phases.size(), kMaxPhasesPerPayload);
  EXPECT_EQ(r.first_phases.back().name, "p31");
  EXPECT_EQ(r.phase_values.size(), kMaxPhasesPerPayload + 6);

  ReportBuilder c(1, 0.0, std::nullopt, std::nullopt);
  c.begin_phases();
  c.add_phase(std::string(kMaxPhaseNameChars + 1, 'x'), kMaxPhaseNameChars + 1, 1.0);
  HookReport s = c.take();
  ASSERT_EQ(s.first_phases.size(), 1u);
  EXPECT_TRUE(s.first_phases[0].name_too_long);
  EXPECT_TRUE(s.first_phases[0].name.empty());
}

}  // namespace
}  // namespace corvane::monitor
