// Running the job through Slurm's srun on Slurm clusters: whether to, and the arguments.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace corvane::monitor {

// True when the last path component of `program` is srun, sbatch or salloc (exact case).
bool is_slurm_launcher(std::string_view program);

// One argument of the srun prefix: a fixed word, or a value of the "cluster.slurm" settings
// as configured (the GPU count as its text), or the configured extra arguments.
struct SrunArg {
  enum Kind { kWord, kPartition, kGpusText, kAccount, kQos, kConstraint, kExtraArgs } kind;
  std::string_view word;  // for kWord
};

// Which optional settings are set (true as the host judges them).
struct SrunSettings {
  bool gpus = false, account = false, qos = false, constraint = false;
};

// The prefix that goes before the job's own command.
std::vector<SrunArg> srun_prefix(const SrunSettings& set);

// One argument of the agent step's command: text, or where the configured
// "cluster.slurm.agent_extra_args" go.
struct AgentArg {
  enum Kind { kText, kExtraArgs } kind;
  std::string text;  // for kText
};

// The agent step: one agent per node in `targets`, as a step beside the job's (--overlap:
// it needs none of the job's resources for itself), run by `python` (the host's
// executable). The extra arguments go before the agent's command, e.g. what a cluster that
// confines devices needs to let the step see the node's GPUs.
std::vector<AgentArg> agent_step_command(const std::vector<std::string>& targets,
                                         std::string_view srun, std::string_view python);

}  // namespace corvane::monitor
