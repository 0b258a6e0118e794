#include "nvml_events.hpp"

#include <algorithm>

namespace corvane::monitor {

EventKind classify_event(std::uint64_t event_type, const EventMasks& masks) {
  if ((event_type & (masks.xid | masks.double_bit)) == 0) return EventKind::kIgnored;
  return (event_type & masks.xid) ? EventKind::kXid : EventKind::kDoubleBit;
}

std::vector<InstanceDetail> instance_details(std::optional<std::uint64_t> gpu_instance,
                                             std::optional<std::uint64_t> compute_instance) {
  constexpr std::uint64_t kNoInstance = 0xFFFFFFFFull;
  std::vector<InstanceDetail> out;
  if (gpu_instance && *gpu_instance != kNoInstance)
    out.push_back({"gpu_instance_id", *gpu_instance});
  if (compute_instance && *compute_instance != kNoInstance) {
    out.push_back({"compute_instance_id", *compute_instance});
  }
  return out;
}

int event_wait_ms(double seconds) { return std::max(1, static_cast<int>(seconds * 1000.0)); }

std::string events_unavailable(std::string_view why) { return "unavailable: " + std::string(why); }

const EventDevices::Device* EventDevices::of_handle(
    std::uintptr_t handle_id,
    const std::function<std::optional<std::uint64_t>()>& address_of) const {
  for (const Device& d : devices_) {
    if (d.handle_id == handle_id) return &d;
  }
  std::optional<std::uint64_t> address = address_of();
  if (!address) return nullptr;
  for (const Device& d : devices_) {
    if (d.address == address) return &d;
  }
  return nullptr;
}

const EventDevices::Device* EventDevices::of_index(std::int64_t index) const {
  const Device* found = nullptr;
  for (const Device& d : devices_) {
    if (d.index == index) found = &d;
  }
  return found;
}

}  // namespace corvane::monitor
