// One Xid seen by two sources of one job (the kernel log and NVML's GPU events) is one
// finding: the first report of it is kept, the other source's report of the same Xid on the
// same GPU within the window is dropped.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <tuple>

namespace corvane::monitor {

enum class XidSource { kKernelLog, kNvml };

class XidPairing {
 public:
  // A job's two watchers each hold the job open; its entries go with the last of them.
  void open(const void* job);
  void close(const void* job);

  // Whether a report of `xid` on `gpu` (a canonical PCI address, or "index:N" when none is
  // known) from `source` at `now` seconds (a steady clock) is new. A report answers at most
  // one earlier report of the other source, so a second Xid that both sources see again is
  // reported again. Reports from one source are never paired with each other. Thread-safe.
  bool admit(const void* job, const std::string& gpu, std::int64_t xid, XidSource source,
             double now, double window_s);

 private:
  static constexpr std::size_t kSweepAbove = 4096;
  struct Seen {
    XidSource source;
    double at;
  };
  using Key = std::tuple<const void*, std::string, std::int64_t>;
  std::mutex mutex_;
  std::map<const void*, int> open_;
  std::map<Key, std::deque<Seen>> pending_;
};

// One PCI function's address in one form, whichever way its domain was written: the kernel
// writes 0000:3b:00 (0000:3b:00.0 once canonical), NVML and the tool 00000000:3B:00.0
// (3b:00.0); both become 3b:00.0, and 0009:01:00.0 and 00000009:01:00.0 both 9:01:00.0.
// `canonical_pci` is a canonical address (see normalize_pci_address).
std::string pci_identity(std::string_view canonical_pci);

// The GPU part of a pairing key: the PCI identity, else "index:N", else "".
std::string xid_gpu_key(std::string_view canonical_pci, std::int64_t index, bool has_index);

}  // namespace corvane::monitor
