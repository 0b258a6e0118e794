// Which GPU a kernel-log line names: the GPUs' PCI addresses, as the inventory gives them,
// looked up by the address the kernel printed.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::monitor {

class PciIndexMap {
 public:
  // Adds a GPU by its canonical address (see normalize_pci_address); `slot` is what a
  // lookup of it answers (the caller's handle of that GPU), nullopt when its index is not
  // known. A repeated address keeps its place and takes the new slot.
  void add(std::string canonical_pci, std::optional<std::size_t> slot);

  // The slot of `canonical_pci`. The kernel writes the 4-digit domain (0000:3b:00,
  // 0009:01:00) where the tool writes the 8-digit one (dropped by normalizing when zero):
  // where the address itself is not known or has no slot, the first GPU with the same PCI
  // identity answers.
  std::optional<std::size_t> find(std::string_view canonical_pci) const;

  std::size_t size() const { return entries_.size(); }

 private:
  std::vector<std::pair<std::string, std::optional<std::size_t>>>
      entries_;  // in order of first addition
};

}  // namespace corvane::monitor
