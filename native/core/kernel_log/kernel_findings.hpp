// What the kernel-log watcher reports: the texts of its findings.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "../common/finding.hpp"

namespace corvane::monitor {

// A finding of fixed wording with one detail, whose key it names.
struct KernelFinding {
  std::string_view event_type, severity, summary;
  std::string_view detail;

  Finding with(std::string detail_text) const {
    return {event_type,
            severity,
            std::string(summary),
            {{std::string(detail), DetailValue::string(std::move(detail_text))}}};
  }
};

// A driver error (Xid) the kernel printed: a format of the Xid's code and description.
inline constexpr std::string_view kKernelXidSummary = "Kernel reported XID {} ({})";
inline constexpr std::string_view kKernelXidSource = "kernel_log";

// A PCIe bus error report; its detail is the line, stripped.
inline constexpr KernelFinding kPcieAerFinding{"pcie_aer", "WARN",
                                               "Kernel reported PCIe/AER bus issues", "line"};

// Neither reader could read the log; its detail says why.
inline constexpr KernelFinding kKernelLogUnavailable{"kernel_log_unavailable", "INFO",
                                                     "Kernel log cannot be read", "reason"};

}  // namespace corvane::monitor

namespace corvane::monitor {

struct KernelLineScan;

// An NVSwitch error (SXid): CRITICAL when fatal to the fabric. Details: "sxid", "pci_bus_id",
// "kind" (Fatal, Non-fatal, Correctable), "class", "action", "source" and the stripped "line".
Finding sxid_finding(const KernelLineScan& scan, std::string line);

// A process the host's OOM killer ended. Details: "pid", "process", "class", "action",
// "source" and the stripped "line".
Finding oom_kill_finding(const KernelLineScan& scan, std::string line);

// The finding of a kernel line that is not an Xid (an SXid, an OOM kill, a PCIe AER
// report), from its scan and the line stripped; nothing for an Xid or a line of no form.
std::optional<Finding> kernel_line_finding(const KernelLineScan& scan, std::string stripped);

// Its summary; `of_job`: the process was one of the watched job's.
std::string oom_kill_summary(std::string_view pid, std::string_view process, bool of_job);

}  // namespace corvane::monitor
