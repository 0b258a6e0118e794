#include "watch_sources.hpp"

#include <algorithm>
#include <deque>
#include <iterator>
#include <map>
#include <mutex>

#include "wakeups.hpp"

namespace corvane::monitor {
namespace {

std::mutex g_mutex;
std::map<const void*, WatchState>& states() {
  static auto* all = new std::map<const void*, WatchState>();  // threads may report at exit
  return *all;
}
std::map<const void*, HookProgress>& progress() {
  static auto* all = new std::map<const void*, HookProgress>();
  return *all;
}

struct Forwarded {
  std::set<std::string> nodes;
  std::deque<std::string> lines;
};
std::map<const void*, Forwarded>& forwarded() {
  static auto* all = new std::map<const void*, Forwarded>();
  return *all;
}

}  // namespace

JobWatch::JobWatch(const void* key) : key_(key) {
  std::lock_guard<std::mutex> lock(g_mutex);
  states()[key_] = WatchState{};
  progress()[key_] = HookProgress{};
  forwarded()[key_] = Forwarded{};
}

JobWatch::~JobWatch() {
  std::lock_guard<std::mutex> lock(g_mutex);
  states().erase(key_);
  progress().erase(key_);
  forwarded().erase(key_);
}

WatchState JobWatch::snapshot() const {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = states().find(key_);
  return it == states().end() ? WatchState{} : it->second;
}

void report_source(const void* key, const std::string& source, const std::string& how) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = states().find(key);
    if (it == states().end()) return;  // a thread body run on its own, outside a job
    auto& sources = it->second.sources;
    auto same = [&](const auto& entry) { return entry.first == source; };
    if (auto found = std::find_if(sources.begin(), sources.end(), same); found != sources.end()) {
      found->second = how;
    } else {
      sources.emplace_back(source, how);
    }
  }
  wake_runners();  // the runner tells the user once every source has spoken
}

HookProgress JobWatch::hook_progress() const {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = progress().find(key_);
  return it == progress().end() ? HookProgress{} : it->second;
}

void report_hook_progress(const void* key, std::vector<RankProgress> ranks, std::size_t fresh) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = progress().find(key);
  if (it == progress().end()) return;
  it->second.ranks = std::move(ranks);
  states()[key].hook_ranks_fresh = fresh;
}

void report_nvml_gpu_count(const void* key, long count) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = states().find(key);
  if (it != states().end()) it->second.nvml_gpu_count = count;
}

void forward_hooks_of(const void* key, std::set<std::string> nodes) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = forwarded().find(key);
  if (it != forwarded().end()) it->second.nodes = std::move(nodes);
}

void forward_hook_line(const void* key, std::string line) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = forwarded().find(key);
  if (it == forwarded().end()) return;  // the job has ended
  auto& lines = it->second.lines;
  if (lines.size() >= kMaxForwardedHookLines) lines.pop_front();
  lines.push_back(std::move(line));
}

std::set<std::string> forwarded_hook_nodes(const void* key) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = forwarded().find(key);
  return it == forwarded().end() ? std::set<std::string>{} : it->second.nodes;
}

std::vector<std::string> take_forwarded_hook_lines(const void* key) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = forwarded().find(key);
  if (it == forwarded().end()) return {};
  auto& lines = it->second.lines;
  std::vector<std::string> out(std::make_move_iterator(lines.begin()),
                               std::make_move_iterator(lines.end()));
  lines.clear();
  return out;
}

std::string watching_line(const WatchState& state, const std::string& hook_path) {
  std::string line = "[corvane] watching: output";
  for (const char* source : {"telemetry", "gpu events", "kernel log"}) {
    for (const auto& [name, how] : state.sources) {
      if (name == source) line += ", " + name + (how.empty() ? "" : " (" + how + ")");
    }
  }
  return line + ", hook file (" + hook_path + ")";
}

bool sources_known(const WatchState& state) {
  int known = 0;
  for (const auto& entry : state.sources) {
    known += entry.first == "telemetry" || entry.first == "kernel log";
  }
  return known >= 2;
}

}  // namespace corvane::monitor
