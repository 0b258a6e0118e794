#include "pipe_reader.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>

namespace corvane::monitor {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kQuietAfterStop = std::chrono::milliseconds(100);
constexpr auto kDrainBound = std::chrono::milliseconds(1500);

}  // namespace

int read_pipe(int fd, const std::atomic<bool>& stop, const BatchSink& deliver) {
  if (fd < 0) return EBADF;  // poll() would wait on it forever
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  LineSplitter splitter;
  LineBatch lines;
  std::vector<OutputLineScan> scans;
  std::vector<char> buffer(1 << 16);
  Clock::time_point stop_seen{};
  bool stopping = false, eof = false;
  int read_errno = 0;
  while (!eof) {
    if (!stopping && stop.load()) {
      stopping = true;
      stop_seen = Clock::now();
    }
    if (stopping && Clock::now() - stop_seen > kDrainBound) break;
    pollfd pfd{fd, POLLIN, 0};
    int ready = ::poll(&pfd, 1, stopping ? static_cast<int>(kQuietAfterStop.count()) : 100);
    if (ready < 0 && errno != EINTR) {
      read_errno = errno;
      break;
    }
    if (ready == 0) {
      if (stopping) break;  // quiet since the stop: whatever holds the pipe isn't the job
      continue;
    }
    if (ready < 0) continue;
    ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      eof = true;
    } else if (n == 0) {
      eof = true;
    } else {
      splitter.feed(std::string_view(buffer.data(), static_cast<std::size_t>(n)), lines);
    }
    if (eof) splitter.finish(lines);
    if (lines.empty()) continue;
    scans.clear();
    for (std::size_t i = 0; i < lines.size(); ++i) scans.push_back(scan_output_line(lines.line(i)));
    deliver(lines, scans);
    lines.clear();
  }
  return read_errno;
}

std::size_t entries_to_drop(std::size_t size, long long max_entries, bool exact) {
  if (max_entries < 0) return 0;
  auto bound = static_cast<std::size_t>(max_entries);
  std::size_t slack = exact ? 0 : std::max<std::size_t>(bound / 4, 1024);
  return size > bound + slack ? size - bound : 0;
}

std::size_t KeptBytes::drop(std::size_t at_least, bool exact) {
  std::size_t n = std::min(at_least, sizes_.size());
  std::size_t total = total_;
  for (std::size_t i = 0; i < n; ++i) total -= sizes_[i];
  if (total > budget_ + (exact ? 0 : budget_ / 4)) {
    while (n < sizes_.size() && total > budget_) total -= sizes_[n++];
  }
  sizes_.erase(sizes_.begin(), sizes_.begin() + static_cast<std::ptrdiff_t>(n));
  total_ = total;
  return n;
}

bool is_utf8_name(std::string_view encoding) {
  std::string folded;
  for (char c : encoding) {
    if (c == '-' || c == '_') continue;
    folded += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  return folded == "utf8";
}

}  // namespace corvane::monitor
