#include "stopper.hpp"

#include <signal.h>

#include <utility>

namespace corvane::monitor {

// The C library's own names (sigabbrev_np) arrived in glibc 2.32; the released wheel runs on
// 2.28, so the names are kept here.
std::string signal_name(int signum) {
  static const std::pair<int, const char*> kNames[] = {
      {SIGHUP, "HUP"},   {SIGINT, "INT"},       {SIGQUIT, "QUIT"}, {SIGILL, "ILL"},
      {SIGTRAP, "TRAP"}, {SIGABRT, "ABRT"},     {SIGBUS, "BUS"},   {SIGFPE, "FPE"},
      {SIGKILL, "KILL"}, {SIGUSR1, "USR1"},     {SIGSEGV, "SEGV"}, {SIGUSR2, "USR2"},
      {SIGPIPE, "PIPE"}, {SIGALRM, "ALRM"},     {SIGTERM, "TERM"}, {SIGSTKFLT, "STKFLT"},
      {SIGCHLD, "CHLD"}, {SIGCONT, "CONT"},     {SIGSTOP, "STOP"}, {SIGTSTP, "TSTP"},
      {SIGTTIN, "TTIN"}, {SIGTTOU, "TTOU"},     {SIGURG, "URG"},   {SIGXCPU, "XCPU"},
      {SIGXFSZ, "XFSZ"}, {SIGVTALRM, "VTALRM"}, {SIGPROF, "PROF"}, {SIGWINCH, "WINCH"},
      {SIGIO, "IO"},     {SIGPWR, "PWR"},       {SIGSYS, "SYS"}};
  for (const auto& [number, name] : kNames) {
    if (number == signum) return std::string("SIG") + name;
  }
  return "signal " + std::to_string(signum);
}

std::vector<StopAction> StopSchedule::poll(unsigned requests, int signum, double now) {
  std::vector<StopAction> actions;
  if (requests > seen_) {
    if (!requested()) {
      signum_ = signum;
      deadline_ = now + grace_s_;
      actions.push_back({signum, "[corvane] received " + signal_name(signum) +
                                     "; passing it to the job (" +
                                     std::to_string(static_cast<long long>(grace_s_)) +
                                     "s before it is killed)"});
    } else if (!killed_) {
      killed_ = true;
      actions.push_back({SIGKILL, "[corvane] second stop request; killing the job"});
    }
    seen_ = requests;
  }
  if (grace_over(now)) {
    killed_ = true;
    actions.push_back(
        {SIGKILL, "[corvane] the job did not stop within its grace period; killing it"});
  }
  return actions;
}

std::vector<StopAction> StopSchedule::stop_for(const std::string& reason, int signum, double now) {
  if (requested() || reason.empty()) return {};
  reason_ = reason;
  signum_ = signum;
  deadline_ = now + grace_s_;
  std::string why = reason == "hang" ? "the job made no progress beyond the hang timeout"
                                     : "ending the job for its " + reason;
  return {{signum, "[corvane] " + why + "; sending it " + signal_name(signum) + " (" +
                       std::to_string(static_cast<long long>(grace_s_)) +
                       "s before it is killed)"}};
}

void end_leftovers(const GroupControl& group) {
  if (!group.alive()) return;
  group.send(SIGTERM);
  double until = group.now() + 1.0;
  while (group.now() < until) {
    if (!group.alive()) return;
    group.pause(0.02);
  }
  group.send(SIGKILL);
}

JobEnd job_end(bool exited_zero, const StopSchedule& stop) {
  if (!stop.reason().empty()) {
    // A hung job failed; one ended for its restart was interrupted.
    return {stop.reason() == "hang" ? "failed" : "interrupted", signal_name(stop.signum()),
            stop.killed(), stop.reason()};
  }
  if (!stop.requested()) return {exited_zero ? "completed" : "failed", std::nullopt, false};
  return {"interrupted", signal_name(stop.signum()), stop.killed()};
}

}  // namespace corvane::monitor
