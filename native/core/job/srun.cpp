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

std::vector<AgentArg> agent_step_command(const std::vector<std::string>& targets,
                                         std::string_view srun, std::string_view python) {
  std::string count = std::to_string(targets.size());
  std::string nodes;
  for (const std::string& target : targets) nodes += (nodes.empty() ? "" : ",") + target;
  std::vector<AgentArg> out;
  for (std::string text :
       {std::string(srun), std::string("--overlap"), "--nodes=" + count, "--ntasks=" + count,
        std::string("--ntasks-per-node=1"), "--nodelist=" + nodes,
        std::string("--kill-on-bad-exit=0"), std::string("--job-name=corvane-agents")}) {
    out.push_back({AgentArg::kText, std::move(text)});
  }
  out.push_back({AgentArg::kExtraArgs, {}});
  out.push_back({AgentArg::kText, std::string(python)});
  for (const char* text : {"-m", "corvane", "agent", "--stdin-eof", "--job-running"}) {
    out.push_back({AgentArg::kText, text});
  }
  return out;
}

}  // namespace corvane::monitor
