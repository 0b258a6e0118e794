#include "../log_source.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "../pci_index_map.hpp"

namespace corvane::monitor {
namespace {

// One scripted follower: chunks it prints (an empty chunk: nothing within the wait), then
// the end of its output with `status` (no end while `endless`).
struct Script {
  std::deque<std::string> chunks;
  std::optional<long long> status = 0;
  bool endless = false;
};

// A kernel log driven by scripts, with a clock that advances 0.1 s per read.
struct FakeLog {
  std::map<std::string, Script> followers;  // by argv[0] ("dmesg" or "sudo")
  std::map<std::string, LogRead> readers;   // by command
  std::vector<std::string> taken, told, unavailable, started, logged;
  double clock = 0.0;
  int polls_left = 1;   // waits before the stop
  int stop_after = -1;  // reads after which the watcher is stopped (-1: never)
  bool stop = false;
  std::vector<PollPace> paces;

  class Proc : public FollowerProcess {
   public:
    Proc(FakeLog& log, Script& script) : log_(log), script_(script) {}
    long long read(char* buffer, std::size_t size, int) override {
      log_.clock += 0.1;
      if (log_.stop_after >= 0 && log_.stop_after-- == 0) log_.stop = true;
      if (script_.chunks.empty()) return script_.endless ? -1 : 0;
      std::string chunk = script_.chunks.front();
      script_.chunks.pop_front();
      if (chunk.empty()) return -1;
      if (chunk == "!") throw std::runtime_error("read failed");
      std::memcpy(buffer, chunk.data(), std::min(size, chunk.size()));
      return static_cast<long long>(chunk.size());
    }
    std::optional<long long> exit_status() override { return script_.status; }

   private:
    FakeLog& log_;
    Script& script_;
  };

