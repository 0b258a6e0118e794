// GPU events from NVML (Xid, ECC) for the telemetry thread: a watch on every GPU that
// supports them, waited on in short slices so a stop is seen promptly. With NVML the
// driver's events come through an event set, also inside a container whose kernel log
// cannot be read; the binding's wait lets go of the interpreter while it waits.
#pragma once

#include <string>
#include <vector>

#include "../core/telemetry/nvml_events.hpp"
#include "finding_record.hpp"
#include "telemetry_host.hpp"
#include "thread_guard.hpp"

namespace corvane::bindings {

namespace mon = corvane::monitor;

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
    if (binding_.is_none()) return mon::events_unavailable(mon::kNoNvmlBinding);
    nb::object set;
    try {
      masks_ = {as_mask(binding_.attr("nvmlEventTypeXidCriticalError")),
                as_mask(binding_.attr("nvmlEventTypeDoubleBitEccError")),
                as_mask(binding_.attr("nvmlEventTypeSingleBitEccError"))};
      set = blocking_method(binding_, "nvmlEventSetCreate");
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      return mon::events_unavailable(current_error_line());
    }
    ctypes_ = nb::steal(PyImport_ImportModule("ctypes"));
    if (!ctypes_.is_valid()) PyErr_Clear();
    for (nb::handle pair : handles) {
      guarded_step(log_, "GPU events not watched on one GPU", [&] { add(pair, set); });
    }
    if (devices_.empty()) {
      quietly([&] { blocking_method(binding_, "nvmlEventSetFree", set); });
      return mon::events_unavailable(mon::kNoGpuReportsEvents);
    }
    set_ = set;
    return std::string(mon::kEventsWatched);
  }

  // Waits at most `seconds` for one event and turns it into findings.
  void wait_once(double seconds) {
    nb::object data;
    try {
      data = blocking_method(binding_, "nvmlEventSetWait_v2", set_, mon::event_wait_ms(seconds));
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
    std::optional<long long> i = small_int(index);
    const mon::EventDevices::Device* d = i ? devices_.of_index(*i) : nullptr;
    nb::dict details;
    details["injected"] = true;
    event_xid(nb::borrow(index), d != nullptr ? optional_str(d->pci_bus_id) : nb::none(),
              nb::borrow(xid), details);
  }

  // Frees the event set (before NVML is shut down).
  void close() {
    if (!set_.is_valid()) return;
    quietly([&] { blocking_method(binding_, "nvmlEventSetFree", set_); });
    set_ = nb::object();
  }

 private:
  static nb::object optional_str(const std::optional<std::string>& s) {
    return s ? nb::object(str_of(*s)) : nb::none();
  }

  std::optional<std::uint64_t> address_of(nb::handle handle) {
    std::optional<std::uint64_t> address;
    if (ctypes_.is_valid()) {
      quietly([&] {
        nb::object v = ctypes_.attr("cast")(handle, ctypes_.attr("c_void_p")).attr("value");
        if (!v.is_none()) address = as_mask(v);
      });
    }
    return address;
  }

  void add(nb::handle pair, nb::handle set) {
    nb::object index = pair[0], handle = pair[1];
    try {
      std::uint64_t wanted = masks_.wanted(
          as_mask(blocking_method(binding_, "nvmlDeviceGetSupportedEventTypes", handle)));
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
    std::optional<std::string> pci;
    quietly([&] {
      nb::object text = nvml_pci_address(binding_, handle);
      std::string storage;
      if (!text.is_none()) pci = std::string(utf8_of(nb::str(text), storage));
    });
    auto id = reinterpret_cast<std::uintptr_t>(handle.ptr());
    devices_.add({nb::cast<std::int64_t>(builtin("int")(index)), pci, id, address_of(handle)});
    handles_.push_back(handle);  // kept alive, so that its identity stays its own
  }

  void take(nb::handle data) {
    mon::EventKind kind = mon::classify_event(as_mask(data.attr("eventType")), masks_);
    if (kind == mon::EventKind::kIgnored) return;
    nb::object handle = nb::getattr(data, "device", nb::none());
    const mon::EventDevices::Device* device = devices_.of_handle(
        reinterpret_cast<std::uintptr_t>(handle.ptr()), [&] { return address_of(handle); });
    std::optional<std::int64_t> index;
    std::optional<std::string> pci;
    if (device != nullptr) index = device->index, pci = device->pci_bus_id;
    if (kind == mon::EventKind::kXid) {
      auto id = [&](const char* field) -> std::optional<std::uint64_t> {
        nb::object v = nb::getattr(data, field, nb::none());
        return v.is_none() ? std::nullopt : std::optional<std::uint64_t>(as_mask(v));
      };
      nb::dict details;
      for (const auto& [key, value] :
           mon::instance_details(id("gpuInstanceId"), id("computeInstanceId"))) {
        details[key] = nb::steal(PyLong_FromUnsignedLongLong(value));
      }
      event_xid(index ? nb::object(nb::int_(*index)) : nb::none(), optional_str(pci),
                builtin("int")(data.attr("eventData")), details);
      return;
    }
    append_finding(findings_, lock_, finding_of(mon::ecc_event_finding(index, pci)));
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
  mon::EventMasks masks_;
  mon::EventDevices devices_;
  std::vector<nb::object> handles_;
};

}  // namespace corvane::bindings
