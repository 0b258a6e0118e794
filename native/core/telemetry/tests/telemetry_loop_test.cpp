#include "../telemetry_loop.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace corvane::monitor {
namespace {

struct Snap {
  SnapshotState state;
  GpuSample sample;
};

// A host with scripted backend, polls and inventory; the clock moves `step` per poll. It
// stops once the script has run out.
class FakeHost : public TelemetryHost {
 public:
  std::string backend = "shell";
  std::vector<std::vector<Snap>> polls;
  std::vector<std::optional<std::size_t>> inventories{2};
  std::optional<ToolFailureText> failure;
  bool fail_every_poll = false, events = false, stop_at_start = false;
  std::vector<std::string> xids_due, kernel_lines_due;
  double now = 1000, step_seconds = 1, mono = 0;

  std::vector<std::string> said;  // findings and other reports, in order
  std::vector<double> slices;

  void step(const char*, const std::function<void()>& fn) override { fn(); }
  bool stopped() override { return stop_at_start || done_; }
  bool wait_for_stop(double) override { return done_; }
  double clock() override { return now; }
  double monotonic() override { return mono; }
  std::string choose_backend() override { return backend; }
  std::size_t backend_gpus() override { return 2; }
  std::optional<std::size_t> read_inventory() override {
    auto v = inventories.front();
    if (inventories.size() > 1) inventories.erase(inventories.begin());
    return v;
  }
  std::pair<std::int64_t, std::int64_t> choose_link_probe() override { return {0, 0}; }
  bool has_nvml_binding() override { return false; }
  std::optional<ToolFailureText> tool_failure() override { return failure; }
  void clear_tool_failure() override {
    if (!fail_every_poll) failure.reset();
  }
  void report_source(const std::string& s, const std::string& how) override {
    said.push_back("source " + s + ": " + how);
  }
  void report_gpu_count() override {}
  void shutdown_nvml() override { said.push_back("nvml shut down"); }
  std::string open_gpu_events() override { return events ? "nvml" : "unavailable: x"; }
  bool gpu_events_active() override { return events; }
  void wait_gpu_events(double seconds) override {
    slices.push_back(seconds);
    mono += seconds;
  }
  void close_gpu_events() override {}
  std::size_t read_snapshots() override {
    now += step_seconds;
    if (polls.empty()) {
      done_ = true;
      current_.clear();
      return 0;
    }
    current_ = polls.front();
    polls.erase(polls.begin());
    return current_.size();
  }
  SnapshotState snapshot_state(std::size_t i) override { return current_.at(i).state; }
  GpuSample sample(std::size_t i, std::int64_t) override { return current_.at(i).sample; }
  void send_metrics() override {}
  std::optional<bool> job_running() override { return true; }
  double last_output_at() override { return now; }
  std::vector<std::string> pending_injected_xids() override {
    auto due = xids_due;
    xids_due.clear();
    return due;
  }
  void injected_xid_event(std::size_t k) override {
    said.push_back("xid event #" + std::to_string(k));
  }
  void injected_xid_finding(std::size_t, const std::string& summary) override {
    said.push_back("xid finding: " + summary);
  }
  std::vector<std::string> pending_injected_kernel_lines() override {
    return std::exchange(kernel_lines_due, {});
  }
  void append(const Finding& f, std::optional<std::size_t>) override {
    std::string text = std::string(f.event_type) + ": " + f.summary;
    for (const auto& [key, value] : f.details) {  // the counts of a shrunken inventory
      if (key == "before" || key == "after") text += " " + key + "=" + std::to_string(value.i);
    }
    said.push_back(text);
  }

 private:
  bool done_ = false;
  std::vector<Snap> current_;
};

std::vector<std::string> run(FakeHost& host) {
  Thresholds t;
  t.warn_temp = 85;
  t.critical_temp = 92;
  t.ecc_warn_rate = 10;
  TelemetryLoop(host, 5.0, true, t).run();
  return host.said;
}

Snap hot(std::int64_t index) {
  Snap s;
  s.state.index = s.sample.index = index;
  s.sample.temperature = 99;
  return s;
}

Snap quiet(std::int64_t index) {
  Snap s;
  s.state.index = s.sample.index = index;
  return s;
}

using Said = std::vector<std::string>;

TEST(TelemetryLoop, WithoutABackendTheFailureIsSaidUnlessTheJobEndedFirst) {
  FakeHost failed;
  failed.backend = "none";
  failed.failure = ToolFailureText{"nvidia-smi", "exited with status 9"};
  EXPECT_EQ(run(failed), (Said{"source telemetry: unavailable: nvidia-smi exited with status 9",
                               "telemetry_unavailable: GPU telemetry backend unavailable"}));
  FakeHost ended;
  ended.backend = "none";
  ended.stop_at_start = true;
  EXPECT_EQ(run(ended).size(), 1u);  // the source line only
}

TEST(TelemetryLoop, LostAndUnreadableGpusAndReadyCounts) {
  FakeHost host;
  Snap lost = hot(0), unreadable = hot(1);
  lost.state.gpu_lost = lost.state.injected = true;
  unreadable.state.query_error = true;
  host.polls = {{lost, unreadable, hot(2)}};
  EXPECT_EQ(run(host), (Said{"source telemetry: nvidia-smi, 2 GPUs",
                             "telemetry_ready: Telemetry backend shell attached to 2 GPU(s)",
                             "metric_disappearance: GPU 0 was lost from NVML",
                             "thermal_warning: GPU 2 temperature reached 99.0C"}));
}

TEST(TelemetryLoop, AHungToolIsSaidOnceAndTheCountIsCheckedAfterAMinute) {
  FakeHost host;
  host.failure = ToolFailureText{"nvidia-smi", "no answer within 15 s", true};
  host.fail_every_poll = true;
  host.step_seconds = 30;
  host.inventories = {2, 2, 1};
  host.polls = {{quiet(0)}, {quiet(0)}, {quiet(0)}, {quiet(0)}};
  Said said = run(host);
  EXPECT_EQ(std::count(said.begin(), said.end(),
                       "telemetry_unavailable: GPU telemetry backend unavailable"),
            1);
  EXPECT_EQ(
      said.back(),
      "metric_disappearance: GPU inventory shrank during runtime monitoring before=2 after=1");
}

TEST(TelemetryLoop, InjectedXidsTakeTheEventPathWhereThereIsOne) {
  for (bool events : {true, false}) {
    FakeHost host;
    host.backend = "nvml";
    host.events = events;
    host.xids_due = {"3"};
    host.polls = {{hot(0)}};
    Said said = run(host);
    std::string want = events ? "xid event #0" : "xid finding: Injected XID {} on GPU 3 ({})";
    EXPECT_NE(std::find(said.begin(), said.end(), want), said.end()) << events;
    EXPECT_EQ(said.back(), "nvml shut down");
  }
}

TEST(TelemetryLoop, BetweenPollsGpuEventsAreWaitedOnInShortSlices) {
  FakeHost host;
  host.backend = "nvml";
  host.events = true;
  host.polls = {{hot(0)}};
  run(host);
  ASSERT_EQ(host.slices.size(), 20u);  // one five-second period
  for (double s : host.slices) EXPECT_LE(s, 0.25);
}

}  // namespace
}  // namespace corvane::monitor
