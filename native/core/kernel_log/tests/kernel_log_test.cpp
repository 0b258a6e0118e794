#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <string>
#include <vector>

#include "../line_scan.hpp"
#include "../xid_codes.hpp"
#include "../xid_pairing.hpp"

namespace corvane::monitor {
namespace {

std::vector<std::string> recorded(const std::string& name) {
  std::ifstream in(std::string(CORVANE_FIXTURES) + "/recorded/kernel-log/" + name);
  EXPECT_TRUE(in.good()) << name;
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// What a reader sees in a driver report: the text after "PCI:" up to a blank or ")", and the
// number after "): ".
struct Reported {
  bool xid = false;
  std::string pci, code;
};
Reported read_by_hand(const std::string& line) {
  Reported r;
  std::size_t at = line.find("NVRM: Xid (PCI:");
  if (at == std::string::npos) return r;
  std::size_t pci = at + 15, close = line.find("): ", pci);
  if (close == std::string::npos) return r;
  r.pci = line.substr(pci, line.find_first_of(" )", pci) - pci);
  for (std::size_t i = close + 3; i < line.size() && std::isdigit(line[i]); ++i) r.code += line[i];
  r.xid = !r.code.empty();
  return r;
}

TEST(KernelLineScan, EveryRecordedDriverReportIsFoundWithItsGpuAndCode) {
  int reports = 0;
  for (const auto& name : {"h100-node-mixed.log", "aer-variants.log", "quiet-node.log"}) {
    for (const auto& line : recorded(name)) {
      Reported expected = read_by_hand(line);
      KernelLineScan scan = scan_kernel_line(line);
      if (expected.xid) {
        ++reports;
        EXPECT_EQ(scan.kind, KernelLineScan::kXid) << line;
        EXPECT_EQ(scan.pci_bus_id, expected.pci) << line;
        EXPECT_EQ(scan.xid_digits, expected.code) << line;
      } else {
        EXPECT_NE(scan.kind, KernelLineScan::kXid) << line;
      }
    }
  }
  EXPECT_GT(reports, 10);
}

TEST(KernelLineScan, QuietNodeGivesNothingAndAerReportsAreBusErrors) {
  for (const auto& line : recorded("quiet-node.log")) {
    EXPECT_EQ(scan_kernel_line(line).kind, KernelLineScan::kNone) << line;
  }
  int aer = 0;
  for (const auto& line : recorded("aer-variants.log")) {
    if (scan_kernel_line(line).kind == KernelLineScan::kAer) ++aer;
  }
  EXPECT_GT(aer, 0);
  EXPECT_EQ(scan_kernel_line("pcieport 0000:00:01.0: AER: enabled with IRQ 122").kind,
            KernelLineScan::kNone);
}

TEST(KernelLineScan, LongRepeatedNoiseStaysFast) {
  std::string line;
  for (int i = 0; i < 100000; ++i) line += "pcieport ";
  EXPECT_EQ(scan_kernel_line(line).kind, KernelLineScan::kNone);
}

TEST(XidCodes, CriticalByNumberAndByDigits) {
  for (auto xid : kCriticalXids) {
    EXPECT_TRUE(is_critical_xid(xid));
    EXPECT_TRUE(is_critical_xid_digits(std::to_string(xid)));
  }
  EXPECT_FALSE(is_critical_xid(13));
  EXPECT_FALSE(is_critical_xid_digits("13"));
  EXPECT_FALSE(is_critical_xid_digits("790000000000000000000000000000"));
  EXPECT_EQ(xid_description(79), "GPU fell off the bus");
  EXPECT_EQ(xid_description(13), "GPU fault");
}

TEST(PciAddresses, KernelAndNvmlFormsMeet) {
  EXPECT_EQ(normalize_pci_address("0000:3b:00"), "0000:3b:00.0");
  EXPECT_EQ(normalize_pci_address("00000000:3b:00.0"), "3b:00.0");
  EXPECT_EQ(pci_identity(normalize_pci_address("0000:3b:00")), "3b:00.0");
  EXPECT_EQ(pci_identity(normalize_pci_address("0009:01:00.0")),
            pci_identity(normalize_pci_address("00000009:01:00.0")));
  EXPECT_EQ(xid_gpu_key("", 2, true), "index:2");
  EXPECT_EQ(xid_gpu_key("", 0, false), "");
}

TEST(XidPairing, OneXidSeenByBothSourcesIsOneFinding) {
  XidPairing pairing;
  int job = 0;
  pairing.open(&job);
  EXPECT_TRUE(pairing.admit(&job, "3b:00.0", 79, XidSource::kKernelLog, 100.0, 60.0));
  EXPECT_FALSE(pairing.admit(&job, "3b:00.0", 79, XidSource::kNvml, 110.0, 60.0));
  // The answer is used up: a second pair is reported again.
  EXPECT_TRUE(pairing.admit(&job, "3b:00.0", 79, XidSource::kNvml, 120.0, 60.0));
  // The same source never pairs with itself; outside the window nothing pairs.
  EXPECT_TRUE(pairing.admit(&job, "3b:00.0", 79, XidSource::kNvml, 121.0, 60.0));
  EXPECT_TRUE(pairing.admit(&job, "3b:00.0", 79, XidSource::kKernelLog, 500.0, 60.0));
  // Another GPU or another code is another finding.
  EXPECT_TRUE(pairing.admit(&job, "5d:00.0", 79, XidSource::kNvml, 500.5, 60.0));
  EXPECT_TRUE(pairing.admit(&job, "3b:00.0", 48, XidSource::kNvml, 500.5, 60.0));
  pairing.close(&job);
}

}  // namespace
}  // namespace corvane::monitor
