#include "process_tree.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>

namespace corvane::monitor {
namespace {

// The whole (small) file, or empty when it cannot be read.
std::string read_small(const std::string& path, std::size_t limit) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string out;
  char buf[4096];
  while (out.size() < limit) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return out;
}

bool all_digits(const char* s) {
  if (*s == '\0') return false;
  for (; *s != '\0'; ++s) {
    if (*s < '0' || *s > '9') return false;
  }
  return true;
}

}  // namespace

std::vector<ProcessEntry> list_processes(const std::string& proc_root) {
  std::vector<ProcessEntry> out;
  DIR* dir = ::opendir(proc_root.c_str());
  if (dir == nullptr) return out;
  while (dirent* e = ::readdir(dir)) {
    if (!all_digits(e->d_name)) continue;
    std::string stat = read_small(proc_root + "/" + e->d_name + "/stat", 4096);
    // "pid (comm) S ppid ...": the name may hold spaces and parentheses, so read after
    // the last ')'.
    std::size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 4 > stat.size()) continue;
    ProcessEntry p;
    p.pid = static_cast<pid_t>(std::atol(e->d_name));
    p.state = stat[close + 2];
    p.ppid = static_cast<pid_t>(std::atol(stat.c_str() + close + 4));
    out.push_back(p);
  }
  ::closedir(dir);
  return out;
}

std::vector<pid_t> descendants_of(const std::vector<ProcessEntry>& processes,
                                  const std::vector<pid_t>& roots) {
  std::multimap<pid_t, pid_t> children;
  for (const ProcessEntry& p : processes) children.emplace(p.ppid, p.pid);
  std::vector<pid_t> out, todo(roots.begin(), roots.end());
  std::set<pid_t> seen;
  while (!todo.empty()) {
    pid_t pid = todo.back();
    todo.pop_back();
    if (pid <= 0 || !seen.insert(pid).second) continue;
    out.push_back(pid);
    auto [b, e] = children.equal_range(pid);
    for (auto it = b; it != e; ++it) todo.push_back(it->second);
  }
  return out;
}

bool environment_has(const std::string& proc_root, pid_t pid, const std::string& marker) {
  std::string env = read_small(proc_root + "/" + std::to_string(pid) + "/environ", 1 << 20);
  std::size_t start = 0;
  while (start < env.size()) {
    std::size_t end = env.find('\0', start);
    if (end == std::string::npos) end = env.size();
    if (env.compare(start, end - start, marker) == 0) return true;
    start = end + 1;
  }
  return false;
}

void RecentPids::saw(const std::vector<pid_t>& pids, double now) {
  for (pid_t pid : pids) last_seen_[pid] = now;
  for (auto it = last_seen_.begin(); it != last_seen_.end();) {
    it = now - it->second > keep_s_ ? last_seen_.erase(it) : std::next(it);
  }
}

bool RecentPids::holds(pid_t pid, double now) const {
  auto it = last_seen_.find(pid);
  return it != last_seen_.end() && now - it->second <= keep_s_;
}

JobTree::JobTree(pid_t self, pid_t leader, std::string marker, std::string proc_root, Ports ports)
    : self_(self),
      leader_(leader),
      marker_(std::move(marker)),
      proc_root_(std::move(proc_root)),
      ports_(std::move(ports)) {}

std::vector<pid_t> JobTree::members() {
  std::vector<ProcessEntry> procs = list_processes(proc_root_);
  std::vector<pid_t> roots;
  std::set<pid_t> listed;
  for (const ProcessEntry& p : procs) {
    listed.insert(p.pid);
    if (p.ppid != self_ || p.pid == leader_) continue;
    if (p.state == 'Z') {
      // An exited process of the job that came to the monitor: reaped here, since nothing
      // else waits for it. Others' children are left to their owners.
      if (known_.count(p.pid) != 0 && ports_.reap(p.pid)) known_.erase(p.pid);
      continue;
    }
    if (known_.count(p.pid) != 0 || environment_has(proc_root_, p.pid, marker_)) {
      roots.push_back(p.pid);
    }
  }
  // Processes no longer listed were reaped by their own parents: a pid used again later
  // is not taken for the job's.
  for (auto it = known_.begin(); it != known_.end();) {
    it = listed.count(*it) != 0 ? std::next(it) : known_.erase(it);
  }
  std::map<pid_t, char> state;
  for (const ProcessEntry& p : procs) state[p.pid] = p.state;
  if (state.count(leader_) != 0 && state[leader_] != 'Z') roots.push_back(leader_);
  std::vector<pid_t> all = descendants_of(procs, roots);
  // Exited processes are nothing to signal.
  all.erase(std::remove_if(all.begin(), all.end(), [&](pid_t pid) { return state[pid] == 'Z'; }),
            all.end());
  for (pid_t pid : all) {
    if (pid != leader_) known_.insert(pid);
  }
  return all;
}

std::size_t JobTree::signal_all(int sig) {
  std::size_t reached = 0;
  for (pid_t pid : members()) {
    if (ports_.kill(pid, sig) == 0) ++reached;
  }
  return reached;
}

bool JobTree::end_all(double grace_s, double settle_s) {
  if (signal_all(SIGTERM) == 0) return true;
  double until = ports_.now() + grace_s;
  while (ports_.now() < until) {
    ports_.pause(0.05);
    if (members().empty()) return true;
  }
  signal_all(SIGKILL);
  until = ports_.now() + settle_s;
  while (true) {
    if (members().empty()) return true;
    if (ports_.now() >= until) return false;
    ports_.pause(0.02);
    signal_all(SIGKILL);  // a process forked meanwhile
  }
}

}  // namespace corvane::monitor
