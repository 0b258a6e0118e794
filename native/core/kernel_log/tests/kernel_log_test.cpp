#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <string>
#include <vector>

#include "../line_scan.hpp"

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

}  // namespace
}  // namespace corvane::monitor
