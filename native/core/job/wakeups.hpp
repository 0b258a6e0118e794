// What the runners' waits wake on, and the stop requests of the command line's signal
// handlers. Process-wide; any thread, no locks held by callers.
#pragma once

#include <chrono>
#include <cstdint>

namespace corvane::monitor {

// Wakes every runner's wait: a finding was appended (it is delivered at once, not at the
// next loop period), a job's output ended, a source reported, or a stop was requested.
void wake_runners();

// Counts every wake-up; a runner remembers the count at its last delivery.
std::uint64_t wake_generation();

// Blocks until `until`, or until a wake-up after which `woken()` is true (spurious
// wake-ups do not end it).
template <class Pred>
void wait_for_wake(std::chrono::steady_clock::time_point until, Pred woken);

// Stop requests (SIGTERM, SIGHUP, SIGINT from the command line, or a Ctrl-C caught by the
// runner). They stay pending until a running job takes them, so one that arrives during a
// job's setup counts.
void request_stop(int signum);
unsigned stop_requests();
int stop_signal();
// Requests a job acted on are used up; later jobs start clean.
void release_stop_requests(unsigned acted_on);

}  // namespace corvane::monitor

#include <condition_variable>
#include <mutex>

namespace corvane::monitor {

struct WakeupChannel {
  std::mutex mutex;
  std::condition_variable cv;
};
WakeupChannel& wakeup_channel();

template <class Pred>
void wait_for_wake(std::chrono::steady_clock::time_point until, Pred woken) {
  WakeupChannel& w = wakeup_channel();
  std::unique_lock<std::mutex> lock(w.mutex);
  w.cv.wait_until(lock, until, woken);
}

}  // namespace corvane::monitor
