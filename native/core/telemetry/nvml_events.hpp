// The rules of NVML's GPU event set (Xid and ECC events): which events each GPU is
// registered for, what an event becomes, and which watched GPU it came from.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::monitor {

// The binding's bits for the three event types.
struct EventMasks {
  std::uint64_t xid = 0, double_bit = 0, single_bit = 0;

  // The events worth registering among those a GPU supports (0: the GPU is skipped).
  std::uint64_t wanted(std::uint64_t supported) const {
    return supported & (xid | double_bit | single_bit);
  }
};

// Single-bit errors are left to the corrected-error rate detector: the volatile counter it
// reads each poll already counts every one of them.
enum class EventKind { kIgnored, kXid, kDoubleBit };
EventKind classify_event(std::uint64_t event_type, const EventMasks& masks);

// The MIG instance ids an Xid event names, as detail keys; an id of all ones means none.
struct InstanceDetail {
  const char* key;
  std::uint64_t id;
};
std::vector<InstanceDetail> instance_details(std::optional<std::uint64_t> gpu_instance,
                                             std::optional<std::uint64_t> compute_instance);

// The binding's wait takes whole milliseconds, at least one.
int event_wait_ms(double seconds);

// What the "watching:" line says of GPU events.
inline constexpr std::string_view kEventsWatched = "nvml";
std::string events_unavailable(std::string_view why);
inline constexpr std::string_view kNoNvmlBinding = "no NVML binding";
inline constexpr std::string_view kNoGpuReportsEvents = "no GPU reports events";

// The GPUs registered with the event set. An event names its GPU by a device handle: the
// registered handle object itself, or (where the binding made a new object for the same
// device) a handle with the same pointer value.
class EventDevices {
 public:
  struct Device {
    std::int64_t index;
    std::optional<std::string> pci_bus_id;
    std::uintptr_t handle_id;              // the handle object's identity
    std::optional<std::uint64_t> address;  // its pointer value, where it is a pointer
  };

  void add(Device d) { devices_.push_back(std::move(d)); }
  bool empty() const { return devices_.empty(); }

  // The device of an event's handle; `address_of` is asked only when no identity matches.
  const Device* of_handle(std::uintptr_t handle_id,
                          const std::function<std::optional<std::uint64_t>()>& address_of) const;
  // The device with GPU index `index` (the last one registered with it).
  const Device* of_index(std::int64_t index) const;

 private:
  std::vector<Device> devices_;
};

}  // namespace corvane::monitor
