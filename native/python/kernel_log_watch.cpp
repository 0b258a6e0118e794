// The kernel-log watcher: follows the kernel's ring buffer (or polls it where following is
// refused) on a background thread of the job; GPU driver Xid reports and PCIe bus errors
// become findings. Also the PCI address map shared with the GPU event watcher.
#include <fcntl.h>
#include <locale.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <clocale>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "../core/hooks/file_tail.hpp"
#include "../core/hooks/peer_analysis.hpp"
#include "../core/hooks/report_reader.hpp"
#include "../core/kernel_log/line_scan.hpp"
#include "../core/output/line_splitter.hpp"
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
  nb::object pci_map = nb::dict();
  LogOnce log;

  // A line that cannot be handled is logged and skipped; watching goes on.
  void take(std::string_view text) {
    guarded_step(log, "kernel-log line skipped", [&] { handle_line(text); });
  }

  void handle_line(std::string_view text) {
    mon::KernelLineScan scan = mon::scan_kernel_line(text);
    if (scan.kind == mon::KernelLineScan::kNone) return;
    nb::object finding;
    if (scan.kind == mon::KernelLineScan::kXid) {
      nb::str pci = str_of(scan.pci_bus_id);
      nb::object xid = import("builtins").attr("int")(str_of(scan.xid_digits));
      nb::str key = normalize_pci_address(pci);
      nb::object index = pci_map.attr("get")(key);
      // The kernel writes the 4-digit domain (0000:3b:00, 0009:01:00) where the tool writes
      // the 8-digit one (dropped by normalizing when zero): match the addresses by identity.
      if (index.is_none()) {
        std::string storage;
        std::string identity = mon::pci_identity(utf8_of(key, storage));
        for (auto [address, gpu] : nb::borrow<nb::dict>(pci_map)) {
          std::string s;
          if (PyUnicode_Check(address.ptr()) &&
              mon::pci_identity(utf8_of(address, s)) == identity) {
            index = nb::borrow(gpu);
            break;
          }
        }
      }
      // NVML's GPU events may have told this one already.
      if (!admit_xid(stop_event, pci, index, xid, mon::XidSource::kKernelLog)) return;
      finding =
          xid_finding("Kernel reported XID {} ({})", xid, index, pci, "kernel_log", nb::dict());
    } else {
      nb::dict details;
      details["line"] = str_of(text).attr("strip")();
      finding = make_finding(nb::str("pcie_aer"), nb::str("WARN"),
                             nb::str("Kernel reported PCIe/AER bus issues"), details);
    }
    append_finding(findings, lock, finding);
  }

  void report(const std::string& how) const { report_source(stop_event.ptr(), "kernel log", how); }
};

// Reads what `fd` has, waiting at most `timeout_ms` without the GIL. Returns the byte count
// (0 at end of stream), or -1 when nothing came in time.
ssize_t read_ready(int fd, char* buffer, std::size_t size, int timeout_ms) {
  return without_gil([&] {
    ssize_t n = -1;
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, timeout_ms) > 0) {
      do {
        n = ::read(fd, buffer, size);
      } while (n < 0 && errno == EINTR);
      if (n < 0) n = 0;  // a broken pipe ends the stream
    }
    return n;
  });
}

// How one follower run ended.
enum class Follow {
  kNotStarted,  // the command could not be started
  kRefused,     // it failed before printing anything (a kernel log restricted to root)
  kEnded,       // stop requested, or its output ended with status 0
  kFailed,      // it failed after printing, or reading it failed
};

