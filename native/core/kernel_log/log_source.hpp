// Where the kernel-log watcher reads from, and when it changes: it follows the log with
// `dmesg -w` (then `sudo -n dmesg -w`); where following is refused or fails it polls the
// whole log with `dmesg` (then `sudo -n dmesg`), taking only lines it has not seen. Starting
// commands, reading them, waiting and telling are injected, so tests drive every path.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::monitor {

// A follower command that was started. Destroying it ends and reaps it.
class FollowerProcess {
 public:
  virtual ~FollowerProcess() = default;
  // Reads what it printed, waiting at most `timeout_ms`: the byte count, 0 at the end of
  // its output, -1 when nothing came in time.
  virtual long long read(char* buffer, std::size_t size, int timeout_ms) = 0;
  // Its exit status after its output ended; nullopt when it did not end in time.
  virtual std::optional<long long> exit_status() = 0;
};

// One run of a command that reads the whole log, given this long to finish.
inline constexpr double kWholeReadTimeoutSeconds = 15.0;
struct LogRead {
  bool cancelled = false;                // the watcher was stopped while it ran
  bool succeeded = false;                // exit status 0
  std::string status;                    // the exit status as text
  std::vector<std::string> lines;        // its output, when it succeeded
  std::vector<std::string> error_lines;  // what it wrote to its error stream
};

// How often the whole log is read again: a readable log every few seconds, one that is
// refused (two refused commands each time) only once a minute.
enum class PollPace { kReadable, kRefused };

struct KernelLogPorts {
  // Starts a follower; nullptr when it cannot be started.
  std::function<std::unique_ptr<FollowerProcess>(const std::vector<std::string>& argv)> start;
  // Runs a shell command that prints the whole log.
  std::function<LogRead(const std::string& command)> read_all;
  std::function<bool()> stopped;
  std::function<double()> now;  // seconds of a steady clock
  // Waits one poll period; true once the watcher is stopped.
  std::function<bool(PollPace)> wait;
  // Tells once what the watcher reads: "dmesg -w", "polling: <why>", "unavailable: <why>".
  std::function<void(const std::string& how)> report_source;
  // Handles one line of the log (errors are its own).
  std::function<void(std::string_view line)> take;
  // The log cannot be read at all (said once, with why).
  std::function<void(const std::string& reason)> unavailable;
  // Runs one poll so that an error ends only that poll, logged under `what`.
  std::function<void(const char* what, const std::function<void()>& step)> guarded;
};

// How one follower run ended.
enum class FollowEnd {
  kNotStarted,  // the command could not be started
  kRefused,     // it failed before printing anything (a kernel log restricted to root)
  kEnded,       // stopped, or its output ended with status 0
  kFailed,      // it failed after printing, or reading it failed
};

// Runs one follower until the stop, the end of its output or an error. `label` is told as
// the source once it printed or has run a second without failing.
FollowEnd follow_kernel_log(const KernelLogPorts& ports, const std::vector<std::string>& argv,
                            const std::string& label);

// Follows with each follower in turn. Why the watcher goes on by polling, or nothing when
// following ended normally.
std::optional<std::string> stream_kernel_log(const KernelLogPorts& ports);

// One read of the whole log with each reader in turn: its lines, or nothing with why
// neither could read it (`refusal` empty when stopped meanwhile).
struct WholeRead {
  std::optional<std::vector<std::string>> lines;
  std::string refusal;
};
WholeRead read_kernel_log(const KernelLogPorts& ports);

// Polls until stopped; `why` says why following was given up.
void poll_kernel_log(const KernelLogPorts& ports, const std::string& why);

// The watcher's whole life: follow, and poll where following is not possible.
void watch_kernel_log(const KernelLogPorts& ports);

}  // namespace corvane::monitor
