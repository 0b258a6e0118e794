#include "log_source.hpp"

#include <cxxabi.h>

#include <unordered_set>

#include "../output/line_splitter.hpp"

namespace corvane::monitor {

namespace {

constexpr std::size_t kReadBytes = std::size_t{1} << 16;
// Short readiness waits: a stop is seen within 0.1 s, and the job's end is not held up.
constexpr int kReadWaitMs = 100;
constexpr double kQuietStartSeconds = 1.0;

struct Follower {
  std::vector<std::string> argv;
  const char* label;
};

const Follower kFollowers[] = {{{"dmesg", "-w"}, "dmesg -w"},
                               {{"sudo", "-n", "dmesg", "-w"}, "sudo -n dmesg -w"}};
const char* const kReaders[] = {"dmesg", "sudo -n dmesg"};

// Reads the follower until the stop or the end of its output.
FollowEnd drain(const KernelLogPorts& ports, FollowerProcess& proc, const std::string& label) {
  LineSplitter splitter;
  LineBatch lines;
  std::vector<char> buffer(kReadBytes);
  bool printed = false, told = false;
  const double started = ports.now();
  while (!ports.stopped()) {
    long long n = proc.read(buffer.data(), buffer.size(), kReadWaitMs);
    // Told once the follower printed (the buffer as it stands comes at once) or has run a
    // second without failing (an empty buffer).
    if (!told && (n > 0 || ports.now() - started >= kQuietStartSeconds)) {
      told = true;
      ports.report_source(label);
    }
    if (n < 0) continue;
    if (n == 0) {
      splitter.finish(lines);
    } else {
      printed = true;
      splitter.feed(std::string_view(buffer.data(), static_cast<std::size_t>(n)), lines);
    }
    for (std::size_t i = 0; i < lines.size(); ++i) ports.take(lines.line(i));
    lines.clear();
    if (n == 0) {
      // The follower ended by itself. A failure (a kernel log restricted to root) is no
      // reason to stop watching: the next follower or polling may be allowed.
      std::optional<long long> status = proc.exit_status();
      if (status && *status != 0) return printed ? FollowEnd::kFailed : FollowEnd::kRefused;
      return FollowEnd::kEnded;
    }
  }
  return FollowEnd::kEnded;
}

// The tool's own words ("dmesg: read kernel buffer failed: ..."), else its status.
std::string refusal_of(const char* command, const LogRead& read) {
  for (const std::string& line : read.error_lines) {
    if (line.find_first_not_of(" \t") != std::string::npos) return line;
  }
  return std::string(command) + " exited with status " + read.status;
}

}  // namespace

FollowEnd follow_kernel_log(const KernelLogPorts& ports, const std::vector<std::string>& argv,
                            const std::string& label) {
  std::unique_ptr<FollowerProcess> proc = ports.start(argv);
  if (!proc) return FollowEnd::kNotStarted;
  try {
    return drain(ports, *proc, label);
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    return FollowEnd::kFailed;
  }
}

std::optional<std::string> stream_kernel_log(const KernelLogPorts& ports) {
  bool refused = false;
  for (const Follower& f : kFollowers) {
    FollowEnd end = follow_kernel_log(ports, f.argv, f.label);
    if (end == FollowEnd::kEnded) return std::nullopt;
    if (end == FollowEnd::kFailed) return std::string("dmesg -w failed");
    refused = refused || end == FollowEnd::kRefused;
    if (ports.stopped()) return std::nullopt;
  }
  return std::string(refused ? "dmesg -w not permitted" : "dmesg -w unavailable");
}

WholeRead read_kernel_log(const KernelLogPorts& ports) {
  WholeRead out;
  for (const char* command : kReaders) {
    LogRead read = ports.read_all(command);
    if (read.cancelled) {
      out.refusal.clear();
      return out;
    }
    if (read.succeeded) {
      out.lines = std::move(read.lines);
      return out;
    }
    if (!out.refusal.empty()) out.refusal += "; ";
    out.refusal += refusal_of(command, read);
  }
  return out;
}

void poll_kernel_log(const KernelLogPorts& ports, const std::string& why) {
  std::unordered_set<std::string> previous;
  bool readable = true, told_source = false, told_unavailable = false;
  // The first read comes at once: the buffer as it stands, and whether it can be read at all.
  do {
    // A failing poll must not end kernel-log watching for the rest of the job.
    ports.guarded("kernel-log poll failed", [&] {
      WholeRead read = read_kernel_log(ports);
      if (!read.lines) {
        if (read.refusal.empty()) return;  // stopped
        readable = false;
        if (!told_unavailable) {
          told_unavailable = true;
          ports.unavailable(read.refusal);
        }
        if (!told_source) {
          told_source = true;
          ports.report_source("unavailable: " + read.refusal);
        }
        return;
      }
      readable = true;
      if (!told_source) {
        told_source = true;
        ports.report_source("polling: " + why);
      }
      for (std::string& line : *read.lines) {
        if (!previous.insert(line).second) continue;
        ports.take(line);
      }
    });
  } while (!ports.wait(readable ? PollPace::kReadable : PollPace::kRefused));
}

void watch_kernel_log(const KernelLogPorts& ports) {
  std::optional<std::string> fall_back = std::string("dmesg -w failed");
  try {
    fall_back = stream_kernel_log(ports);
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
  }
  if (fall_back && !ports.stopped()) poll_kernel_log(ports, *fall_back);
}

}  // namespace corvane::monitor
