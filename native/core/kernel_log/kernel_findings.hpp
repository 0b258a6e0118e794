// What the kernel-log watcher reports: the texts of its findings.
#pragma once

#include <string_view>

namespace corvane::monitor {

struct FindingText {
  std::string_view event_type, severity, summary;
  std::string_view detail;  // the key of its one detail
};

// A driver error (Xid) the kernel printed: a format of the Xid's code and description.
inline constexpr std::string_view kKernelXidSummary = "Kernel reported XID {} ({})";
inline constexpr std::string_view kKernelXidSource = "kernel_log";

// A PCIe bus error report; its detail is the line, stripped.
inline constexpr FindingText kPcieAerFinding{"pcie_aer", "WARN",
                                             "Kernel reported PCIe/AER bus issues", "line"};

// Neither reader could read the log; its detail says why.
inline constexpr FindingText kKernelLogUnavailable{"kernel_log_unavailable", "INFO",
                                                   "Kernel log cannot be read", "reason"};

}  // namespace corvane::monitor
