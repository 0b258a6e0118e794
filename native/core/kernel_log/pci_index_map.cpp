#include "pci_index_map.hpp"

#include "xid_pairing.hpp"

namespace corvane::monitor {

void PciIndexMap::add(std::string canonical_pci, std::optional<std::size_t> slot) {
  for (auto& [address, known] : entries_) {
    if (address == canonical_pci) {
      known = slot;
      return;
    }
  }
  entries_.emplace_back(std::move(canonical_pci), slot);
}

std::optional<std::size_t> PciIndexMap::find(std::string_view canonical_pci) const {
  for (const auto& [address, slot] : entries_) {
    if (address == canonical_pci && slot) return slot;
  }
  std::string identity = pci_identity(canonical_pci);
  for (const auto& [address, slot] : entries_) {
    if (pci_identity(address) == identity) return slot;
  }
  return std::nullopt;
}

}  // namespace corvane::monitor
