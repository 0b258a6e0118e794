// The kernel-log watcher: follows the kernel's ring buffer (or polls it where following is
// refused) on a background thread of the job; GPU driver Xid reports and PCIe bus errors
// become findings. Also the PCI address map shared with the GPU event watcher.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../core/kernel_log/kernel_findings.hpp"
#include "../core/kernel_log/line_scan.hpp"
#include "../core/kernel_log/log_source.hpp"
#include "../core/kernel_log/pci_index_map.hpp"
#include "child_setup.hpp"
#include "finding_record.hpp"
#include "host.hpp"
#include "monitoring_host.hpp"
#include "settings.hpp"
#include "thread_guard.hpp"

namespace corvane::bindings {
namespace {

using namespace nb::literals;
namespace mon = corvane::monitor;

// -- PCI addresses ----------------------------------------------------------------------

nb::str normalize_pci_address(nb::handle value) {
  if (value.is_none()) return nb::str("");
  nb::object text;
  if (PyBytes_Check(value.ptr())) {
    text = value.attr("decode")("utf-8", "ignore");
  } else {
    text = nb::str(value);
  }
  nb::object folded = text.attr("strip")().attr("lower")();
  std::string storage;
  return str_of(mon::normalize_pci_address(utf8_of(folded, storage)));
}

nb::dict build_pci_index_map() {
  nb::dict out;
  // On a watcher thread the query ends with the watcher's stop event.
  nb::object inventory = call_with_stop(host("detect_gpu_inventory"), nb::tuple(), nb::dict());
  for (nb::handle gpu : inventory) {
    nb::object bus = gpu.attr("pci_bus_id");
    if (PyObject_IsTrue(bus.ptr()) == 1) out[normalize_pci_address(bus)] = gpu.attr("index");
  }
  return out;
}

// -- the kernel-log watcher -------------------------------------------------------------

mon::XidPairing& xid_pairing() {
  static auto* pairing = new mon::XidPairing();  // never destroyed: threads may use it at exit
  return *pairing;
}

struct KernelWatch {
  nb::handle findings, lock, stop_event;
  mon::PciIndexMap pci_map;
  std::vector<nb::object> gpu_indexes;  // by the map's slots
  LogOnce log;

  void load_pci_map() {
    for (auto [address, index] : build_pci_index_map()) {
      std::optional<std::size_t> slot;
      if (!index.is_none()) slot = gpu_indexes.size();
      gpu_indexes.push_back(nb::borrow(index));
      std::string storage;
      pci_map.add(std::string(utf8_of(address, storage)), slot);
    }
  }

  // A line that cannot be handled is logged and skipped; watching goes on.
  void take(std::string_view text) {
    guarded_step(log, "kernel-log line skipped", [&] { handle_line(text); });
  }

  void handle_line(std::string_view text) {
    mon::KernelLineScan scan = mon::scan_kernel_line(text);
    if (scan.kind == mon::KernelLineScan::kNone) return;
    if (scan.kind != mon::KernelLineScan::kXid) {
      std::string stripped = exact_utf8(str_of(text).attr("strip")());
      if (auto finding = mon::kernel_line_finding(scan, std::move(stripped))) {
        append_finding(findings, lock, finding_of(*finding));
      }
      return;
    }
    nb::str pci = str_of(scan.pci_bus_id);
    nb::object xid = import("builtins").attr("int")(str_of(scan.xid_digits));
    std::string storage;
    std::optional<std::size_t> slot = pci_map.find(utf8_of(normalize_pci_address(pci), storage));
    nb::object index = slot ? gpu_indexes[*slot] : nb::none();
    // NVML's GPU events may have told this one already.
    if (!admit_xid(stop_event, pci, index, xid, mon::XidSource::kKernelLog)) return;
    std::string summary(mon::kKernelXidSummary);
    append_finding(findings, lock,
                   xid_finding(summary.c_str(), xid, index, pci,
                               std::string(mon::kKernelXidSource).c_str(), nb::dict()));
  }
};

// A follower command run by the host's subprocess, in its own session: Ctrl-C at the
// monitor's terminal is the monitor's to pass on to the job, and must not end the follower
// while the job is given its grace period.
class HostFollower : public mon::FollowerProcess {
 public:
  static std::unique_ptr<mon::FollowerProcess> start(const std::vector<std::string>& argv) {
    nb::object subprocess = import("subprocess");
    nb::list cmd;
    for (const std::string& a : argv) cmd.append(str_of(a));
    nb::object proc;
    try {
      proc = subprocess.attr("Popen")(cmd, "stdout"_a = subprocess.attr("PIPE"),
                                      "stderr"_a = subprocess.attr("PIPE"), "bufsize"_a = 0,
                                      "start_new_session"_a = true,
                                      "preexec_fn"_a = parent_death_signal(SIGKILL));
    } catch (nb::python_error&) {
      return nullptr;
    }
    auto follower = std::make_unique<HostFollower>();
    follower->proc_ = proc;
    if (proc.attr("stdout").is_none()) return nullptr;  // ended and reaped on the way out
    return follower;
  }

