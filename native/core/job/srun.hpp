// Running the job through Slurm's srun on Slurm clusters: whether to, and the arguments.
#pragma once

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

}  // namespace corvane::monitor
