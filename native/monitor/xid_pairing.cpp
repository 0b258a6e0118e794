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

std::string xid_gpu_key(std::string_view canonical_pci, std::int64_t index, bool has_index) {
  if (canonical_pci.rfind("0000:", 0) == 0 && canonical_pci.size() > 5) {
    canonical_pci.remove_prefix(5);
  }
  if (!canonical_pci.empty()) return std::string(canonical_pci);
  if (has_index) return "index:" + std::to_string(index);
  return "";
}

}  // namespace corvane::monitor
