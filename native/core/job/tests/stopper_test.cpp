#include "../stopper.hpp"

#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "../wakeups.hpp"

namespace corvane::monitor {
namespace {

std::vector<int> signals_of(const std::vector<StopAction>& actions) {
  std::vector<int> out;
  for (const auto& a : actions) out.push_back(a.signum);
  return out;
}

TEST(StopSchedule, FirstRequestPassesItsSignalSecondOrGraceEndKills) {
  StopSchedule stop(30.0);
  EXPECT_TRUE(stop.poll(0, 0, 100.0).empty());
  auto first = stop.poll(1, SIGTERM, 100.0);
  ASSERT_EQ(signals_of(first), std::vector<int>{SIGTERM});
  EXPECT_EQ(first[0].message,
            "[corvane] received SIGTERM; passing it to the job (30s before it is killed)");
  EXPECT_TRUE(stop.poll(1, SIGTERM, 129.9).empty());  // nothing new, still in its grace
  EXPECT_FALSE(stop.grace_over(129.9));

  StopSchedule twice = stop;
  auto second = twice.poll(2, SIGINT, 110.0);
  ASSERT_EQ(signals_of(second), std::vector<int>{SIGKILL});
  EXPECT_EQ(second[0].message, "[corvane] second stop request; killing the job");
  EXPECT_TRUE(twice.poll(3, SIGINT, 200.0).empty());  // killed once only

  EXPECT_TRUE(stop.grace_over(130.0));
  auto late = stop.poll(1, SIGTERM, 130.0);
  ASSERT_EQ(signals_of(late), std::vector<int>{SIGKILL});
  EXPECT_EQ(late[0].message, "[corvane] the job did not stop within its grace period; killing it");
  EXPECT_EQ(stop.signum(), SIGTERM);
  EXPECT_TRUE(stop.killed());
}

TEST(StopSchedule, RequestsTogetherCountAsTheFirstAndNoGraceKillsAtOnce) {
  StopSchedule stop(30.0);
  EXPECT_EQ(signals_of(stop.poll(2, SIGHUP, 0.0)), std::vector<int>{SIGHUP});
  EXPECT_EQ(stop.seen(), 2u);
  StopSchedule none(0.0);
  EXPECT_EQ(signals_of(none.poll(1, SIGINT, 5.0)), (std::vector<int>{SIGINT, SIGKILL}));
}

TEST(JobEnd, StatusFromExitAndStopRequests) {
  StopSchedule idle(30.0);
  EXPECT_STREQ(job_end(true, idle).status, "completed");
  EXPECT_STREQ(job_end(false, idle).status, "failed");
  EXPECT_FALSE(job_end(false, idle).signal);
  StopSchedule stopped(30.0);
  stopped.poll(1, SIGTERM, 0.0);
  JobEnd end = job_end(true, stopped);
  EXPECT_STREQ(end.status, "interrupted");
  EXPECT_EQ(end.signal, "SIGTERM");
  EXPECT_FALSE(end.killed);
  stopped.poll(2, SIGTERM, 1.0);
  EXPECT_TRUE(job_end(false, stopped).killed);
  EXPECT_EQ(signal_name(0), "signal 0");

  // The monitor ends a hung job itself: it failed; a later request kills it at once.
  StopSchedule hang(5.0);
  auto term = hang.stop_for("hang", SIGTERM, 10.0);
  ASSERT_EQ(signals_of(term), std::vector<int>{SIGTERM});
  EXPECT_EQ(term[0].message,
            "[corvane] the job made no progress beyond the hang timeout; sending it SIGTERM (5s "
            "before it is killed)");
  EXPECT_TRUE(hang.stop_for("recovery", SIGTERM, 11.0).empty());  // already stopping
  EXPECT_EQ(signals_of(hang.poll(0, 0, 15.0)), std::vector<int>{SIGKILL});
  end = job_end(false, hang);
  EXPECT_STREQ(end.status, "failed");
  EXPECT_EQ(end.stopped_for, "hang");
  StopSchedule restart(5.0);
  restart.stop_for("recovery", SIGTERM, 0.0);
  EXPECT_EQ(signals_of(restart.poll(1, SIGINT, 1.0)), std::vector<int>{SIGKILL});
  EXPECT_STREQ(job_end(true, restart).status, "interrupted");
}

// A group that leaves after `leaves_after` seconds of a clock that moves only in pauses.
struct FakeGroup {
  explicit FakeGroup(double leaves, bool alive = true)
      : leaves_after(leaves), started_alive(alive) {}
  double clock = 0.0;
  double leaves_after;
  bool started_alive;
  std::vector<int> sent;
  GroupControl control() {
    return {[this] { return started_alive && clock < leaves_after; },
            [this](int s) { sent.push_back(s); }, [this](double s) { clock += s; },
            [this] { return clock; }};
  }
};

TEST(EndLeftovers, TermThenKillOnlyWhatStaysPastASecond) {
  FakeGroup gone(0.0, false);
  end_leftovers(gone.control());
  EXPECT_TRUE(gone.sent.empty());
  FakeGroup leaves(0.5);
  end_leftovers(leaves.control());
  EXPECT_EQ(leaves.sent, std::vector<int>{SIGTERM});
  FakeGroup stays(1e9);
  end_leftovers(stays.control());
  EXPECT_EQ(stays.sent, (std::vector<int>{SIGTERM, SIGKILL}));
  EXPECT_GE(stays.clock, 1.0);
}

TEST(StopRequests, PendingUntilReleasedAndEachWakesTheRunners) {
  unsigned before = stop_requests();
  auto generation = wake_generation();
  request_stop(SIGHUP);
  request_stop(SIGTERM);
  EXPECT_EQ(stop_requests(), before + 2);
  EXPECT_EQ(stop_signal(), SIGTERM);
  EXPECT_GE(wake_generation(), generation + 2);
  release_stop_requests(2);
  EXPECT_EQ(stop_requests(), before);
}

}  // namespace
}  // namespace corvane::monitor
