#include "xid_pairing.hpp"

#include <algorithm>

namespace corvane::monitor {

void XidPairing::open(const void* job) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++open_[job];
}

void XidPairing::close(const void* job) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = open_.find(job);
  if (it == open_.end() || --it->second > 0) return;
  open_.erase(it);
  // The job's stop event may be reused by a later job: nothing of this one may answer it.
  for (auto p = pending_.begin(); p != pending_.end();) {
    p = std::get<0>(p->first) == job ? pending_.erase(p) : std::next(p);
  }
}

bool XidPairing::admit(const void* job, const std::string& gpu, std::int64_t xid, XidSource source,
                       double now, double window_s) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto& seen = pending_[Key{job, gpu, xid}];
  while (!seen.empty() && !(now - seen.front().at <= window_s)) seen.pop_front();
  auto other =
      std::find_if(seen.begin(), seen.end(), [&](const Seen& s) { return s.source != source; });
  if (other != seen.end()) {
    seen.erase(other);
    return false;
  }
  // Bounded: a source that repeats one Xid endlessly keeps only its most recent reports.
  if (seen.size() >= 64) seen.pop_front();
  seen.push_back(Seen{source, now});
  return true;
}

std::string pci_identity(std::string_view canonical_pci) {
  // domain:bus:device.function, the domain written with 4 or 8 digits (0009 by the kernel,
  // 00000009 by NVML and the tool): leading zeros go, and so does a zero domain.
  std::size_t first = canonical_pci.find(':');
  if (first == std::string_view::npos ||
      canonical_pci.find(':', first + 1) == std::string_view::npos) {
    return std::string(canonical_pci);
  }
  std::string_view domain = canonical_pci.substr(0, first);
  domain.remove_prefix(std::min(domain.find_first_not_of('0'), domain.size()));
  std::string rest(canonical_pci.substr(first + 1));
  return domain.empty() ? rest : std::string(domain) + ":" + rest;
}

std::string xid_gpu_key(std::string_view canonical_pci, std::int64_t index, bool has_index) {
  if (!canonical_pci.empty()) return pci_identity(canonical_pci);
  if (has_index) return "index:" + std::to_string(index);
  return "";
}

}  // namespace corvane::monitor
