#include "wakeups.hpp"

#include <atomic>

namespace corvane::monitor {
namespace {

std::atomic<std::uint64_t> g_generation{0};
std::atomic<unsigned> g_stop_requests{0};
std::atomic<int> g_stop_signal{0};

}  // namespace

WakeupChannel& wakeup_channel() {
  static auto* channel = new WakeupChannel();  // never destroyed: threads may wake it at exit
  return *channel;
}

void wake_runners() {
  WakeupChannel& w = wakeup_channel();
  {
    std::lock_guard<std::mutex> lock(w.mutex);
    ++g_generation;
  }
  w.cv.notify_all();
}

std::uint64_t wake_generation() { return g_generation.load(); }

void request_stop(int signum) {
  g_stop_signal.store(signum);
  ++g_stop_requests;
  wake_runners();
}

unsigned stop_requests() { return g_stop_requests.load(); }
int stop_signal() { return g_stop_signal.load(); }
void release_stop_requests(unsigned acted_on) { g_stop_requests.fetch_sub(acted_on); }

}  // namespace corvane::monitor
