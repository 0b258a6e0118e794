#include "../srun.hpp"

#include <gtest/gtest.h>

namespace corvane::monitor {
namespace {

TEST(SlurmLauncher, RecognisedByTheProgramsLastPathComponent) {
  for (const char* program : {"srun", "/usr/bin/srun", "sbatch", "salloc", "./bin/salloc"}) {
    EXPECT_TRUE(is_slurm_launcher(program)) << program;
  }
  for (const char* program : {"SRUN", "srun2", "python", "srun/", "", "/usr/bin/srun.sh"}) {
    EXPECT_FALSE(is_slurm_launcher(program)) << program;
  }
}

}  // namespace
}  // namespace corvane::monitor
