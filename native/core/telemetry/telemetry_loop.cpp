#include "telemetry_loop.hpp"

#include <stdexcept>
#include <tuple>

#include "../job/checks.hpp"
#include "../kernel_log/kernel_findings.hpp"
#include "../kernel_log/line_scan.hpp"

namespace corvane::monitor {

Finding TelemetryLoop::unavailable() {
  return unavailable_finding(host_.tool_failure(), host_.has_nvml_binding());
}

void TelemetryLoop::run() {
  if (!start()) return;
  while (!host_.stopped()) {
    host_.clear_tool_failure();
    host_.step("GPU telemetry poll failed", [&] { poll(); });
    if (rules_.hang_to_report(host_.tool_failure(), host_.stopped())) {
      host_.append(unavailable(), std::nullopt);
    }
    if (wait()) break;
  }
  host_.close_gpu_events();
  if (backend_ == Backend::kNvml) host_.shutdown_nvml();
}

// Chooses the backend and announces it; false when there is nothing to poll.
bool TelemetryLoop::start() {
  mode_ = host_.choose_backend();
  backend_ = backend_named(mode_);
  // An inventory or profile that cannot be had leaves the count unknown and the links
  // probed at their default; watching goes on.
  std::size_t inventory = 0;
  host_.step("GPU inventory unavailable", [&] { inventory = host_.read_inventory().value_or(0); });
  host_.step("GPU profile unavailable", [&] {
    std::tie(thresholds_.expected_pcie_gen, thresholds_.expected_pcie_width) =
        host_.choose_link_probe();
  });
  host_.step("watched sources not told", [&] { report_sources(); });
  if (backend_ == Backend::kNone) {
    if (TelemetryWatchRules::report_no_backend(host_.tool_failure().has_value(), host_.stopped())) {
      host_.append(unavailable(), std::nullopt);
    }
    return false;
  }
  baseline_ = inventory;
  std::size_t synthetic = backend_ == Backend::kInjected ? host_.backend_gpus() : 0;
  host_.append(ready_finding(mode_, baseline_, synthetic), std::nullopt);
  rules_.attached(host_.clock());
  return true;
}

// What the "watching:" line says of telemetry and GPU events; GPU events first, so the
// line, printed once telemetry has spoken, has them.
void TelemetryLoop::report_sources() {
  std::size_t gpus = 0;
  if (backend_ != Backend::kNone && backend_ != Backend::kOther) {
    if (backend_ == Backend::kNvml) host_.report_source("gpu events", host_.open_gpu_events());
    gpus = host_.backend_gpus();
  }
  host_.report_source("telemetry", telemetry_source_text(backend_, gpus, host_.tool_failure(),
                                                         host_.has_nvml_binding()));
}

void TelemetryLoop::poll() {
  // With NVML the runner takes the GPU count from here instead of running the tool.
  if (backend_ == Backend::kNvml) host_.report_gpu_count();
  host_.step("network port poll failed", [&] {
    for (Finding& f : ports_.poll()) host_.append(f, std::nullopt);
  });
  std::size_t n = host_.read_snapshots();
  if (n == 0) return;
  double now = host_.clock();
  std::optional<bool> running = host_.job_running();
  bool active = job_is_active(running, now, running ? 0.0 : host_.last_output_at(), rules_.poll());
  host_.send_metrics();
  // One snapshot that cannot be read is left out; the other GPUs are still watched.
  for (std::size_t i = 0; i < n; ++i) {
    host_.step("GPU telemetry poll failed for one GPU", [&] { detect(i, active); });
  }
  host_.step("injected Xid events not reported", [&] { injected_xids(); });
  for (std::string& line : host_.pending_injected_kernel_lines()) {
    host_.step("injected kernel line skipped", [&] { injected_kernel_line(std::move(line)); });
  }
  if (rules_.count_check_due(now)) check_count();
}

// An injected kernel line is reported as the kernel-log watcher reports the real one.
void TelemetryLoop::injected_kernel_line(std::string line) {
  const char* space = " \t\r\n";
  line.erase(line.find_last_not_of(space) + 1);
  line.erase(0, line.find_first_not_of(space));
  KernelLineScan scan = scan_kernel_line(line);
  std::optional<Finding> finding = kernel_line_finding(scan, line);
  if (!finding) {
    throw std::invalid_argument(
        "it is no SXid, OOM-kill or PCIe AER line (an Xid is injected "
        "with \"xid\"): " +
        line);
  }
  finding->details.push_back({"injected", DetailValue::flag(true)});
  host_.append(*finding, std::nullopt);
}

void TelemetryLoop::check_count() {
  std::optional<std::size_t> count = host_.read_inventory();
  if (!count) return;
  if (auto shrank = inventory_check(baseline_, *count, false)) host_.append(*shrank, std::nullopt);
}

// Waits one poll period for the stop event, watching the GPU events meanwhile. True when
// stopped.
bool TelemetryLoop::wait() {
  if (!host_.gpu_events_active()) return host_.wait_for_stop(rules_.poll());
  const double deadline = host_.monotonic() + rules_.poll();
  for (;;) {
    if (host_.stopped()) return true;
    double left = deadline - host_.monotonic();
    if (left <= 0) return false;
    host_.wait_gpu_events(TelemetryWatchRules::event_slice(left));
  }
}

void TelemetryLoop::detect(std::size_t i, bool active) {
  SnapshotState state = host_.snapshot_state(i);
  if (state.gpu_lost) {
    host_.append(lost_gpu_finding(state.index, state.injected), i);
    return;
  }
  if (state.query_error) return;
  GpuSample sample = host_.sample(i, state.index);
  for (const auto& f : detectors_.run(sample, active, rules_.poll(), thresholds_)) {
    host_.append(describe(f, sample, thresholds_.warn_temp, state.injected), i);
  }
}

// Injected Xid events. Where NVML events are watched they take that path, as a real Xid
// comes; elsewhere there is no driver event path, so they become findings here, as the
// driver's own would.
void TelemetryLoop::injected_xids() {
  std::vector<std::string> due = host_.pending_injected_xids();
  for (std::size_t k = 0; k < due.size(); ++k) {
    if (host_.gpu_events_active()) {
      host_.injected_xid_event(k);
    } else {
      host_.injected_xid_finding(k, injected_xid_summary(due[k]));
    }
  }
}

}  // namespace corvane::monitor
