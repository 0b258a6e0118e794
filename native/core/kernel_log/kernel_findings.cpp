#include "kernel_findings.hpp"

#include "../common/fault_catalogue.hpp"
#include "line_scan.hpp"

namespace corvane::monitor {
Finding sxid_finding(const KernelLineScan& scan, std::string line) {
  std::string digits(scan.xid_digits);
  std::int64_t code = 0;
  for (char c : digits.substr(0, 9)) code = code * 10 + (c - '0');
  bool fatal = scan.sxid_kind == "Fatal";
  std::string summary =
      "NVSwitch reported SXid " + digits + " (" + std::string(scan.sxid_kind) + ")";
  Details details{{"sxid", DetailValue::digits(digits)},
                  {"pci_bus_id", DetailValue::string(std::string(scan.pci_bus_id))},
                  {"kind", DetailValue::string(std::string(scan.sxid_kind))}};
  add_fault_details(details, sxid_fault(code, fatal));
  details.push_back({"source", DetailValue::string(std::string(kKernelXidSource))});
  details.push_back({"line", DetailValue::string(std::move(line))});
  return {"nvswitch_sxid", fatal ? "CRITICAL" : "WARN", std::move(summary), std::move(details)};
}

std::string oom_kill_summary(std::string_view pid, std::string_view process, bool of_job) {
  return std::string("Host OOM killer ended ") + (of_job ? "the job's process " : "process ") +
         std::string(pid) + " (" + std::string(process) + ")";
}

Finding oom_kill_finding(const KernelLineScan& scan, std::string line) {
  std::string summary = oom_kill_summary(scan.pid, scan.process, false);
  Details details{{"pid", DetailValue::digits(std::string(scan.pid))},
                  {"process", DetailValue::string(std::string(scan.process))}};
  add_fault_details(details, *event_fault("host_oom_kill"));
  details.push_back({"source", DetailValue::string(std::string(kKernelXidSource))});
  details.push_back({"line", DetailValue::string(std::move(line))});
  return {"host_oom_kill", "WARN", std::move(summary), std::move(details)};
}

std::optional<Finding> kernel_line_finding(const KernelLineScan& scan, std::string stripped) {
  switch (scan.kind) {
    case KernelLineScan::kSxid:
      return sxid_finding(scan, std::move(stripped));
    case KernelLineScan::kOomKill:
      return oom_kill_finding(scan, std::move(stripped));
    case KernelLineScan::kAer:
      return kPcieAerFinding.with(std::move(stripped));
    default:
      return std::nullopt;
  }
}

}  // namespace corvane::monitor