// Runs one follower command until the stop event, the end of its output or an error.
Follow follow_kernel_log(KernelWatch& watch, nb::handle stop_event, nb::handle cmd,
                         const char* label) {
  nb::object subprocess = import("subprocess");
  nb::object proc = nb::none();
  try {
    // Its own session: Ctrl-C at the monitor's terminal is the monitor's to pass on to the
    // job, and must not end the follower while the job is given its grace period.
    proc = subprocess.attr("Popen")(nb::list(cmd), "stdout"_a = subprocess.attr("PIPE"),
                                    "stderr"_a = subprocess.attr("PIPE"), "bufsize"_a = 0,
                                    "start_new_session"_a = true);
  } catch (nb::python_error&) {
    return Follow::kNotStarted;
  }
  if (proc.attr("stdout").is_none()) return Follow::kNotStarted;
  Follow outcome = Follow::kEnded;
  try {
    int fd = nb::cast<int>(proc.attr("stdout").attr("fileno")());
    mon::LineSplitter splitter;
    mon::LineBatch lines;
    std::vector<char> buffer(1 << 16);
    bool printed = false, told = false;
    const auto started = std::chrono::steady_clock::now();
    while (!PyObject_IsTrue(stop_event.attr("is_set")().ptr())) {
      // Short readiness waits: a stop is seen within 0.1 s, and the job's end is not held up.
      ssize_t n = read_ready(fd, buffer.data(), buffer.size(), 100);
      // Said once the follower printed (the buffer as it stands comes at once) or has run a
      // second without failing (an empty buffer).
      if (!told &&
          (n > 0 || std::chrono::steady_clock::now() - started >= std::chrono::seconds(1))) {
        told = true;
        watch.report(label);
      }
      if (n < 0) continue;
      if (n == 0) {
        splitter.finish(lines);
      } else {
        printed = true;
        splitter.feed(std::string_view(buffer.data(), static_cast<std::size_t>(n)), lines);
      }
      for (std::size_t i = 0; i < lines.size(); ++i) watch.take(lines.line(i));
      lines.clear();
      if (n == 0) {
        // The follower ended by itself. A failure (a kernel log restricted to root) is no
        // reason to stop watching: the next follower or polling may be allowed.
        nb::object status = nb::none();
        try {
          status = proc.attr("wait")("timeout"_a = 1.0);
        } catch (nb::python_error&) {
        }
        if (!status.is_none() && !status.equal(nb::int_(0))) {
          outcome = printed ? Follow::kFailed : Follow::kRefused;
        }
        break;
      }
    }
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    outcome = Follow::kFailed;
  }
  // The follower is ours: end it, close its pipes and reap it.
  quietly([&] {
    if (proc.attr("poll")().is_none()) proc.attr("terminate")();
    for (const char* pipe : {"stdout", "stderr"}) {
      nb::object stream = proc.attr(pipe);
      if (!stream.is_none()) stream.attr("close")();
    }
    try {
      proc.attr("wait")("timeout"_a = 2.0);
    } catch (nb::python_error&) {
      proc.attr("kill")();
      proc.attr("wait")();
    }
  });
  return outcome;
}

// Streams the kernel log with `dmesg -w`, or `sudo -n dmesg -w` where that is refused.
// Returns why the watcher goes on by polling, or nothing when streaming ended normally.
std::optional<std::string> stream_kernel_log(KernelWatch& watch, nb::handle stop_event) {
  struct Follower {
    nb::object cmd;
    const char* label;
  };
  const Follower followers[] = {{nb::make_tuple("dmesg", "-w"), "dmesg -w"},
                                {nb::make_tuple("sudo", "-n", "dmesg", "-w"), "sudo -n dmesg -w"}};
  bool refused = false;
  for (const Follower& f : followers) {
    Follow outcome = follow_kernel_log(watch, stop_event, f.cmd, f.label);
    if (outcome == Follow::kEnded) return std::nullopt;
    if (outcome == Follow::kFailed) return std::string("dmesg -w failed");
    refused = refused || outcome == Follow::kRefused;
    if (PyObject_IsTrue(stop_event.attr("is_set")().ptr())) return std::nullopt;
  }
  return std::string(refused ? "dmesg -w not permitted" : "dmesg -w unavailable");
}

// One read of the whole kernel log: `dmesg`, else `sudo -n dmesg`. Its text (possibly
// empty), or nothing with why neither could read it (empty when stopped meanwhile).
struct KernelRead {
  std::optional<nb::object> text;
  std::string refusal;
};

KernelRead read_kernel_log() {
  KernelRead read;
  for (const char* command : {"dmesg", "sudo -n dmesg"}) {
    nb::dict kwargs;
    kwargs["timeout"] = 15;
    nb::object result = call_with_stop(host("run_shell"), nb::make_tuple(command), kwargs);
    if (PyObject_IsTrue(nb::getattr(result, "cancelled", nb::bool_(false)).ptr()) == 1) {
      read.refusal.clear();
      return read;
    }
    nb::object status = result.attr("returncode");
    if (status.equal(nb::int_(0))) {
      nb::object out = result.attr("stdout");
      read.text = out.is_none() ? nb::object(nb::str("")) : out;
      return read;
    }
    // The tool's own words ("dmesg: read kernel buffer failed: ..."), else its status.
    std::string why;
    nb::object err = nb::getattr(result, "stderr", nb::none());
    if (PyUnicode_Check(err.ptr())) {
      for (nb::handle line : err.attr("splitlines")()) {
        std::string storage;
        std::string_view text = utf8_of(line, storage);
        if (text.find_first_not_of(" \t") != std::string_view::npos) {
          why = one_line(std::string(text));
          break;
        }
      }
    }
    if (why.empty()) {
      why = std::string(command) + " exited with status " + nb::cast<std::string>(nb::str(status));
    }
    if (!read.refusal.empty()) read.refusal += "; ";
    read.refusal += why;
  }
  return read;
}

