// GPU events from NVML (Xid, ECC) for the telemetry thread: a watch on every GPU that
// supports them, waited on in short slices so a stop is seen promptly.
#pragma once

#include <string>
#include <unordered_set>
#include <vector>

#include "finding_record.hpp"
#include "telemetry_host.hpp"
#include "thread_guard.hpp"

namespace corvane::bindings {

namespace mon = corvane::monitor;

//
// With NVML the driver's Xid and ECC events come through an event set, also inside a
// container whose kernel log cannot be read. The telemetry thread waits on the set between
// its polls, in short slices; the binding's wait lets go of the interpreter while it waits.

constexpr double kEventSliceSeconds = 0.25;  // how soon a stop is seen while waiting
constexpr unsigned long long kNoInstance = 0xFFFFFFFFull;

inline std::uint64_t as_mask(nb::handle value) {
  nb::object as_int = builtin("int")(value);
  std::uint64_t mask = PyLong_AsUnsignedLongLongMask(as_int.ptr());
  if (mask == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) throw nb::python_error();
  return mask;
}

// Whether a binding error carries NVML's error code `name` (also under a class of its own
// whose repr leaves the words out).
inline bool nvml_error_is(nb::python_error& e, nb::handle binding, const char* name,
                          const char* cls) {
  bool match = false;
  quietly([&] {
    std::string storage;
    if (utf8_of(nb::str(e.type().attr("__name__")), storage) == cls) {
      match = true;
      return;
    }
    nb::object code = constant(binding, name);
    nb::object value = nb::getattr(e.value(), "value", nb::none());
    match = !code.is_none() && !value.is_none() && value.equal(code);
  });
  return match;
}

class GpuEvents {
 public:
  GpuEvents(nb::handle findings, nb::handle lock, nb::handle stop_event, LogOnce& log)
      : findings_(findings), lock_(lock), stop_(stop_event), log_(log) {}

  bool active() const { return set_.is_valid(); }

  // Creates the event set and registers each device for the events it supports. Returns
  // what the "watching:" line says of GPU events.
  std::string open(nb::handle handles) {
    binding_ = nvml();
    if (binding_.is_none()) return "unavailable: no NVML binding";
    nb::object set;
    try {
      xid_mask_ = as_mask(binding_.attr("nvmlEventTypeXidCriticalError"));
      dbe_mask_ = as_mask(binding_.attr("nvmlEventTypeDoubleBitEccError"));
      sbe_mask_ = as_mask(binding_.attr("nvmlEventTypeSingleBitEccError"));
      set = blocking_method(binding_, "nvmlEventSetCreate");
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      return "unavailable: " + current_error_line();
    }
    ctypes_ = nb::steal(PyImport_ImportModule("ctypes"));
    if (!ctypes_.is_valid()) PyErr_Clear();
    for (nb::handle pair : handles) {
      guarded_step(log_, "GPU events not watched on one GPU", [&] { add(pair, set); });
    }
    if (devices_.empty()) {
      quietly([&] { blocking_method(binding_, "nvmlEventSetFree", set); });
      return "unavailable: no GPU reports events";
    }
    set_ = set;
    return "nvml";
  }

  // Waits at most `seconds` for one event and turns it into findings.
  void wait_once(double seconds) {
    int ms = std::max(1, static_cast<int>(seconds * 1000.0));
    nb::object data;
    try {
      data = blocking_method(binding_, "nvmlEventSetWait_v2", set_, ms);
    } catch (nb::python_error& e) {
      if (nvml_error_is(e, binding_, "NVML_ERROR_TIMEOUT", "NVMLError_Timeout")) return;
      if (!e.matches(PyExc_Exception)) throw;
      // Said once per distinct error; a lost GPU is named by the next poll. The rest of
      // the slice is waited out so that an error that comes at once is no busy loop.
      log_.warn("GPU event wait failed: " + python_error_line(e));
      blocking_method(stop_, "wait", seconds);
      return;
    }
    guarded_step(log_, "GPU event skipped", [&] { take(data); });
  }

  // An Xid of a fault-injection rule, taken as the driver's own event on that GPU.
  void injected_xid(nb::handle index, nb::handle xid) {
    nb::object pci = nb::none();
    for (const Device& d : devices_) {
      if (d.index.equal(index)) pci = d.pci;
    }
    nb::dict details;
    details["injected"] = true;
    event_xid(nb::borrow(index), pci, nb::borrow(xid), details);
  }

