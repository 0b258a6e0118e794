#include "fault_catalogue.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
#include <limits>

namespace corvane::monitor {
namespace {

using C = FaultClass;
using A = FaultAction;

struct XidRow {
  std::int64_t first, last;  // a code or a range of codes with one meaning
  FaultEntry entry;
};

// Ampere-and-later Xids. Application errors (13, 31, 43, 45, 68, ...) are the job's
// fault: the GPU stays healthy and the job is restarted. 63 records a remapped row that
// the next GPU reset applies; 64 and 157 mean the repair resources are spent.
constexpr XidRow kXids[] = {
    {8, 8, {C::kDriver, A::kRestartJob}},         {13, 13, {C::kApplication, A::kRestartJob}},
    {31, 31, {C::kApplication, A::kRestartJob}},  {32, 32, {C::kInterconnect, A::kRestartJob}},
    {38, 38, {C::kDriver, A::kNothing}},          {43, 43, {C::kApplication, A::kNothing}},
    {45, 45, {C::kApplication, A::kNothing}},     {46, 46, {C::kHardware, A::kResetGpu}},
    {48, 48, {C::kMemory, A::kResetGpu}},         {54, 54, {C::kHardware, A::kInspectHardware}},
    {61, 61, {C::kDriver, A::kInspectHardware}},  {62, 62, {C::kHardware, A::kResetGpu}},
    {63, 63, {C::kMemory, A::kResetGpu}},         {64, 64, {C::kMemory, A::kInspectHardware}},
    {68, 69, {C::kApplication, A::kRestartJob}},  {74, 74, {C::kInterconnect, A::kResetGpu}},
    {79, 79, {C::kHardware, A::kReboot}},         {92, 92, {C::kMemory, A::kNothing}},
    {94, 94, {C::kMemory, A::kRestartJob}},       {95, 95, {C::kMemory, A::kResetGpu}},
    {109, 109, {C::kDriver, A::kResetGpu}},       {110, 110, {C::kHardware, A::kResetGpu}},
    {119, 120, {C::kDriver, A::kResetGpu}},       {121, 121, {C::kInterconnect, A::kNothing}},
    {136, 136, {C::kInterconnect, A::kResetGpu}}, {137, 137, {C::kApplication, A::kRestartJob}},
    {140, 140, {C::kMemory, A::kResetGpu}},       {143, 143, {C::kHardware, A::kResetGpu}},
    {144, 150, {C::kInterconnect, A::kResetGpu}}, {151, 151, {C::kDriver, A::kReboot}},
    {154, 154, {C::kDriver, A::kNothing}},        {155, 155, {C::kInterconnect, A::kResetGpu}},
    {156, 156, {C::kMemory, A::kResetGpu}},       {157, 157, {C::kMemory, A::kInspectHardware}},
    {158, 158, {C::kHardware, A::kResetGpu}},
};
constexpr FaultEntry kUnlistedXid{C::kDriver, A::kResetGpu};

// NVSwitch SXids whose meaning does not follow from the fatal word alone.
constexpr XidRow kSxids[] = {
    {20034, 20034, {C::kInterconnect, A::kReboot}},           // link LTSSM fault
    {22013, 22013, {C::kInterconnect, A::kInspectHardware}},  // minion link training failed
};
constexpr FaultEntry kFatalSxid{C::kInterconnect, A::kReboot};
constexpr FaultEntry kNonFatalSxid{C::kInterconnect, A::kNothing};

struct EventRow {
  std::string_view event_type;
  FaultEntry entry;
};

// Findings about the job say nothing of the node; a lasting state of the GPU (a pending
// memory repair) is cleared by a reset, a failing part is inspected; a setting is the
// operator's to change.
constexpr EventRow kEvents[] = {
    {"training_divergence", {C::kApplication, A::kRestartJob}},
    {"training_hang", {C::kApplication, A::kRestartJob}},
    {"output_stall", {C::kApplication, A::kNothing}},
    {"loss_spike", {C::kApplication, A::kNothing}},
    {"rank_divergence", {C::kApplication, A::kNothing}},
    {"rank_straggler", {C::kApplication, A::kNothing}},
    {"phase_straggler", {C::kApplication, A::kNothing}},
    {"low_gpu_util", {C::kApplication, A::kNothing}},
    {"memory_drop", {C::kApplication, A::kNothing}},
    {"thermal_warning", {C::kHardware, A::kInspectHardware}},
    {"clock_throttle", {C::kHardware, A::kInspectHardware}},
    {"power_anomaly", {C::kHardware, A::kInspectHardware}},
    {"metric_disappearance", {C::kHardware, A::kReboot}},
    {"ecc_dbe", {C::kMemory, A::kResetGpu}},
    {"ecc_sbe_rate", {C::kMemory, A::kInspectHardware}},
    {"row_remap_pending", {C::kMemory, A::kResetGpu}},
    {"retired_pages_pending", {C::kMemory, A::kResetGpu}},
    {"row_remap_failure", {C::kMemory, A::kInspectHardware}},
    {"nvlink_errors", {C::kInterconnect, A::kInspectHardware}},
    {"nvlink_link_down", {C::kInterconnect, A::kResetGpu}},
    {"pcie_replay", {C::kInterconnect, A::kInspectHardware}},
    {"pcie_aer", {C::kInterconnect, A::kInspectHardware}},
    {"pcie_link_degraded", {C::kInterconnect, A::kInspectHardware}},
    {"gpu_fabric_incomplete", {C::kInterconnect, A::kReboot}},
    {"persistence_mode_off", {C::kDriver, A::kNothing}},
    {"ecc_disabled", {C::kDriver, A::kNothing}},
    {"filesystem_lost", {C::kHostResource, A::kInspectHardware}},  // someone frees space
    {"host_oom_kill", {C::kHostResource, A::kRestartJob}},
};

// Job output error forms, most specific first: the first one a line holds names it.
// CUDA texts are the runtime's error strings as PyTorch, JAX and NCCL embed them.
constexpr JobErrorForm kJobErrors[] = {
    {"cuda_ecc_uncorrectable", "uncorrectable ECC error encountered",
     "CUDA uncorrectable ECC error", C::kMemory, A::kResetGpu, "CRITICAL"},
    {"cuda_nvlink_uncorrectable", "uncorrectable NVLink error detected",
     "CUDA uncorrectable NVLink error", C::kInterconnect, A::kResetGpu, "CRITICAL"},
    {"cuda_illegal_address", "an illegal memory access was encountered",
     "CUDA illegal memory access", C::kApplication, A::kRestartJob, "WARN"},
    {"cuda_illegal_instruction", "an illegal instruction was encountered",
     "CUDA illegal instruction", C::kApplication, A::kRestartJob, "WARN"},
    {"cuda_launch_failure", "unspecified launch failure", "CUDA unspecified launch failure",
     C::kDriver, A::kRestartJob, "WARN"},
    {"cuda_device_assert", "device-side assert triggered", "CUDA device-side assert",
     C::kApplication, A::kRestartJob, "WARN"},
    {"cuda_out_of_memory", "CUDA out of memory", "CUDA out of memory", C::kApplication,
     A::kRestartJob, "WARN"},
    {"cuda_no_device", "no CUDA-capable device is detected", "No CUDA device", C::kDriver,
     A::kInspectHardware, "CRITICAL"},
    {"cuda_driver_too_old", "CUDA driver version is insufficient", "CUDA driver too old",
     C::kDriver, A::kNothing, "WARN"},
    {"cublas_execution_failed", "CUBLAS_STATUS_EXECUTION_FAILED", "cuBLAS execution failed",
     C::kDriver, A::kRestartJob, "WARN"},
    {"cudnn_execution_failed", "CUDNN_STATUS_EXECUTION_FAILED", "cuDNN execution failed",
     C::kDriver, A::kRestartJob, "WARN"},
    {"nccl_ib_completion_error", "NET/IB : Got completion from peer",
     "NCCL InfiniBand work completion error", C::kNetwork, A::kRestartJob, "WARN"},
    {"nccl_remote_error", "remote process exited or there was a network error",
     "NCCL remote peer closed", C::kNetwork, A::kRestartJob, "WARN"},
    {"nccl_remote_error", "ncclRemoteError: A call failed", "NCCL remote peer closed", C::kNetwork,
     A::kRestartJob, "WARN"},
    {"nccl_system_error", "unhandled system error", "NCCL unhandled system error", C::kNetwork,
     A::kRestartJob, "WARN"},
    {"nccl_system_error", "ncclSystemError: System call", "NCCL unhandled system error",
     C::kNetwork, A::kRestartJob, "WARN"},
    {"nccl_cuda_error", "unhandled cuda error", "NCCL unhandled CUDA error", C::kDriver,
     A::kRestartJob, "WARN"},
    {"nccl_cuda_error", "ncclUnhandledCudaError: ", "NCCL unhandled CUDA error", C::kDriver,
     A::kRestartJob, "WARN"},
    // A collective time-out is a symptom of a dead or slow peer, not of this node.
    {"torch_watchdog_timeout", "Watchdog caught collective operation timeout",
     "Collective operation timed out", C::kApplication, A::kRestartJob, "WARN"},
    {"torch_communicator_abort", "NCCL communicator was aborted", "NCCL communicator aborted",
     C::kApplication, A::kRestartJob, "WARN"},
    {"torchrun_child_failed", "failed (exitcode: ", "torchrun worker failed", C::kApplication,
     A::kRestartJob, "WARN"},
    {"xla_out_of_memory", "RESOURCE_EXHAUSTED: ", "XLA out of memory", C::kApplication,
     A::kRestartJob, "WARN"},
    {"xla_runtime_error", "XlaRuntimeError: ", "XLA runtime error", C::kApplication, A::kRestartJob,
     "WARN"},
    {"xla_runtime_error", "JaxRuntimeError: ", "XLA runtime error", C::kApplication, A::kRestartJob,
     "WARN"},
};

FaultEntry row_entry(const XidRow* first, const XidRow* last, std::int64_t code,
                     FaultEntry fallback) {
  const XidRow* row = std::find_if(
      first, last, [code](const XidRow& r) { return code >= r.first && code <= r.last; });
  return row == last ? fallback : row->entry;
}

}  // namespace

std::string_view fault_class_name(FaultClass c) {
  switch (c) {
    case C::kApplication:
      return "application";
    case C::kDriver:
      return "driver";
    case C::kMemory:
      return "memory";
    case C::kInterconnect:
      return "interconnect";
    case C::kNetwork:
      return "network";
    case C::kHostResource:
      return "host_resource";
    case C::kHardware:
      return "hardware";
  }
  return "driver";
}

std::string_view fault_action_name(FaultAction a) {
  switch (a) {
    case A::kNothing:
      return "none";
    case A::kRestartJob:
      return "restart_job";
    case A::kResetGpu:
      return "reset_gpu";
    case A::kReboot:
      return "reboot";
    case A::kInspectHardware:
      return "inspect_hardware";
  }
  return "none";
}

FaultEntry xid_fault(std::int64_t xid) {
  return row_entry(std::begin(kXids), std::end(kXids), xid, kUnlistedXid);
}

FaultEntry sxid_fault(std::int64_t sxid, bool fatal) {
  return row_entry(std::begin(kSxids), std::end(kSxids), sxid, fatal ? kFatalSxid : kNonFatalSxid);
}

void add_fault_details(Details& details, FaultEntry entry) {
  details.emplace_back("class",
                       DetailValue::string(std::string(fault_class_name(entry.fault_class))));
  details.emplace_back("action", DetailValue::string(std::string(fault_action_name(entry.action))));
}

namespace {

// Every line of a job's output is searched for all the forms at once, in one pass that
// mostly skips ahead by many bytes (Wu-Manber): a window as long as the shortest form slides
// along the line, and the three bytes at its end tell how far it may move before any
// form's start could fall inside it. Only where they allow no move are the forms compared.
class JobErrorSearch {
 public:
  JobErrorSearch() {
    window_ = std::numeric_limits<std::size_t>::max();
    for (const JobErrorForm& form : kJobErrors) window_ = std::min(window_, form.needle.size());
    shift_.fill(static_cast<std::uint8_t>(window_ - kBlock + 1));
    for (const JobErrorForm& form : kJobErrors) {
      for (std::size_t end = kBlock; end <= window_; ++end) {
        std::uint8_t& s = shift_[hash(form.needle.data() + end - kBlock)];
        s = std::min(s, static_cast<std::uint8_t>(window_ - end));
      }
    }
  }

