// Recognising job commands that already go through a Slurm launcher.
#pragma once

#include <string_view>

namespace corvane::monitor {

// True when the last path component of `program` is srun, sbatch or salloc (exact case).
bool is_slurm_launcher(std::string_view program);

}  // namespace corvane::monitor
