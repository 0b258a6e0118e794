#include "srun.hpp"

namespace corvane::monitor {

bool is_slurm_launcher(std::string_view program) {
  std::size_t slash = program.rfind('/');
  std::string_view base = slash == std::string_view::npos ? program : program.substr(slash + 1);
  return base == "srun" || base == "sbatch" || base == "salloc";
}

std::vector<SrunArg> srun_prefix(const SrunSettings& set) {
  std::vector<SrunArg> out = {
      {SrunArg::kWord, "srun"}, {SrunArg::kWord, "--partition"}, {SrunArg::kPartition, {}}};
  auto option = [&](bool wanted, std::string_view flag, SrunArg::Kind value) {
    if (!wanted) return;
    out.push_back({SrunArg::kWord, flag});
    out.push_back({value, {}});
  };
  option(set.gpus, "--gpus", SrunArg::kGpusText);
  option(set.account, "--account", SrunArg::kAccount);
  option(set.qos, "--qos", SrunArg::kQos);
  option(set.constraint, "--constraint", SrunArg::kConstraint);
  out.push_back({SrunArg::kExtraArgs, {}});
  return out;
}

}  // namespace corvane::monitor
