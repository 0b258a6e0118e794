#include "watch_rules.hpp"

#include <algorithm>

namespace corvane::monitor {

Backend backend_named(std::string_view name) {
  if (name == "nvml") return Backend::kNvml;
  if (name == "shell") return Backend::kShell;
  if (name == "injected") return Backend::kInjected;
  return name == "none" ? Backend::kNone : Backend::kOther;
}

SnapshotSource snapshot_source(Backend backend, bool injection_on) {
  switch (backend) {
    case Backend::kNvml:
      return SnapshotSource::kNvml;
    case Backend::kShell:
      return SnapshotSource::kTool;
    case Backend::kInjected:
      return injection_on ? SnapshotSource::kSynthetic : SnapshotSource::kNone;
    default:
      return SnapshotSource::kNone;
  }
}

double poll_period(double configured) { return std::max(1.0, configured); }

bool job_is_active(std::optional<bool> running, double now, double last_output_at,
                   double poll_period) {
  if (running) return *running;
  return now - last_output_at < std::max(poll_period * 6, 15.0);
}

std::string gpus_text(std::size_t n) { return std::to_string(n) + (n == 1 ? " GPU" : " GPUs"); }

std::string unavailable_reason(const std::optional<ToolFailureText>& failure,
                               bool has_nvml_binding) {
  if (failure) return failure->tool + " " + failure->reason;
  return has_nvml_binding ? "NVML unusable, and nvidia-smi listed no GPU"
                          : "no NVML binding, and nvidia-smi listed no GPU";
}

std::string telemetry_source_text(Backend backend, std::size_t gpus,
                                  const std::optional<ToolFailureText>& failure,
                                  bool has_nvml_binding) {
  switch (backend) {
    case Backend::kNvml:
      return "nvml, " + gpus_text(gpus);
    case Backend::kShell:
      return "nvidia-smi, " + gpus_text(gpus);
    case Backend::kInjected:
      return "injected, " + gpus_text(gpus);
    case Backend::kNone:
    case Backend::kOther:
      break;
  }
  return "unavailable: " + unavailable_reason(failure, has_nvml_binding);
}

Finding unavailable_finding(const std::optional<ToolFailureText>& failure, bool has_nvml_binding) {
  Finding out{"telemetry_unavailable", "WARN", "GPU telemetry backend unavailable", {}};
  if (failure) {
    out.details.push_back({"tool", DetailValue::string(failure->tool)});
    out.details.push_back({"reason", DetailValue::string(failure->reason)});
  } else {
    out.details.push_back(
        {"reason", DetailValue::string(unavailable_reason(std::nullopt, has_nvml_binding))});
  }
  return out;
}

Finding ready_finding(std::string_view backend, std::size_t inventory_count,
                      std::size_t synthetic_count) {
  std::string name(backend);
  bool injected = backend_named(backend) == Backend::kInjected;
  std::size_t count = injected ? synthetic_count : inventory_count;
  std::string count_text = count > 0 ? std::to_string(count) : "unknown";
  Finding out{"telemetry_ready",
              "INFO",
              "Telemetry backend " + name + " attached to " + count_text + " GPU(s)",
              {{"backend", DetailValue::string(name)},
               {"gpu_count", DetailValue::integer(static_cast<std::int64_t>(count))}}};
  if (injected) out.details.push_back({"injected", DetailValue::flag(true)});
  return out;
}

std::string injected_xid_summary(std::string_view gpu) {
  return "Injected XID {} on GPU " + std::string(gpu) + " ({})";
}

bool TelemetryWatchRules::count_check_due(double now) {
  if (!structural_ || now - last_count_check_ < 60) return false;
  last_count_check_ = now;
  return true;
}

bool TelemetryWatchRules::hang_to_report(const std::optional<ToolFailureText>& failure,
                                         bool stopped) {
  if (!failure || !failure->timed_out || hang_reported_ || stopped) return false;
  hang_reported_ = true;
  return true;
}

}  // namespace corvane::monitor
