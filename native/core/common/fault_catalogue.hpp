// The fault catalogue: for every signature corvane reads (a GPU driver Xid code, an
// NVSwitch SXid, an error form printed in a job's output) the class of fault it is and
// what to do about it. The tables are data in fault_catalogue.cpp; findings carry the
// class and action in their details as the names below.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "finding.hpp"

namespace corvane::monitor {

enum class FaultClass {
  kApplication,   // the job's own fault: the node is fine
  kDriver,        // driver or firmware
  kMemory,        // GPU memory (ECC, row remapping)
  kInterconnect,  // NVLink, NVSwitch, PCIe
  kNetwork,       // InfiniBand / RoCE fabric
  kHostResource,  // host memory, disk
  kHardware,      // the GPU or board itself
};

enum class FaultAction { kNothing, kRestartJob, kResetGpu, kReboot, kInspectHardware };

// "application", "driver", "memory", "interconnect", "network", "host_resource", "hardware".
std::string_view fault_class_name(FaultClass c);
// "none", "restart_job", "reset_gpu", "reboot", "inspect_hardware".
std::string_view fault_action_name(FaultAction a);

struct FaultEntry {
  FaultClass fault_class;
  FaultAction action;
};

// Every Xid has an entry: codes the catalogue does not list are taken as driver faults
// that need the GPU reset, as the device plugins treat unknown critical codes.
FaultEntry xid_fault(std::int64_t xid);

// An SXid: listed codes first, otherwise by the word after the code ("Fatal" needs the
// node rebooted; "Non-fatal" and "Correctable" are counted and watched).
FaultEntry sxid_fault(std::int64_t sxid, bool fatal);

// The class and action of a finding by its event type, for findings whose wording does not
// carry a catalogue entry of its own (an Xid, an SXid or a job error form does). Nothing for
// the monitor's own state (telemetry or the kernel log unreadable, a degraded watcher).
std::optional<FaultEntry> event_fault(std::string_view event_type);

// Adds "class" and "action" to a finding's details.
void add_fault_details(Details& details, FaultEntry entry);

// One error form a job prints: the literal text that identifies it.
struct JobErrorForm {
  std::string_view signature;  // e.g. "cuda_illegal_address"
  std::string_view needle;     // literal, case-sensitive, as the framework prints it
  std::string_view description;
  FaultClass fault_class;
  FaultAction action;
  std::string_view severity;
};

// The first form (in catalogue order) whose text the line holds, if any.
const JobErrorForm* find_job_error(std::string_view line);

// The rank the line names ("[rank3]:", "[Rank 3]", "on rank 3", "local_rank: 3"), if any.
std::optional<std::int64_t> named_rank(std::string_view line);

}  // namespace corvane::monitor
