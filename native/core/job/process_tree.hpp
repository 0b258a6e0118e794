// Every process of a job, wherever it put itself: launchers such as torchrun start their
// workers in sessions of their own, so the job's process group does not hold them. The
// monitor is the child subreaper of its job, so a worker whose parent exits is re-parented
// to the monitor rather than to init; such a process is known as the job's by the job's
// marker in its environment ("CORVANE_JOB_ID=job-..."), which every process of the job
// inherits.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace corvane::monitor {

struct ProcessEntry {
  pid_t pid = 0;
  pid_t ppid = 0;
  char state = '?';  // 'Z' for an exited process not yet reaped
};

// The processes under `proc_root` ("/proc"), read from each one's stat file; processes
// that go away meanwhile are skipped.
std::vector<ProcessEntry> list_processes(const std::string& proc_root);

// The descendants of each of `roots` (the roots included), in `processes`.
std::vector<pid_t> descendants_of(const std::vector<ProcessEntry>& processes,
                                  const std::vector<pid_t>& roots);

// Whether the environment file of `pid` holds `marker` as one of its entries.
bool environment_has(const std::string& proc_root, pid_t pid, const std::string& marker);

// The job's processes seen lately, each for `keep_s` after it was last seen: the kernel
// tells of a process (the OOM killer's line) only once it is gone.
class RecentPids {
 public:
  explicit RecentPids(double keep_s) : keep_s_(keep_s) {}
  void saw(const std::vector<pid_t>& pids, double now);
  bool holds(pid_t pid, double now) const;

 private:
  double keep_s_;
  std::map<pid_t, double> last_seen_;
};

class JobTree {
 public:
  struct Ports {
    std::function<int(pid_t, int)> kill;  // kill(2)
    std::function<bool(pid_t)> reap;      // waitpid(pid, WNOHANG) reaped it (or it is gone)
    std::function<void(double)> pause;    // sleeps this long (seconds)
    std::function<double()> now;          // a steady clock, seconds
  };
  JobTree(pid_t self, pid_t leader, std::string marker, std::string proc_root, Ports ports);

  // The job's live processes now: the leader's descendants and the processes re-parented
  // to the monitor that carry the job's marker or were seen as the job's before, with
  // theirs (the leader itself included while it runs). Exited processes of the job that
  // were re-parented to the monitor are reaped on the way.
  std::vector<pid_t> members();
  // Sends `sig` to every member; returns how many it reached.
  std::size_t signal_all(int sig);
  // Ends every member: SIGTERM, up to `grace_s` for them to go, then SIGKILL, then waits
  // (at most `settle_s`) until none is left. True when none is left.
  bool end_all(double grace_s, double settle_s);

 private:
  pid_t self_, leader_;
  std::string marker_, proc_root_;
  Ports ports_;
  std::set<pid_t> known_;  // the job's processes seen alive (the leader aside)
};

}  // namespace corvane::monitor