  // Waits without the GIL; a broken pipe ends the stream.
  long long read(char* buffer, std::size_t size, int timeout_ms) override {
    if (fd_ < 0) fd_ = nb::cast<int>(proc_.attr("stdout").attr("fileno")());
    return without_gil([&] {
      ssize_t n = -1;
      pollfd pfd{fd_, POLLIN, 0};
      if (::poll(&pfd, 1, timeout_ms) > 0) {
        do {
          n = ::read(fd_, buffer, size);
        } while (n < 0 && errno == EINTR);
        if (n < 0) n = 0;
      }
      return static_cast<long long>(n);
    });
  }

  std::optional<long long> exit_status() override {
    nb::object status = nb::none();
    try {
      status = proc_.attr("wait")("timeout"_a = 1.0);
    } catch (nb::python_error&) {
    }
    if (!PyLong_Check(status.ptr())) return std::nullopt;
    return status.equal(nb::int_(0)) ? 0 : 1;
  }

  // The follower is ours: end it, close its pipes and reap it.
  ~HostFollower() override {
    quietly([&] {
      if (proc_.attr("poll")().is_none()) proc_.attr("terminate")();
      for (const char* pipe : {"stdout", "stderr"}) {
        nb::object stream = proc_.attr(pipe);
        if (!stream.is_none()) stream.attr("close")();
      }
      try {
        proc_.attr("wait")("timeout"_a = 2.0);
      } catch (nb::python_error&) {
        proc_.attr("kill")();
        proc_.attr("wait")();
      }
    });
  }