  // Frees the event set (before NVML is shut down).
  void close() {
    if (!set_.is_valid()) return;
    quietly([&] { blocking_method(binding_, "nvmlEventSetFree", set_); });
    set_ = nb::object();
  }

 private:
  struct Device {
    nb::object index, handle, pci;
    nb::object address;  // the handle's pointer value, None for a handle that is no pointer
  };

  nb::object address_of(nb::handle handle) {
    nb::object address = nb::none();
    if (ctypes_.is_valid()) {
      quietly(
          [&] { address = ctypes_.attr("cast")(handle, ctypes_.attr("c_void_p")).attr("value"); });
    }
    return address;
  }

  void add(nb::handle pair, nb::handle set) {
    nb::object index = pair[0], handle = pair[1];
    std::uint64_t wanted = 0;
    try {
      wanted = as_mask(blocking_method(binding_, "nvmlDeviceGetSupportedEventTypes", handle)) &
               (xid_mask_ | dbe_mask_ | sbe_mask_);
      if (wanted == 0) return;  // a device without these events is skipped
      blocking_method(binding_, "nvmlDeviceRegisterEvents", handle,
                      nb::steal(PyLong_FromUnsignedLongLong(wanted)), set);
    } catch (nb::python_error& e) {
      // Not supported: skipped. Lost: the poll reports it.
      if (nvml_error_is(e, binding_, "NVML_ERROR_NOT_SUPPORTED", "NVMLError_NotSupported") ||
          gpu_is_lost(e, binding_)) {
        return;
      }
      throw;
    }
    nb::object pci = nb::none();
    quietly([&] {
      pci = host("_normalize_pci_address")(nb::getattr(
          blocking_method(binding_, "nvmlDeviceGetPciInfo", handle), "busId", nb::str("")));
    });
    devices_.push_back(Device{index, nb::borrow(handle), pci, address_of(handle)});
  }

  const Device* device_of(nb::handle handle) {
    for (const Device& d : devices_) {
      if (d.handle.is(handle)) return &d;
    }
    nb::object address = address_of(handle);
    if (address.is_none()) return nullptr;
    for (const Device& d : devices_) {
      if (!d.address.is_none() && d.address.equal(address)) return &d;
    }
    return nullptr;
  }

  void take(nb::handle data) {
    std::uint64_t type = as_mask(data.attr("eventType"));
    // Single-bit errors are left to the corrected-error rate detector: the volatile counter
    // it reads each poll already counts every one of them.
    if ((type & (xid_mask_ | dbe_mask_)) == 0) return;
    const Device* device = device_of(nb::getattr(data, "device", nb::none()));
    nb::object index = device != nullptr ? device->index : nb::none();
    nb::object pci = device != nullptr ? device->pci : nb::none();
    nb::dict details;
    if (type & xid_mask_) {
      for (const char* field : {"gpuInstanceId", "computeInstanceId"}) {
        nb::object id = nb::getattr(data, field, nb::none());
        if (id.is_none() || as_mask(id) == kNoInstance) continue;
        details[field[0] == 'g' ? "gpu_instance_id" : "compute_instance_id"] = builtin("int")(id);
      }
      event_xid(index, pci, builtin("int")(data.attr("eventData")), details);
      return;
    }
    // The same report as the counter's, so delivery shows one of the two.
    std::string gpu =
        index.is_none() ? "GPU " : "GPU " + nb::cast<std::string>(nb::str(index)) + " ";
    details["gpu_index"] = index;
    details["pci_bus_id"] = pci;
    details["source"] = "nvml";
    std::string summary = gpu + "reported a new uncorrectable ECC error";
    append_finding(
        findings_, lock_,
        make_finding(nb::str("ecc_dbe"), nb::str("CRITICAL"), nb::str(summary.c_str()), details));
  }

  // The same finding as a kernel-log Xid, unless the kernel log told this one already.
  void event_xid(nb::object index, nb::object pci, nb::object xid, nb::dict details) {
    if (!admit_xid(stop_, pci, index, xid, mon::XidSource::kNvml)) return;
    append_finding(findings_, lock_,
                   xid_finding("Kernel reported XID {} ({})", xid, index, pci, "nvml", details));
  }

  nb::handle findings_, lock_, stop_;
  LogOnce& log_;
  nb::object binding_, set_, ctypes_;
  std::uint64_t xid_mask_ = 0, dbe_mask_ = 0, sbe_mask_ = 0;
  std::vector<Device> devices_;
};

}  // namespace corvane::bindings
