// What the telemetry thread decides between its host calls: which backend it reports,
// when a job counts as active, when the GPU count is checked, and what it says when there
// is no telemetry.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "finding_texts.hpp"

namespace corvane::monitor {

// The backends as the host names them: "nvml", "shell", "injected" (the synthetic GPUs of a
// rehearsal) or "none"; a name it does not know is kOther, polled but not described.
enum class Backend { kNvml, kShell, kInjected, kNone, kOther };
Backend backend_named(std::string_view name);

// Where one poll's snapshots come from. A rehearsal's synthetic GPUs are polled only while
// injection is on; a backend the host does not know gives none.
enum class SnapshotSource { kNvml, kTool, kSynthetic, kNone };
SnapshotSource snapshot_source(Backend backend, bool injection_on);

// A tool call that gave no usable answer.
struct ToolFailureText {
  std::string tool, reason;
  bool timed_out = false;
};

// The poll period: the configured interval (5 s by default), at least one second.
inline constexpr double kDefaultPollSeconds = 5.0;
double poll_period(double configured);

// Whether a job counts as active: its running flag where the runner keeps one, else output
// within the last six polls (at least 15 s).
bool job_is_active(std::optional<bool> running, double now, double last_output_at,
                   double poll_period);

// "1 GPU", "8 GPUs".
std::string gpus_text(std::size_t n);

// Why there is no telemetry: the failed tool call, else what was missing.
std::string unavailable_reason(const std::optional<ToolFailureText>& failure,
                               bool has_nvml_binding);

// What the "watching:" line says of telemetry.
std::string telemetry_source_text(Backend backend, std::size_t gpus,
                                  const std::optional<ToolFailureText>& failure,
                                  bool has_nvml_binding);

// The "telemetry_unavailable" finding.
Finding unavailable_finding(const std::optional<ToolFailureText>& failure, bool has_nvml_binding);

// The "telemetry_ready" finding: synthetic GPUs are counted as declared, real ones by the
// inventory (0: unknown).
Finding ready_finding(std::string_view backend, std::size_t inventory_count,
                      std::size_t synthetic_count);

// The summary format of an injected Xid where no NVML event path takes it (the Xid's code
// and description fill the "{}").
std::string injected_xid_summary(std::string_view gpu);

// The loop's schedule and its once-only reports.
class TelemetryWatchRules {
 public:
  TelemetryWatchRules(double poll_period, bool structural)
      : poll_(poll_period), structural_(structural) {}

  double poll() const { return poll_; }
  // Waiting for GPU events between polls: in slices, so a stop is seen promptly.
  static constexpr double kEventSliceSeconds = 0.25;
  static double event_slice(double left) {
    return left < kEventSliceSeconds ? left : kEventSliceSeconds;
  }

  // No backend at the start: a tool stopped before it answered (the job ended first) says
  // nothing about the GPUs, so only a failure or a live job gets the finding.
  static bool report_no_backend(bool tool_failed, bool stopped) { return tool_failed || !stopped; }

  // The backend attached at `now`; the GPU count is checked a minute later and each minute.
  void attached(double now) { last_count_check_ = now; }
  bool count_check_due(double now);

  // A tool that hung past its time-out is said once: telemetry has a gap from then on.
  bool hang_to_report(const std::optional<ToolFailureText>& failure, bool stopped);

 private:
  double poll_;
  bool structural_;
  double last_count_check_ = 0.0;
  bool hang_reported_ = false;
};

}  // namespace corvane::monitor
