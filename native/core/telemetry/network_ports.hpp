// InfiniBand / RoCE port health from sysfs: <root>/<device>/ports/<n>/{state, phys_state,
// rate, counters/*}. A host without such ports (or without the root) is silent.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "../common/finding.hpp"

namespace corvane::monitor {

inline constexpr const char* kDefaultNetworkRoot = "/sys/class/infiniband";

// The root watched: CORVANE_IB_SYSFS_ROOT where set (a recorded tree in tests), else the
// kernel's.
std::string network_root();

class NetworkPortWatch {
 public:
  explicit NetworkPortWatch(std::string root) : root_(std::move(root)) {}

  // One look at every port: a port that is not up ("ib_port_down") or runs below the rate
  // it first had ("ib_port_degraded"), told once while it lasts; an error counter that grew
  // since the last look ("ib_port_errors", CRITICAL for link_downed).
  std::vector<Finding> poll();

 private:
  struct PortState {
    bool down_told = false, slow_told = false;
    double first_rate = 0.0;
    std::map<std::string, std::uint64_t> counters;
  };
  std::string root_;
  std::map<std::string, PortState> ports_;
};

}  // namespace corvane::monitor
