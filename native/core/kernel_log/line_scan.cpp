#include "line_scan.hpp"

#include "../common/regex.hpp"
#include "../output/patterns.hpp"

namespace corvane::monitor {

namespace {

const Regex& xid_regex(bool mig) {
  static const Regex plain(caseless("NVRM: Xid ") + "\\(" + caseless("PCI:") + "(" + not_space() +
                           "+)\\): (" + digit() + "+),");
  static const Regex with_instance(caseless("NVRM: Xid ") + "\\(" + caseless("PCI:") + "(" +
                                   not_space() + "+) " + caseless("GPU-I:") + not_space() +
                                   "+\\): (" + digit() + "+),");
  return mig ? with_instance : plain;
}

// The two alternatives of the AER pattern as "head, then later on the same line, one of
// the tail words": searched without backtracking, so a long line costs linear time.
struct HeadTail {
  Regex head, tail;
};

const HeadTail& aer_part(int which) {
  static const HeadTail pcieport{Regex(caseless("pcieport ")),
                                 Regex("(?:" + caseless("error") + "|" + caseless("AER") + ")")};
  static const HeadTail aer{Regex(caseless("AER: ")),
                            Regex("(?:" + caseless("error") + "|" + caseless("severity") + "|" +
                                  caseless("fault") + ")")};
  return which == 0 ? pcieport : aer;
}

const Regex& aer_enabled_regex() {
  static const Regex rx(caseless("AER: enabled with IRQ"));
  return rx;
}

bool head_then_tail(const HeadTail& ht, std::string_view line) {
  Match m;
  std::size_t pos = 0;
  while (ht.head.search(line, &m, pos)) {
    std::size_t seg_end = line.find('\n', m.whole.end);
    if (seg_end == std::string_view::npos) seg_end = line.size();
    // The first head of a segment sees every tail that a later head could.
    if (ht.tail.search(line.substr(0, seg_end), nullptr, m.whole.end)) return true;
    if (seg_end == line.size()) return false;
    pos = seg_end + 1;
  }
  return false;
}

const Regex& sxid_regex() {
  static const Regex rx(caseless("SXid ") + "\\(" + caseless("PCI:") + "(" + not_space() +
                        "+)\\): ([0-9]+), (Fatal|Non-fatal|Correctable)");
  return rx;
}

}  // namespace

bool search_sxid(std::string_view line, KernelLineScan* out) {
  if (line.find("SXid") == std::string_view::npos) return false;
  Match m;
  if (!sxid_regex().search(line, &m)) return false;
  out->kind = KernelLineScan::kSxid;
  out->pci_bus_id = m.group[1].of(line);
  out->xid_digits = m.group[2].of(line);
  out->sxid_kind = m.group[3].of(line);
  return true;
}

bool search_oom_kill(std::string_view line, KernelLineScan* out) {
  constexpr std::string_view kKilled = "Killed process ";
  std::size_t at = line.find(kKilled);
  if (at == std::string_view::npos) return false;
  std::size_t i = at + kKilled.size(), digits_at = i;
  while (i < line.size() && line[i] >= '0' && line[i] <= '9') ++i;
  if (i == digits_at || i - digits_at > 10 || line.substr(i, 2) != " (") return false;
  std::size_t name_at = i + 2;
  // The name is the kernel's 15-byte command name and may itself hold parentheses: it
  // ends at the ")" before the figures that follow it, or at the line's last ")".
  std::size_t close = line.find(") total-vm:", name_at);
  if (close == std::string_view::npos) close = line.find(") score ", name_at);
  if (close == std::string_view::npos) close = line.rfind(')');
  if (close == std::string_view::npos || close < name_at) return false;
  out->kind = KernelLineScan::kOomKill;
  out->pid = line.substr(digits_at, i - digits_at);
  out->process = line.substr(name_at, close - name_at);
  return true;
}

bool search_dmesg_xid(std::string_view line, bool mig, std::string_view* pci,
                      std::string_view* digits) {
  Match m;
  if (!xid_regex(mig).search(line, &m)) return false;
  if (pci) *pci = m.group[1].of(line);
  if (digits) *digits = m.group[2].of(line);
  return true;
}

bool search_pcie_aer(std::string_view line) {
  return head_then_tail(aer_part(0), line) || head_then_tail(aer_part(1), line);
}

KernelLineScan scan_kernel_line(std::string_view line) {
  KernelLineScan out;
  if (search_dmesg_xid(line, false, &out.pci_bus_id, &out.xid_digits) ||
      search_dmesg_xid(line, true, &out.pci_bus_id, &out.xid_digits)) {
    out.kind = KernelLineScan::kXid;
  } else if (search_sxid(line, &out) || search_oom_kill(line, &out)) {
    return out;
  } else if (search_pcie_aer(line) && !aer_enabled_regex().search(line, nullptr)) {
    out.kind = KernelLineScan::kAer;
  }
  return out;
}

std::string normalize_pci_address(std::string_view lowered) {
  std::string text(lowered);
  if (text.empty()) return text;
  const std::string zero_domain = "00000000:";
  for (std::size_t at = text.find(zero_domain); at != std::string::npos;
       at = text.find(zero_domain, at)) {
    text.erase(at, zero_domain.size());
  }
  std::size_t colons = 0;
  for (char c : text) colons += c == ':';
  if (colons == 2 && text.find('.') == std::string::npos) text += ".0";
  return text;
}

}  // namespace corvane::monitor
