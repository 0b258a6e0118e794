// The job's end on request: the first stop request passes its signal to the job's process
// group and gives the job its grace period to finish (its output is still read); a second
// request, or the end of the grace, kills the group. The job leads its own process group,
// so whatever it started goes with it. The caller sends the signals and tells the time.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace corvane::monitor {

// "SIGTERM", or "signal 99" for a number without a name.
std::string signal_name(int signum);

// One thing to do to the job's group, with the line that tells the user.
struct StopAction {
  int signum;  // SIGKILL to kill
  std::string message;
};

class StopSchedule {
 public:
  explicit StopSchedule(double grace_s) : grace_s_(grace_s) {}

  // `requests`: the stop requests counted so far, `signum` the latest one's signal, `now`
  // in seconds of a steady clock. What to do, in order, for what arrived since the last call.
  std::vector<StopAction> poll(unsigned requests, int signum, double now);
  // Ended the job's group from outside the schedule (an abandoned run).
  void mark_killed() { killed_ = true; }
  // The monitor itself ends the job (`reason`: "hang", "recovery"): `signum` now, the grace
  // period, then SIGKILL, as for a request from outside. Nothing when a stop is under way.
  std::vector<StopAction> stop_for(const std::string& reason, int signum, double now);

  bool requested() const { return seen_ > 0 || !reason_.empty(); }
  // Why the monitor ended the job itself; empty when it did not.
  const std::string& reason() const { return reason_; }
  bool killed() const { return killed_; }
  // Requested, not yet killed and past its grace: the runner's wait ends to kill it.
  bool grace_over(double now) const { return requested() && !killed_ && now >= deadline_; }
  // New requests since the last poll.
  bool pending(unsigned requests) const { return requests > seen_; }
  unsigned seen() const { return seen_; }
  int signum() const { return signum_; }
  double grace_s() const { return grace_s_; }

 private:
  double grace_s_;
  unsigned seen_ = 0;  // stop requests acted on
  int signum_ = 0;     // the first signal received
  bool killed_ = false;
  double deadline_ = 0.0;
  std::string reason_;
};

// After the job's own exit: ends what it left behind in its group. SIGTERM, then up to a
// second for the group to go, then SIGKILL. `alive` tells whether any of the group is left,
// `send` signals the group, `pause` waits a short while (seconds), `now` tells the time.
struct GroupControl {
  std::function<bool()> alive;
  std::function<void(int)> send;
  std::function<void(double)> pause;
  std::function<double()> now;
};
void end_leftovers(const GroupControl& group);

// How the job ended, in the registry: "completed", "failed", or "interrupted" by a signal.
struct JobEnd {
  const char* status;
  // For an interrupted job: the signal's name, and whether it was killed.
  std::optional<std::string> signal;
  bool killed = false;
  std::string stopped_for = {};  // the monitor ended a "failed" job itself: why
};
JobEnd job_end(bool exited_zero, const StopSchedule& stop);

}  // namespace corvane::monitor