  KernelLogPorts ports() {
    KernelLogPorts p;
    p.start = [this](const std::vector<std::string>& argv) -> std::unique_ptr<FollowerProcess> {
      started.push_back(argv[0]);
      auto it = followers.find(argv[0]);
      if (it == followers.end()) return nullptr;
      return std::make_unique<Proc>(*this, it->second);
    };
    p.read_all = [this](const std::string& command) { return readers[command]; };
    p.stopped = [this] { return stop; };
    p.now = [this] { return clock; };
    p.wait = [this](PollPace pace) {
      paces.push_back(pace);
      return --polls_left < 0;
    };
    p.report_source = [this](const std::string& how) { told.push_back(how); };
    p.take = [this](std::string_view line) { taken.emplace_back(line); };
    p.unavailable = [this](const std::string& why) { unavailable.push_back(why); };
    p.guarded = [this](const char* what, const std::function<void()>& step) {
      try {
        step();
      } catch (std::exception& e) {
        logged.push_back(std::string(what) + ": " + e.what());
      }
    };
    return p;
  }
};

LogRead printed(std::vector<std::string> lines) {
  LogRead r;
  r.succeeded = true;
  r.status = "0";
  r.lines = std::move(lines);
  return r;
}

LogRead refused(std::string status, std::vector<std::string> errors) {
  LogRead r;
  r.status = std::move(status);
  r.error_lines = std::move(errors);
  return r;
}

TEST(KernelLogSource, FollowingTakesLinesAcrossChunksAndTellsItsSourceOnce) {
  FakeLog log;
  log.followers["dmesg"] = {{"NVRM: Xid (PCI:0000:3b:00): 79,", " pid\r\nsecond", "", "\nlast"}};
  watch_kernel_log(log.ports());
  EXPECT_EQ(log.taken,
            (std::vector<std::string>{"NVRM: Xid (PCI:0000:3b:00): 79, pid", "second", "last"}));
  EXPECT_EQ(log.told, std::vector<std::string>{"dmesg -w"});
  EXPECT_EQ(log.started, std::vector<std::string>{"dmesg"});  // it ended with status 0
}

TEST(KernelLogSource, AQuietFollowerIsToldAfterASecond) {
  FakeLog log;
  log.followers["dmesg"] = {{}, 0, true};
  log.stop_after = 30;  // three seconds of empty waits
  watch_kernel_log(log.ports());
  EXPECT_EQ(log.told, std::vector<std::string>{"dmesg -w"});
  EXPECT_TRUE(log.taken.empty());
}

struct FallBack {
  const char* name;
  std::map<std::string, Script> followers;
  std::vector<std::string> started;
  std::string told;
};

void PrintTo(const FallBack& f, std::ostream* os) { *os << f.name; }

class KernelLogFallBack : public ::testing::TestWithParam<FallBack> {};

TEST_P(KernelLogFallBack, PollingSaysWhyFollowingWasGivenUp) {
  FakeLog log;
  log.followers = GetParam().followers;
  log.readers["dmesg"] = printed({"a", "b"});
  watch_kernel_log(log.ports());
  EXPECT_EQ(log.started, GetParam().started);
  ASSERT_FALSE(log.told.empty());
  EXPECT_EQ(log.told.back(), GetParam().told);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KernelLogFallBack,
    ::testing::Values(
        FallBack{"NotInstalled", {}, {"dmesg", "sudo"}, "polling: dmesg -w unavailable"},
        FallBack{"Refused",
                 {{"dmesg", {{}, 1}}, {"sudo", {{}, 1}}},
                 {"dmesg", "sudo"},
                 "polling: dmesg -w not permitted"},
        FallBack{"FailedAfterPrinting",
                 {{"dmesg", {{"x\n"}, 1}}},
                 {"dmesg"},
                 "polling: dmesg -w failed"},
        FallBack{"ReadError", {{"dmesg", {{"x\n", "!"}}}}, {"dmesg"}, "polling: dmesg -w failed"},
        FallBack{"SudoFollows",
                 {{"dmesg", {{}, 1}}, {"sudo", {{"y\n"}}}},
                 {"dmesg", "sudo"},
                 "sudo -n dmesg -w"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(KernelLogSource, PollingTakesEachLineOnceAndKeepsItsPace) {
  FakeLog log;
  log.readers["dmesg"] = printed({"one", "two", "one"});
  log.polls_left = 2;
  poll_kernel_log(log.ports(), "dmesg -w failed");
  EXPECT_EQ(log.taken, (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(log.told, std::vector<std::string>{"polling: dmesg -w failed"});
  EXPECT_EQ(log.paces, std::vector<PollPace>(3, PollPace::kReadable));
}

TEST(KernelLogSource, ARefusedLogIsUnavailableOnceWithBothReasonsAndPolledSlowly) {
  FakeLog log;
  log.readers["dmesg"] = refused("1", {"", "  ", "dmesg: read kernel buffer failed"});
  log.readers["sudo -n dmesg"] = refused("-13", {});
  log.polls_left = 1;
  poll_kernel_log(log.ports(), "dmesg -w not permitted");
  const std::string why = "dmesg: read kernel buffer failed; sudo -n dmesg exited with status -13";
  EXPECT_EQ(log.unavailable, std::vector<std::string>{why});
  EXPECT_EQ(log.told, std::vector<std::string>{"unavailable: " + why});
  EXPECT_EQ(log.paces, std::vector<PollPace>(2, PollPace::kRefused));
}

TEST(KernelLogSource, AStopDuringAReadTellsNothingAndAFailedPollIsLogged) {
  FakeLog log;
  log.readers["dmesg"].cancelled = true;
  poll_kernel_log(log.ports(), "x");
  EXPECT_TRUE(log.told.empty() && log.unavailable.empty());
  EXPECT_EQ(log.paces.front(), PollPace::kReadable);

  FakeLog failing;
  auto ports = failing.ports();
  ports.read_all = [](const std::string&) -> LogRead { throw std::runtime_error("no shell"); };
  poll_kernel_log(ports, "x");
  EXPECT_EQ(failing.logged, std::vector<std::string>(2, "kernel-log poll failed: no shell"));
}

TEST(PciIndexMap, TheKernelsShortDomainFindsTheToolsAddress) {
  PciIndexMap map;
  map.add("3b:00.0", 0);
  map.add("9:01:00.0", 1);
  map.add("0000:5e:00.0", std::nullopt);
  map.add("5e:00.0", 2);
  map.add("3b:00.0", 3);  // the same address again: its new slot
  EXPECT_EQ(map.size(), 4u);
  EXPECT_EQ(map.find("0000:3b:00.0"), std::optional<std::size_t>(3));
  EXPECT_EQ(map.find("0009:01:00.0"), std::optional<std::size_t>(1));
  EXPECT_EQ(map.find("0000:5e:00.0"), std::nullopt);  // the first of its identity has none
  EXPECT_EQ(map.find("5e:00.0"), std::optional<std::size_t>(2));
  EXPECT_EQ(map.find("0000:af:00.0"), std::nullopt);
}

}  // namespace
}  // namespace corvane::monitor
