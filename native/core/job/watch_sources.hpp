// What each running job watches, as its threads tell it, and the "watching:" line the
// runner prints once from it. Keyed by an opaque pointer per job (its stop event); any
// thread, no locks held by callers.
#pragma once

#include <cstddef>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "../hooks/progress.hpp"

namespace corvane::monitor {

struct WatchState {
  // (source, how) in the order the sources first reported, e.g. ("telemetry", "nvml, 8 GPUs").
  std::vector<std::pair<std::string, std::string>> sources;
  long nvml_gpu_count = -1;          // the GPU count NVML gives each poll; -1: not known
  std::size_t hook_ranks_fresh = 0;  // ranks that reported lately
};

// Where the job's ranks got to, as the hook monitor last read them.
struct HookProgress {
  std::vector<RankProgress> ranks;
};

// Registers a job's watch state for as long as the object lives.
class JobWatch {
 public:
  explicit JobWatch(const void* key);
  ~JobWatch();
  JobWatch(const JobWatch&) = delete;
  JobWatch& operator=(const JobWatch&) = delete;
  WatchState snapshot() const;
  HookProgress hook_progress() const;

 private:
  const void* key_;
};

// A source of the job `key` is watched (`how`: its detail, or empty); a later report of the
// same source replaces its detail. Wakes the runners. Ignored for a key with no job.
void report_source(const void* key, const std::string& source, const std::string& how);
void report_nvml_gpu_count(const void* key, long count);
void report_hook_progress(const void* key, std::vector<RankProgress> ranks, std::size_t fresh);

// Hook reports of the job's other nodes, forwarded by their agents (a node-local hook
// file is read there). The nodes whose reports come that way are read from no other
// source, so a shared hook file never counts a report twice. Lines wait, up to
// kMaxForwardedHookLines (the oldest give way), for the hook monitor's next pass.
inline constexpr std::size_t kMaxForwardedHookLines = 100000;
void forward_hooks_of(const void* key, std::set<std::string> nodes);
void forward_hook_line(const void* key, std::string line);
std::set<std::string> forwarded_hook_nodes(const void* key);
std::vector<std::string> take_forwarded_hook_lines(const void* key);

// "[corvane] watching: output, telemetry (nvml, 8 GPUs), ..., hook file (path)", in a
// fixed order whatever the order of the reports.
std::string watching_line(const WatchState& state, const std::string& hook_path);
// Both the telemetry and the kernel log have spoken: the line can be printed.
bool sources_known(const WatchState& state);

}  // namespace corvane::monitor