 private:
  nb::object proc_;
  int fd_ = -1;
};

// One read of the whole log by the host's shell runner.
mon::LogRead read_whole_log(const std::string& command) {
  mon::LogRead read;
  nb::dict kwargs;
  kwargs["timeout"] = static_cast<int>(mon::kWholeReadTimeoutSeconds);
  nb::object result = call_with_stop(host("run_shell"), nb::make_tuple(str_of(command)), kwargs);
  read.cancelled = PyObject_IsTrue(nb::getattr(result, "cancelled", nb::bool_(false)).ptr()) == 1;
  if (read.cancelled) return read;
  nb::object status = result.attr("returncode");
  read.succeeded = status.equal(nb::int_(0));
  read.status = nb::cast<std::string>(nb::str(status));
  auto lines_of = [](nb::handle text, std::vector<std::string>& out, bool one) {
    if (!PyUnicode_Check(text.ptr())) return;
    for (nb::handle line : text.attr("splitlines")()) {
      std::string storage;
      std::string_view view = utf8_of(line, storage);
      out.push_back(one ? one_line(std::string(view)) : std::string(view));
    }
  };
  if (read.succeeded) {
    lines_of(result.attr("stdout"), read.lines, false);
  } else {
    lines_of(nb::getattr(result, "stderr", nb::none()), read.error_lines, true);
  }
  return read;
}

mon::KernelLogPorts host_ports(KernelWatch& watch) {
  nb::handle stop_event = watch.stop_event;
  auto stopped = [stop_event] { return PyObject_IsTrue(stop_event.attr("is_set")().ptr()) != 0; };
  mon::KernelLogPorts ports;
  ports.start = &HostFollower::start;
  ports.read_all = &read_whole_log;
  ports.stopped = stopped;
  ports.now = steady_seconds;
  // The poll periods are module attributes so tests need not wait ten seconds.
  ports.wait = [stop_event](mon::PollPace pace) {
    return event_wait(stop_event, nb::cast<double>(host(pace == mon::PollPace::kReadable
                                                            ? "_DMESG_POLL_SECONDS"
                                                            : "_DMESG_REFUSED_POLL_SECONDS")));
  };
  ports.report_source = [stop_event](const std::string& how) {
    report_source(stop_event.ptr(), "kernel log", how);
  };
  ports.take = [&watch](std::string_view line) { watch.take(line); };
  ports.unavailable = [&watch](const std::string& reason) {
    append_finding(watch.findings, watch.lock, finding_of(mon::kKernelLogUnavailable.with(reason)));
  };
  ports.guarded = [&watch](const char* what, const std::function<void()>& step) {
    guarded_step(watch.log, what, step);
  };
  return ports;
}

nb::object dmesg_watcher_loop(nb::handle findings, nb::handle lock, nb::handle stop_event) {
  return watcher_body("kernel_log", findings, lock, stop_event, [&] {
    XidPairingScope pairing(stop_event);
    KernelWatch watch{findings, lock, stop_event, {}, {}, {}};
    WatchContext context{stop_event, &watch.log, {}};
    WatchScope scope(context);
    // Without the GPUs' addresses an Xid is still reported, without its GPU index.
    guarded_step(watch.log, "GPU PCI addresses unavailable", [&] { watch.load_pci_map(); });
    mon::watch_kernel_log(host_ports(watch));
    return nb::none();
  });
}

#if defined(CORVANE_TEST_HOOKS)
// The native search behind a kernel-log pattern constant: None, or the tuple of groups.
nb::object native_kernel_search(const std::string& name, nb::handle line) {
  if (!PyUnicode_Check(line.ptr())) raise_type("line", "a str", line);
  std::string storage;
  std::string_view text = utf8_of(line, storage);
  if (name == "PCIE_AER_PATTERN")
    return mon::search_pcie_aer(text) ? nb::object(nb::tuple()) : nb::none();
  std::string_view pci, digits;
  bool mig = name == "DMESG_XID_MIG_PATTERN";
  if (!mig && name != "DMESG_XID_PATTERN")
    throw nb::value_error(("unknown pattern " + name).c_str());
  if (!mon::search_dmesg_xid(text, mig, &pci, &digits)) return nb::none();
  return nb::make_tuple(str_of(pci), str_of(digits));
}
#endif

}  // namespace

bool admit_xid(nb::handle stop_event, nb::handle pci_bus_id, nb::handle gpu_index, nb::handle xid,
               mon::XidSource source) {
  std::string storage;
  std::string pci;
  if (!pci_bus_id.is_none()) pci = std::string(utf8_of(normalize_pci_address(pci_bus_id), storage));
  std::optional<long long> index = small_int(gpu_index), code = small_int(xid);
  if (!code) return true;  // no code to pair on
  std::string gpu = mon::xid_gpu_key(pci, index.value_or(0), index.has_value());
  double window = nb::cast<double>(host("_XID_PAIRING_SECONDS"));
  return xid_pairing().admit(stop_event.ptr(), gpu, *code, source, steady_seconds(), window);
}

XidPairingScope::XidPairingScope(nb::handle stop_event) : job_(stop_event.ptr()) {
  xid_pairing().open(job_);
}
XidPairingScope::~XidPairingScope() { xid_pairing().close(job_); }

void bind_kernel_log_watch(nb::module_& m) {
  m.attr("_DMESG_POLL_SECONDS") = 10.0;
  m.attr("_DMESG_REFUSED_POLL_SECONDS") = 60.0;
  // Reports of one Xid by the kernel log and by NVML this close together are one finding.
  m.attr("_XID_PAIRING_SECONDS") = 60.0;
  using Args = const std::vector<nb::handle>&;
  def_plain(
      m, "_dmesg_watcher_loop", {{"findings", {}}, {"findings_lock", {}}, {"stop_event", {}}},
      [](Args a) {
        return while_active(a[2], [&] { return dmesg_watcher_loop(a[0], a[1], a[2]); });
      },
      "Kernel-log thread: GPU driver Xid reports and PCIe AER errors become findings.");
  def_plain(
      m, "_build_pci_index_map", {}, [](Args) { return build_pci_index_map(); },
      "Map from normalized PCI address to GPU index, from the GPU inventory.");
  nb::module_ re = nb::module_::import_("re");
  m.attr("DMESG_XID_PATTERN") =
      re.attr("compile")(str_of(mon::kDmesgXidPattern), re.attr("IGNORECASE"));
  m.attr("DMESG_XID_MIG_PATTERN") =
      re.attr("compile")(str_of(mon::kDmesgXidMigPattern), re.attr("IGNORECASE"));
  m.attr("PCIE_AER_PATTERN") =
      re.attr("compile")(str_of(mon::kPcieAerPattern), re.attr("IGNORECASE"));
  (void)mon::scan_kernel_line("");  // compile the searches now

  m.def("_normalize_pci_address", &normalize_pci_address, "value"_a.none());
#if defined(CORVANE_TEST_HOOKS)
  test_hooks(m).def("native_kernel_search", &native_kernel_search, "name"_a, "line"_a);
#endif
}

}  // namespace corvane::bindings