  const JobErrorForm* find(std::string_view line) const {
    const JobErrorForm* best = nullptr;
    for (std::size_t last = window_ - 1; last < line.size();) {
      std::uint8_t s = shift_[hash(line.data() + last + 1 - kBlock)];
      if (s != 0) {
        last += s;
        continue;
      }
      std::string_view rest = line.substr(last + 1 - window_);
      for (const JobErrorForm& form : kJobErrors) {
        if (best != nullptr && &form >= best) break;
        if (rest.substr(0, form.needle.size()) == form.needle) best = &form;
      }
      ++last;
    }
    return best;
  }

 private:
  static constexpr std::size_t kBlock = 3;
  static std::size_t hash(const char* p) {
    auto b = [p](int i) { return static_cast<std::size_t>(static_cast<unsigned char>(p[i])); };
    return (b(0) * 961 + b(1) * 31 + b(2)) & 0xFFF;
  }
  std::size_t window_;
  std::array<std::uint8_t, 0x1000> shift_{};
};

}  // namespace

std::optional<FaultEntry> event_fault(std::string_view event_type) {
  for (const EventRow& row : kEvents) {
    if (row.event_type == event_type) return row.entry;
  }
  return std::nullopt;
}

const JobErrorForm* find_job_error(std::string_view line) {
  static const JobErrorSearch search;
  return search.find(line);
}

std::optional<std::int64_t> named_rank(std::string_view line) {
  for (std::size_t at = line.find("ank"); at != std::string_view::npos;
       at = line.find("ank", at + 3)) {
    if (at == 0 || (line[at - 1] != 'r' && line[at - 1] != 'R')) continue;
    std::size_t i = at + 3;
    while (i < line.size() && (line[i] == ' ' || line[i] == ':' || line[i] == '=')) ++i;
    std::int64_t value = 0;
    std::size_t digits = 0;
    for (; i < line.size() && line[i] >= '0' && line[i] <= '9' && digits < 9; ++i, ++digits) {
      value = value * 10 + (line[i] - '0');
    }
    if (digits > 0) return value;
  }
  return std::nullopt;
}

}  // namespace corvane::monitor
