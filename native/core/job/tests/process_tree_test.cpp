#include "../process_tree.hpp"

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace corvane::monitor {
namespace {

namespace fs = std::filesystem;

// A /proc of made-up processes: stat lines and environments. A process that exits becomes
// a zombie and its children go to the subreaper (pid 100), as the kernel does.
struct FakeProc {
  struct Entry {
    pid_t ppid;
    char state;
    std::string env;
  };
  fs::path root = fs::temp_directory_path() / ("corvane-proc-" + std::to_string(::getpid()));
  std::map<pid_t, Entry> table;
  FakeProc() { fs::create_directories(root); }
  ~FakeProc() { fs::remove_all(root); }
  void add(pid_t pid, pid_t ppid, char state = 'S', const std::string& env = "PATH=/bin") {
    table[pid] = {ppid, state, env};
    fs::create_directories(root / std::to_string(pid));
    std::ofstream(root / std::to_string(pid) / "stat")
        << pid << " (a (weird) name) " << state << " " << ppid << " 1 1 0 -1\n";
    std::ofstream(root / std::to_string(pid) / "environ") << env << '\0' << "HOME=/root" << '\0';
  }
  void exit(pid_t pid) {
    add(pid, table[pid].ppid, 'Z', "");
    for (auto& [child, e] : table) {
      if (e.ppid == pid && child != pid) add(child, 100, e.state, e.env);
    }
  }
  void remove(pid_t pid) {
    table.erase(pid);
    fs::remove_all(root / std::to_string(pid));
  }
};

TEST(JobTree, FindsTheJobWhereverItsProcessesWentAndEndsThem) {
  FakeProc proc;
  const std::string marker = "CORVANE_JOB_ID=job-1";
  proc.add(100, 1);                                 // the monitor
  proc.add(200, 100, 'S', marker);                  // the job (torchrun)
  proc.add(201, 200, 'S', marker);                  // a worker in a session of its own
  proc.add(300, 100, 'S', marker);                  // a worker whose parent exited: adopted
  proc.add(301, 300, 'S', marker);                  // and its child
  proc.add(400, 100, 'S', "CORVANE_JOB_ID=job-2");  // another job's: not ours
  proc.add(401, 100, 'Z');  // somebody else's exited child: never reaped here
  std::map<pid_t, std::vector<int>> sent;
  std::vector<pid_t> reaped;
  double clock = 0.0;
  JobTree tree(100, 200, marker, proc.root.string(),
               {[&](pid_t pid, int sig) {
                  sent[pid].push_back(sig);
                  // Everything but the stubborn worker 301 goes on SIGTERM.
                  if (sig == SIGKILL || pid != 301) proc.exit(pid);
                  return 0;
                },
                [&](pid_t pid) {
                  reaped.push_back(pid);
                  proc.remove(pid);
                  return true;
                },
                [&](double s) { clock += s; }, [&] { return clock; }});
  auto members = tree.members();
  std::sort(members.begin(), members.end());
  EXPECT_EQ(members, (std::vector<pid_t>{200, 201, 300, 301}));
  EXPECT_TRUE(tree.end_all(1.0, 1.0));
  for (pid_t pid : {200, 201, 300}) EXPECT_EQ(sent[pid], std::vector<int>{SIGTERM}) << pid;
  EXPECT_EQ(sent[301], (std::vector<int>{SIGTERM, SIGKILL}));
  EXPECT_EQ(sent.count(400), 0u);
  EXPECT_GE(clock, 1.0);  // the stubborn one had its grace
  // Exited processes that came to the monitor are reaped; the leader is its owner's to wait
  // for, and another's child is left alone.
  std::sort(reaped.begin(), reaped.end());
  EXPECT_EQ(reaped, (std::vector<pid_t>{201, 300, 301}));
}

}  // namespace
}  // namespace corvane::monitor
