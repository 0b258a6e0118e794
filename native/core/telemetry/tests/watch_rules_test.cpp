#include "../watch_rules.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvane::monitor {
namespace {

TEST(TelemetryWatchRules, AJobIsActiveByItsFlagElseByRecentOutput) {
  EXPECT_TRUE(job_is_active(true, 1000, 0, 5));
  EXPECT_FALSE(job_is_active(false, 1000, 1000, 5));
  struct Case {
    double poll, silence;
    bool active;
  };
  // Six polls of silence, never less than 15 s.
  for (const Case& c : std::vector<Case>{
           {2, 14.0, true}, {2, 16.0, false}, {5, 29.0, true}, {5, 30.0, false}, {1, 14.9, true}}) {
    EXPECT_EQ(job_is_active(std::nullopt, 1000, 1000 - c.silence, c.poll), c.active)
        << c.poll << " " << c.silence;
  }
  EXPECT_EQ(poll_period(0.2), 1.0);
  EXPECT_EQ(poll_period(7.5), 7.5);
}

TEST(TelemetryWatchRules, WhatTheWatchingLineSays) {
  ToolFailureText hung{"nvidia-smi", "no answer within 15 s", true};
  struct Case {
    Backend backend;
    std::size_t gpus;
    std::optional<ToolFailureText> failure;
    bool binding;
    std::string text;
  };
  for (const Case& c : std::vector<Case>{
           {Backend::kNvml, 8, std::nullopt, true, "nvml, 8 GPUs"},
           {Backend::kShell, 1, std::nullopt, false, "nvidia-smi, 1 GPU"},
           {Backend::kInjected, 0, std::nullopt, false, "injected, 0 GPUs"},
           {Backend::kNone, 0, hung, true, "unavailable: nvidia-smi no answer within 15 s"},
           {Backend::kNone, 0, std::nullopt, true,
            "unavailable: NVML unusable, and nvidia-smi listed no GPU"},
           {Backend::kOther, 3, std::nullopt, false,
            "unavailable: no NVML binding, and nvidia-smi listed no GPU"}}) {
    EXPECT_EQ(telemetry_source_text(c.backend, c.gpus, c.failure, c.binding), c.text);
  }
  EXPECT_EQ(backend_named("shell"), Backend::kShell);
  EXPECT_EQ(backend_named("none"), Backend::kNone);
  EXPECT_EQ(backend_named("NVML"), Backend::kOther);
}

TEST(TelemetryWatchRules, SyntheticGpusArePolledOnlyWhileInjectionIsOn) {
  struct Case {
    Backend backend;
    bool injection;
    SnapshotSource source;
  };
  for (const Case& c : std::vector<Case>{{Backend::kNvml, false, SnapshotSource::kNvml},
                                         {Backend::kShell, true, SnapshotSource::kTool},
                                         {Backend::kInjected, true, SnapshotSource::kSynthetic},
                                         {Backend::kInjected, false, SnapshotSource::kNone},
                                         {Backend::kNone, true, SnapshotSource::kNone},
                                         {Backend::kOther, true, SnapshotSource::kNone}}) {
    EXPECT_EQ(snapshot_source(c.backend, c.injection), c.source);
  }
}

std::vector<std::string> keys(const Finding& f) {
  std::vector<std::string> out;
  for (const auto& [key, value] : f.details) out.push_back(key);
  return out;
}

TEST(TelemetryWatchRules, UnavailableAndReadyFindings) {
  Finding failed =
      unavailable_finding(ToolFailureText{"nvidia-smi", "exited with status 9"}, false);
  EXPECT_EQ(failed.summary, "GPU telemetry backend unavailable");
  EXPECT_EQ(keys(failed), (std::vector<std::string>{"tool", "reason"}));
  EXPECT_EQ(failed.details[1].second.text, "exited with status 9");
  Finding missing = unavailable_finding(std::nullopt, false);
  EXPECT_EQ(keys(missing), (std::vector<std::string>{"reason"}));
  EXPECT_EQ(missing.details[0].second.text, "no NVML binding, and nvidia-smi listed no GPU");

  EXPECT_EQ(ready_finding("nvml", 0, 0).summary,
            "Telemetry backend nvml attached to unknown GPU(s)");
  Finding injected = ready_finding("injected", 8, 2);  // the declared GPUs count
  EXPECT_EQ(injected.summary, "Telemetry backend injected attached to 2 GPU(s)");
  EXPECT_EQ(keys(injected), (std::vector<std::string>{"backend", "gpu_count", "injected"}));
  EXPECT_EQ(ready_finding("shell", 8, 2).details[1].second.i, 8);
}

TEST(TelemetryWatchRules, TheCountIsCheckedEachMinuteWhenStructuralMonitoringIsOn) {
  TelemetryWatchRules rules(5, true);
  rules.attached(1000);
  EXPECT_FALSE(rules.count_check_due(1059.9));
  EXPECT_TRUE(rules.count_check_due(1060));
  EXPECT_FALSE(rules.count_check_due(1100));
  EXPECT_TRUE(rules.count_check_due(1120));
  TelemetryWatchRules off(5, false);
  off.attached(0);
  EXPECT_FALSE(off.count_check_due(1e6));
}

TEST(TelemetryWatchRules, AHungToolIsReportedOnceAndOnlyWhileRunning) {
  ToolFailureText hung{"nvidia-smi", "no answer within 15 s", true};
  ToolFailureText exited{"nvidia-smi", "exited with status 9", false};
  TelemetryWatchRules rules(5, true);
  EXPECT_FALSE(rules.hang_to_report(exited, false));
  EXPECT_FALSE(rules.hang_to_report(std::nullopt, false));
  EXPECT_FALSE(rules.hang_to_report(hung, true));  // the job ended: no gap to report
  EXPECT_TRUE(rules.hang_to_report(hung, false));
  EXPECT_FALSE(rules.hang_to_report(hung, false));
  EXPECT_TRUE(TelemetryWatchRules::report_no_backend(true, true));
  EXPECT_TRUE(TelemetryWatchRules::report_no_backend(false, false));
  EXPECT_FALSE(TelemetryWatchRules::report_no_backend(false, true));
  EXPECT_EQ(TelemetryWatchRules::event_slice(3.0), 0.25);
  EXPECT_EQ(TelemetryWatchRules::event_slice(0.1), 0.1);
}

}  // namespace
}  // namespace corvane::monitor
