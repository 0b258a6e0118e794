// What one kernel-log line says: a GPU driver error (Xid) or a PCIe bus error report.
#pragma once

#include <string>
#include <string_view>

namespace corvane::monitor {

struct KernelLineScan {
  enum Kind { kNone, kXid, kAer, kSxid, kOomKill } kind = kNone;
  std::string_view pci_bus_id;  // as printed
  std::string_view xid_digits;  // decimal digits (any script) of the code; an SXid's too
  std::string_view sxid_kind;   // "Fatal", "Non-fatal" or "Correctable"
  std::string_view pid;         // the process the host's OOM killer ended: its id, its name
  std::string_view process;
};

// Pattern texts as the host sees them.
inline constexpr std::string_view kDmesgXidPattern = R"(NVRM: Xid \(PCI:(\S+)\): (\d+),)";
// GPUs split into MIG instances also name the instance inside the parentheses.
inline constexpr std::string_view kDmesgXidMigPattern =
    R"(NVRM: Xid \(PCI:(\S+) GPU-I:\S+\): (\d+),)";
inline constexpr std::string_view kPcieAerPattern =
    R"((?:pcieport .*?(?:error|AER)|AER: .*?(?:error|severity|fault)))";

// An NVSwitch error: `nvidia-nvswitch3: SXid (PCI:0000:05:00.0): 12028, Non-fatal, ...`.
bool search_sxid(std::string_view line, KernelLineScan* out);
// The OOM killer's `Killed process <pid> (<name>)`, in the global (`Out of memory:`), cgroup
// (`Memory cgroup out of memory:`) and older unprefixed forms. Its `oom-kill:` line comes
// first and tells the same kill, so only this one is reported.
bool search_oom_kill(std::string_view line, KernelLineScan* out);

// An Xid line is never also reported as AER. The kernel's note that AER reporting is
// switched on ("AER: enabled with IRQ n") is not a bus error.
KernelLineScan scan_kernel_line(std::string_view line);

// Native searches behind the three pattern constants, for differential tests.
bool search_dmesg_xid(std::string_view line, bool mig, std::string_view* pci,
                      std::string_view* digits);
bool search_pcie_aer(std::string_view line);

// The canonical PCI address of a text already stripped and lower-cased: the 8-digit zero
// domain removed, ".0" added to a domain:bus:device address without function.
std::string normalize_pci_address(std::string_view lowered);

}  // namespace corvane::monitor
