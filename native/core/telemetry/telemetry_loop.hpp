// The telemetry thread's loop: choose a backend and announce it, then poll every GPU each
// period, run the detectors, report injected Xids and check the GPU count, waiting on the
// GPU events between polls. Every host service (NVML, the tool, the clock, the findings
// list) comes through TelemetryHost, so the loop runs the same under a test's fakes.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "detectors.hpp"
#include "finding_texts.hpp"
#include "network_ports.hpp"
#include "watch_rules.hpp"

namespace corvane::monitor {

// What a snapshot says about itself before its readings are read.
struct SnapshotState {
  std::int64_t index = -1;
  bool injected = false;     // fault injection supplied or changed it; its findings say so
  bool gpu_lost = false;     // NVML lost the GPU
  bool query_error = false;  // the GPU could not be read this poll
};

class TelemetryHost {
 public:
  virtual ~TelemetryHost() = default;

  // Runs one step; an error of the host ends only that step and is logged as
  // "<what>: <error>".
  virtual void step(const char* what, const std::function<void()>& fn) = 0;
  virtual bool stopped() = 0;
  virtual bool wait_for_stop(double seconds) = 0;  // true when stopped
  virtual double clock() = 0;                      // the telemetry clock (seconds)
  virtual double monotonic() = 0;                  // for waits (seconds)

  // The backend's name ("nvml", "shell", "injected", "none"), chosen by the host.
  virtual std::string choose_backend() = 0;
  // The GPUs the backend found (NVML handles, or the first snapshots).
  virtual std::size_t backend_gpus() = 0;
  // The GPU inventory's size; nothing when the tool gave no answer in time.
  virtual std::optional<std::size_t> read_inventory() = 0;
  // Picks the NVLink links to probe from the GPU profile (of the last inventory read), and
  // gives the PCIe link the profile expects (generation, width; 0 where not known).
  virtual std::pair<std::int64_t, std::int64_t> choose_link_probe() = 0;
  virtual bool has_nvml_binding() = 0;
  virtual std::optional<ToolFailureText> tool_failure() = 0;
  virtual void clear_tool_failure() = 0;
  virtual void report_source(const std::string& source, const std::string& how) = 0;
  virtual void report_gpu_count() = 0;
  virtual void shutdown_nvml() = 0;

  // NVML's GPU events: open (what the "watching:" line says of them), wait, close.
  virtual std::string open_gpu_events() = 0;
  virtual bool gpu_events_active() = 0;
  virtual void wait_gpu_events(double seconds) = 0;
  virtual void close_gpu_events() = 0;

  // One poll's snapshots, kept by the host; how many there are.
  virtual std::size_t read_snapshots() = 0;
  virtual SnapshotState snapshot_state(std::size_t i) = 0;
  virtual GpuSample sample(std::size_t i, std::int64_t index) = 0;
  virtual void send_metrics() = 0;
  virtual std::optional<bool> job_running() = 0;  // nothing where the runner keeps no flag
  virtual double last_output_at() = 0;

  // Injected Xids that came due: their GPUs as the rules name them (the host keeps the
  // codes). One goes through the NVML event path as the driver's own, or becomes a finding
  // with `summary`.
  virtual std::vector<std::string> pending_injected_xids() = 0;
  virtual void injected_xid_event(std::size_t k) = 0;
  virtual void injected_xid_finding(std::size_t k, const std::string& summary) = 0;
  // Injected kernel-log lines that came due (an SXid, an OOM kill, a PCIe AER report).
  virtual std::vector<std::string> pending_injected_kernel_lines() = 0;

  // A finding; `snapshot` names the snapshot whose fields and link keys its details use.
  virtual void append(const Finding& finding, std::optional<std::size_t> snapshot) = 0;
};

class TelemetryLoop {
 public:
  TelemetryLoop(TelemetryHost& host, double poll_interval, bool structural,
                const Thresholds& thresholds)
      : host_(host), rules_(poll_period(poll_interval), structural), thresholds_(thresholds) {}

  void run();

 private:
  bool start();
  void report_sources();
  void poll();
  bool wait();
  void detect(std::size_t i, bool active);
  void injected_xids();
  void injected_kernel_line(std::string line);
  void check_count();
  Finding unavailable();

  TelemetryHost& host_;
  TelemetryWatchRules rules_;
  Thresholds thresholds_;
  TelemetryDetectors detectors_;
  NetworkPortWatch ports_{network_root()};
  std::string mode_;
  Backend backend_ = Backend::kNone;
  std::size_t baseline_ = 0;
};

}  // namespace corvane::monitor
