#include "../report_policy.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "../../common/tests/fake_config.hpp"
#include "../detection_finding.hpp"
#include "../hook_file.hpp"

namespace corvane::monitor {
namespace {

FastPlan plan(const std::string& line, bool keeps_state = true) {
  FastHookReport fast;
  EXPECT_EQ(parse_hook_line(line, &fast), FastParse::kReport) << line;
  return plan_fast_report(fast, keeps_state);
}

struct PlanCase {
  const char* line;
  bool keeps_state;
  FastPlan::Action action;
  std::int64_t rank;
  bool publish_phase;
  FastPlan::Step step;
};

void PrintTo(const PlanCase& c, std::ostream* os) { *os << c.line; }

class FastReportPlan : public ::testing::TestWithParam<PlanCase> {};

TEST_P(FastReportPlan, RankZeroPublishesWhatItCan) {
  const PlanCase& c = GetParam();
  FastPlan p = plan(c.line, c.keeps_state);
  EXPECT_EQ(p.action, c.action);
  if (p.action == FastPlan::kDrop) return;
  EXPECT_EQ(p.rank, c.rank);
  EXPECT_EQ(p.publish_phase, c.publish_phase);
  EXPECT_EQ(p.step, c.step);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FastReportPlan,
    ::testing::Values(PlanCase{R"({"rank": 0, "phase": "fwd", "step": 7})", true, FastPlan::kTake,
                               0, true, FastPlan::kStepValue},
                      PlanCase{R"({"phase": null, "step": null})", true, FastPlan::kTake, 0, false,
                               FastPlan::kNoStep},
                      PlanCase{R"({"rank": 0, "phase": 3, "step": 123456789012345678901234})", true,
                               FastPlan::kTake, 0, true, FastPlan::kStepLiteral},
                      PlanCase{R"({"rank": 0, "step": 1e30})", true, FastPlan::kTake, 0, false,
                               FastPlan::kStepFloat},
                      PlanCase{R"({"rank": 0, "phase": {"a": 1}})", true, FastPlan::kHost, 0, false,
                               FastPlan::kNoStep},
                      PlanCase{R"({"rank": 0, "phase": {"a": 1}, "step": 2})", false,
                               FastPlan::kTake, 0, false, FastPlan::kNoStep},
                      PlanCase{R"({"rank": 2, "phase": {"a": 1}, "step": 2})", true,
                               FastPlan::kTake, 2, false, FastPlan::kNoStep},
                      PlanCase{R"({"rank": 99999999999999999999, "phase": {"a": 1}})", true,
                               FastPlan::kDrop, 0, false, FastPlan::kNoStep}));

TEST(FastReportPlan, VeryManyPhasesAreAnalysedWithoutTheInterpreter) {
  auto phases = [](std::size_t n) {
    std::string line = R"({"rank": 1, "phase_times": {)";
    for (std::size_t i = 0; i < n; ++i) {
      line += (i ? ", \"p" : "\"p") + std::to_string(i) + "\": 1";
    }
    return line + "}}";
  };
  EXPECT_FALSE(plan(phases(kPhasesWithInterpreter)).without_interpreter);
  EXPECT_TRUE(plan(phases(kPhasesWithInterpreter + 1)).without_interpreter);
}

// Which reader each line reaches.
struct Route {
  std::vector<std::string> calls;
  bool fast_accepts = true;
  LineReaders readers(bool host_only = false) {
    LineReaders r;
    r.host_only = host_only;
    r.blocking = [this](const std::function<void()>& call) {
      calls.push_back("blocking");
      call();
    };
    r.fast = [this](const FastHookReport&) {
      calls.push_back("fast");
      return fast_accepts;
    };
    r.host = [this](std::string_view) {
      calls.push_back("host");
      return true;
    };
    r.warn = [this](const std::string& m) { calls.push_back(m); };
    return r;
  }
};

TEST(HookLineRoute, EachLineReachesTheReaderThatReadsItExactly) {
  using Calls = std::vector<std::string>;
  const std::string usual = R"({"rank": 1, "step_time": 0.5})";
  const std::string padding(kBytesWithInterpreter, ' ');
  const std::string escaped = R"({"rank": 1, "phase": "a\u00e9"})";
  struct Case {
    std::string line;
    bool host_only, fast_accepts, report;
    Calls calls;
  } cases[] = {
      {"   ", false, true, false, {}},
      {usual.substr(0, 16), false, true, false, {}},  // cut off inside the object
      {usual, false, true, true, {"fast"}},
      {usual, true, true, true, {"host"}},
      {usual, false, false, true, {"fast", "host"}},
      {escaped, false, true, true, {"host"}},
      {usual + padding, false, true, true, {"blocking", "fast"}},
      {escaped + std::string(kMaxHostDecodedBytes, ' '),
       false,
       true,
       false,
       {"blocking", oversized_line_warning()}},
  };
  for (const Case& c : cases) {
    Route route;
    route.fast_accepts = c.fast_accepts;
    EXPECT_EQ(read_hook_line(c.line, route.readers(c.host_only)), c.report) << c.line.substr(0, 40);
    EXPECT_EQ(route.calls, c.calls) << c.line.substr(0, 40);
  }
}

std::vector<std::string> keys(const Details& details) {
  std::vector<std::string> out;
  for (const auto& [key, value] : details) out.emplace_back(key);
  return out;
}

TEST(DetectionFinding, EachKindSaysItsOwnFiguresInOrder) {
  Detection d{Detection::kRankDivergence, 4, "", 10.0, 1.0, 2.24, false, {0, 1, 4}, false};
  EXPECT_EQ(describe(d).event_type, "rank_divergence");
  EXPECT_EQ(describe(d).summary, "Rank 4 gradient norm diverged from peers");
  EXPECT_EQ(keys(describe(d).details),
            (std::vector<std::string>{"rank", "gradient_norm", "median_gradient_norm", "z_score",
                                      "ratio_trigger", "peer_ranks"}));
  d.non_finite = true;  // said only of a norm that is not finite
  EXPECT_EQ(keys(describe(d).details).back(), "non_finite");
  d.non_finite = false;
  d.kind = Detection::kRankStraggler;
  EXPECT_EQ(describe(d).summary, "Rank 4 is consistently slower than peers");
  EXPECT_EQ(keys(describe(d).details),
            (std::vector<std::string>{"rank", "step_time", "median_step_time", "slowdown_pct",
                                      "peer_ranks"}));
  d.kind = Detection::kPhaseStraggler;
  d.phase = "grad-all-reduce";
  d.score = std::nullopt;
  EXPECT_EQ(describe(d).event_type, "phase_straggler");
  EXPECT_EQ(describe(d).summary, "Rank 4 is slower than peers in grad-all-reduce");
  Finding finding = describe(d);
  EXPECT_EQ(finding.severity, "WARN");
  const Details& details = finding.details;
  EXPECT_EQ(keys(details), (std::vector<std::string>{"rank", "phase", "duration", "median_duration",
                                                     "slowdown_pct", "peer_ranks"}));
  EXPECT_EQ(details[1].second.text, "grad-all-reduce");
  EXPECT_EQ(details[4].second.kind, DetailValue::kNone);  // no score
  EXPECT_EQ(details[5].second.list, (std::vector<std::int64_t>{0, 1, 4}));
}

TEST(HookFile, ReadsWhatWasAppendedAndWarnsOnlyAboutRealErrors) {
  std::string dir = ::testing::TempDir();
  std::string path = dir + "/hook-file-test-" + std::to_string(::getpid()) + ".jsonl";
  std::remove(path.c_str());
  FileTail tail;
  std::vector<std::string> taken;
  int blocking_calls = 0;
  Blocking blocking = [&](const std::function<void()>& call) {
    ++blocking_calls;
    call();
  };
  auto take = [&](std::string_view line) {
    taken.emplace_back(line);
    return true;
  };
  EXPECT_EQ(read_hook_file(tail, path, blocking, take), "");  // not written yet
  std::ofstream(path) << "{\"rank\": 0}\n{\"rank\": 1}\n";
  EXPECT_EQ(read_hook_file(tail, path, blocking, take), "");
  std::ofstream(path, std::ios::app) << "{\"rank\": 2}\n";
  EXPECT_EQ(read_hook_file(tail, path, blocking, take), "");
  EXPECT_EQ(taken, (std::vector<std::string>{"{\"rank\": 0}", "{\"rank\": 1}", "{\"rank\": 2}"}));
  EXPECT_GT(blocking_calls, 3);  // every file call went through it
  std::remove(path.c_str());

  EXPECT_EQ(read_hook_file(tail, dir, blocking, take),
            "cannot read the hook file " + dir + ": Is a directory");
}

TEST(PeerSettings, ReadFromTheMonitorSectionWithTheirDefaults) {
  using corvane::testing::map_of;
  using corvane::testing::number;
  std::vector<std::string> logged;
  auto log = [&](const std::string& line) { logged.push_back(line); };
  SettingsReader given(
      map_of({{"monitor", map_of({{"rank_divergence_threshold", number(3, "3")},
                                  {"rank_straggler_threshold", number(0.25, "0.25")}})}}),
      log);
  PeerSettings s = read_peer_settings(given);
  EXPECT_EQ(s.divergence_sigma, 3);
  EXPECT_EQ(s.straggler_threshold, 0.25);
  SettingsReader absent(map_of({{"monitor", map_of({})}}), log);
  s = read_peer_settings(absent);
  EXPECT_EQ(s.divergence_sigma, 2.0);
  EXPECT_EQ(s.straggler_threshold, 0.1);
  EXPECT_TRUE(logged.empty());
  SettingsReader bad(
      map_of({{"monitor", map_of({{"rank_straggler_threshold", corvane::testing::text("lots")}})}}),
      log);
  EXPECT_EQ(read_peer_settings(bad).straggler_threshold, 0.1);
  EXPECT_EQ(logged, std::vector<std::string>{"configuration monitor.rank_straggler_threshold = "
                                             "'lots' is not a number; using 0.1"});
  SettingsReader none(map_of({}), log);
  EXPECT_THROW(read_peer_settings(none), MissingSetting);
}

}  // namespace
}  // namespace corvane::monitor
