#include "srun.hpp"

namespace corvane::monitor {

bool is_slurm_launcher(std::string_view program) {
  std::size_t slash = program.rfind('/');
  std::string_view base = slash == std::string_view::npos ? program : program.substr(slash + 1);
  return base == "srun" || base == "sbatch" || base == "salloc";
}

}  // namespace corvane::monitor
