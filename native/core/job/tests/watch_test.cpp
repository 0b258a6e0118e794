#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../srun.hpp"
#include "../wakeups.hpp"
#include "../watch_sources.hpp"

namespace corvane::monitor {
namespace {

TEST(WatchSources, LineInAFixedOrderOnceBothMainSourcesSpoke) {
  int key = 0;
  JobWatch watch(&key);
  auto generation = wake_generation();
  report_source(&key, "kernel log", "dmesg");
  EXPECT_GT(wake_generation(), generation);
  EXPECT_FALSE(sources_known(watch.snapshot()));
  report_source(&key, "gpu events", "");
  report_source(&key, "telemetry", "nvidia-smi");
  report_source(&key, "telemetry", "nvml, 8 GPUs");  // a later report replaces the detail
  report_nvml_gpu_count(&key, 8);
  WatchState state = watch.snapshot();
  EXPECT_TRUE(sources_known(state));
  EXPECT_EQ(state.nvml_gpu_count, 8);
  EXPECT_EQ(watching_line(state, "/ck/job-1-hooks.jsonl"),
            "[corvane] watching: output, telemetry (nvml, 8 GPUs), gpu events, kernel log "
            "(dmesg), hook file (/ck/job-1-hooks.jsonl)");
}

TEST(WatchSources, ReportsOutsideARunningJobAreDropped) {
  int key = 0;
  report_source(&key, "telemetry", "nvml");
  report_nvml_gpu_count(&key, 4);
  {
    JobWatch watch(&key);
    EXPECT_TRUE(watch.snapshot().sources.empty());
    EXPECT_EQ(watch.snapshot().nvml_gpu_count, -1);
    EXPECT_EQ(watching_line(watch.snapshot(), "h"), "[corvane] watching: output, hook file (h)");
  }
  report_source(&key, "kernel log", "");
  JobWatch again(&key);
  EXPECT_TRUE(again.snapshot().sources.empty());
}

std::vector<std::string> texts(const std::vector<AgentArg>& args) {
  std::vector<std::string> out;
  for (const auto& a : args) out.push_back(a.kind == AgentArg::kExtraArgs ? "<extra>" : a.text);
  return out;
}

TEST(AgentStep, OneAgentPerTargetNodeBesideTheJob) {
  EXPECT_EQ(texts(agent_step_command({"n2", "n3"}, "/usr/bin/srun", "/venv/bin/python")),
            (std::vector<std::string>{
                "/usr/bin/srun", "--overlap", "--nodes=2", "--ntasks=2", "--ntasks-per-node=1",
                "--nodelist=n2,n3", "--kill-on-bad-exit=0", "--job-name=corvane-agents", "<extra>",
                "/venv/bin/python", "-m", "corvane", "agent", "--stdin-eof", "--job-running"}));
  auto one = texts(agent_step_command({"gpu-01"}, "srun", "py"));
  EXPECT_EQ(one[2], "--nodes=1");
  EXPECT_EQ(one[5], "--nodelist=gpu-01");
}

}  // namespace
}  // namespace corvane::monitor