void poll_kernel_log(KernelWatch& watch, nb::handle stop_event, const std::string& why) {
  nb::object previous = nb::steal(PySet_New(nullptr));
  bool readable = true, told_source = false, told_unavailable = false;
  // The first read comes at once: the buffer as it stands, and whether it can be read at all.
  do {
    // A failing poll must not end kernel-log watching for the rest of the job.
    guarded_step(watch.log, "kernel-log poll failed", [&] {
      KernelRead read = read_kernel_log();
      if (!read.text) {
        if (read.refusal.empty()) return;  // stopped
        readable = false;
        if (!told_unavailable) {
          told_unavailable = true;
          nb::dict details;
          details["reason"] = nb::str(read.refusal.data(), read.refusal.size());
          append_finding(watch.findings, watch.lock,
                         make_finding(nb::str("kernel_log_unavailable"), nb::str("INFO"),
                                      nb::str("Kernel log cannot be read"), details));
        }
        if (!told_source) {
          told_source = true;
          watch.report("unavailable: " + read.refusal);
        }
        return;
      }
      readable = true;
      if (!told_source) {
        told_source = true;
        watch.report("polling: " + why);
      }
      for (nb::handle line : read.text->attr("splitlines")()) {
        if (PySet_Contains(previous.ptr(), line.ptr()) == 1) continue;
        PySet_Add(previous.ptr(), line.ptr());
        std::string storage;
        watch.take(utf8_of(line, storage));
      }
    });
    // The poll period is a module attribute so tests need not wait ten seconds. A log that
    // cannot be read is asked again only once a minute: two refused commands each time.
  } while (!event_wait(
      stop_event,
      nb::cast<double>(host(readable ? "_DMESG_POLL_SECONDS" : "_DMESG_REFUSED_POLL_SECONDS"))));
}

nb::object dmesg_watcher_loop(nb::handle findings, nb::handle lock, nb::handle stop_event) {
  return watcher_body("kernel_log", findings, lock, stop_event, [&] {
    XidPairingScope pairing(stop_event);
    KernelWatch watch;
    watch.findings = findings;
    watch.lock = lock;
    watch.stop_event = stop_event;
    WatchContext context{stop_event, &watch.log, {}};
    WatchScope scope(context);
    // Without the GPUs' addresses an Xid is still reported, without its GPU index.
    guarded_step(watch.log, "GPU PCI addresses unavailable",
                 [&] { watch.pci_map = build_pci_index_map(); });
    std::optional<std::string> fall_back = std::string("dmesg -w failed");
    try {
      fall_back = stream_kernel_log(watch, stop_event);
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
    }
    if (fall_back && !PyObject_IsTrue(stop_event.attr("is_set")().ptr())) {
      poll_kernel_log(watch, stop_event, *fall_back);
    }
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
  int overflow = 0;
  long long index = 0;
  bool has_index = PyLong_Check(gpu_index.ptr());
  if (has_index) {
    index = PyLong_AsLongLongAndOverflow(gpu_index.ptr(), &overflow);
    if (overflow != 0 || (index == -1 && PyErr_Occurred())) {
      PyErr_Clear();
      has_index = false;
    }
  }
  long long code =
      PyLong_Check(xid.ptr()) ? PyLong_AsLongLongAndOverflow(xid.ptr(), &overflow) : -1;
  if (!PyLong_Check(xid.ptr()) || overflow != 0 || (code == -1 && PyErr_Occurred())) {
    PyErr_Clear();
    return true;  // no code to pair on
  }
  std::string gpu = mon::xid_gpu_key(pci, index, has_index);
  double window = nb::cast<double>(host("_XID_PAIRING_SECONDS"));
  double now =
      std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
  return xid_pairing().admit(stop_event.ptr(), gpu, code, source, now, window);
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
