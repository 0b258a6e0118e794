// The kernel-log watcher and the training hook monitor: two of the job's background threads,
// and the helpers they share with the host (PCI addresses, value coercion, statistics).
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
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "../monitor/hook_json.hpp"
#include "../monitor/kernel_log.hpp"
#include "../monitor/line_splitter.hpp"
#include "../monitor/peer_analysis.hpp"
#include "finding_record.hpp"
#include "host_text.hpp"
#include "monitor_shared.hpp"
#include "settings.hpp"
#include "thread_guard.hpp"

namespace corvane::bindings {
namespace {

using namespace nb::literals;
namespace mon = corvane::monitor;

nb::object import(const char* name) { return nb::module_::import_(name); }
nb::str str_of(std::string_view s) { return nb::str(s.data(), s.size()); }

bool event_wait(nb::handle event, double seconds) {
  return PyObject_IsTrue(blocking_method(event, "wait", seconds).ptr()) == 1;
}

// A host str as bytes that tell any two strs apart: UTF-8, lone surrogates kept as such.
std::string exact_utf8(nb::handle str) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str.ptr(), &size);
  if (data != nullptr) return std::string(data, static_cast<std::size_t>(size));
  PyErr_Clear();
  nb::object raw = nb::steal(PyUnicode_AsEncodedString(str.ptr(), "utf-8", "surrogatepass"));
  char* bytes = nullptr;
  Py_ssize_t n = 0;
  if (!raw.is_valid() || PyBytes_AsStringAndSize(raw.ptr(), &bytes, &n) != 0) {
    throw nb::python_error();
  }
  return std::string(bytes, static_cast<std::size_t>(n));
}

nb::str from_exact_utf8(std::string_view text) {
  PyObject* s =
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
  if (s == nullptr) throw nb::python_error();
  return nb::steal<nb::str>(s);
}

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

// Closes a descriptor on every way out of a scope.
struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) ::close(fd);
  }
};

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

namespace {

// -- the hook monitor ---------------------------------------------------------------------

constexpr std::size_t kMaxHookLineBytes = std::size_t{1} << 20;
constexpr std::size_t kReadChunk = std::size_t{1} << 20;
constexpr std::size_t kMaxBytesPerPass = std::size_t{64} << 20;
constexpr std::size_t kMaxHostDecodedBytes = std::size_t{64} << 10;

// `convert(value)` (the host's int() or float()), or `fallback` when the value does not
// convert (overflow included).
nb::object coerce(nb::handle value, nb::handle fallback, PyObject* (*convert)(PyObject*)) {
  PyObject* r = convert(value.ptr());
  if (r != nullptr) return nb::steal(r);
  if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError) ||
      PyErr_ExceptionMatches(PyExc_OverflowError)) {
    PyErr_Clear();
    return nb::borrow(fallback);
  }
  throw nb::python_error();
}

nb::object coerce_int(nb::handle value, nb::handle fallback) {
  if (PyLong_CheckExact(value.ptr())) return nb::borrow(value);
  return coerce(value, fallback, PyNumber_Long);
}

nb::object coerce_float(nb::handle value, nb::handle fallback) {
  if (PyFloat_CheckExact(value.ptr())) return nb::borrow(value);
  return coerce(value, fallback, PyNumber_Float);
}

nb::object coerce_hook_int(nb::handle value, nb::handle fallback) {
  if (!fallback.is_none() && !PyLong_Check(fallback.ptr())) {
    raise_type("default", "an int or None", fallback);
  }
  return coerce_int(value, fallback);
}

nb::object coerce_hook_float(nb::handle value, nb::handle fallback) {
  nb::object f = nb::none();
  if (!fallback.is_none()) {
    if (!PyLong_Check(fallback.ptr()) && !PyFloat_Check(fallback.ptr())) {
      raise_type("default", "a number or None", fallback);
    }
    f = nb::steal(PyNumber_Float(fallback.ptr()));
    if (!f.is_valid()) throw nb::python_error();
  }
  return coerce_float(value, f);
}

std::optional<double> as_optional_double(nb::handle v) {
  nb::object f = coerce_float(v, nb::none());
  if (f.is_none()) return std::nullopt;
  return PyFloat_AsDouble(f.ptr());
}

nb::object host_median(nb::handle values) {
  if (!PyList_Check(values.ptr())) raise_type("values", "a list", values);
  nb::list ordered = nb::borrow<nb::list>(import("builtins").attr("sorted")(values));
  Py_ssize_t n = nb::len(ordered), middle = n / 2;
  if (n == 0) throw nb::index_error("_median() of an empty list");
  if (n % 2 == 1) return ordered[middle];
  nb::object sum = nb::steal(PyNumber_Add(ordered[middle - 1].ptr(), ordered[middle].ptr()));
  if (!sum.is_valid()) throw nb::python_error();
  nb::object out = nb::steal(PyNumber_TrueDivide(sum.ptr(), nb::float_(2.0).ptr()));
  if (!out.is_valid()) throw nb::python_error();
  return out;
}

nb::object host_stdev(nb::handle values, nb::handle mean) {
  if (!PyList_Check(values.ptr())) raise_type("values", "a list", values);
  Py_ssize_t n = nb::len(values);
  if (n < 2) return nb::float_(0.0);
  nb::list squares;
  for (nb::handle v : values) {
    nb::object d = nb::steal(PyNumber_Subtract(v.ptr(), mean.ptr()));
    if (!d.is_valid()) throw nb::python_error();
    nb::object sq = nb::steal(PyNumber_Power(d.ptr(), nb::int_(2).ptr(), Py_None));
    if (!sq.is_valid()) throw nb::python_error();
    squares.append(sq);
  }
  nb::object total = import("builtins").attr("sum")(squares);
  nb::object var = nb::steal(PyNumber_TrueDivide(total.ptr(), nb::int_(n).ptr()));
  if (!var.is_valid()) throw nb::python_error();
  nb::object out = nb::steal(PyNumber_Power(var.ptr(), nb::float_(0.5).ptr(), Py_None));
  if (!out.is_valid()) throw nb::python_error();
  return out;
}

// -- reports read natively ----------------------------------------------------------------

// float() of a JSON number literal, as the host's decoder and float() give it.
double json_number(const mon::JsonScalar& v) {
  double d = 0.0;
  auto [ptr, ec] = std::from_chars(v.text.data(), v.text.data() + v.text.size(), d);
  if (ec != std::errc() || ptr != v.text.data() + v.text.size()) {
    static locale_t c_locale = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
    std::string copy(v.text);
    d = strtod_l(copy.c_str(), nullptr, c_locale);  // saturates to inf like the host
  }
  if (v.kind == mon::JsonScalar::kInt && d == 0.0) d = 0.0;  // int("-0") is 0
  return d;
}

// _coerce_hook_float of a simple JSON value; nullopt where the host gives the default.
std::optional<double> json_float(const mon::JsonScalar& v) {
  switch (v.kind) {
    case mon::JsonScalar::kTrue:
      return 1.0;
    case mon::JsonScalar::kFalse:
      return 0.0;
    case mon::JsonScalar::kInt:
    case mon::JsonScalar::kFloat:
      return json_number(v);
    default:
      return std::nullopt;  // absent, null, containers: TypeError
  }
}

enum class IntResult { kValue, kDefault, kTooBig };

// _coerce_hook_int of a simple JSON value.
IntResult json_int(const mon::JsonScalar& v, std::int64_t* out) {
  switch (v.kind) {
    case mon::JsonScalar::kTrue:
      *out = 1;
      return IntResult::kValue;
    case mon::JsonScalar::kFalse:
      *out = 0;
      return IntResult::kValue;
    case mon::JsonScalar::kInt: {
      auto [ptr, ec] = std::from_chars(v.text.data(), v.text.data() + v.text.size(), *out);
      return ec == std::errc() ? IntResult::kValue : IntResult::kTooBig;
    }
    case mon::JsonScalar::kFloat: {
      double d = json_number(v);
      if (!std::isfinite(d)) return IntResult::kDefault;  // int(inf) overflows: the default
      double t = std::trunc(d);
      if (!(t >= -9.2233720368547758e18 && t < 9.2233720368547758e18)) return IntResult::kTooBig;
      *out = static_cast<std::int64_t>(t);
      return IntResult::kValue;
    }
    default:
      return IntResult::kDefault;
  }
}

// The host value of a simple JSON scalar (for str() of a published phase).
nb::object json_host_value(const mon::JsonScalar& v) {
  switch (v.kind) {
    case mon::JsonScalar::kTrue:
      return nb::bool_(true);
    case mon::JsonScalar::kFalse:
      return nb::bool_(false);
    case mon::JsonScalar::kString:
      return str_of(v.text);
    case mon::JsonScalar::kInt: {
      std::string text(v.text);
      return nb::steal(PyLong_FromString(text.c_str(), nullptr, 10));
    }
    case mon::JsonScalar::kFloat:
      return nb::float_(json_number(v));
    default:
      return nb::none();
  }
}

// The peer analysis with the thresholds of the configuration's "monitor" section.
// The median of samples holding NaN is the host's. `*released` is the thread's state while
// the analysis runs without the interpreter: it is taken back for the host's median.
mon::PeerAnalyzer peer_analyzer(nb::handle config, LogOnce& log, PyThreadState** released) {
  Settings monitor = Settings(config, "", log).section("monitor", true);
  return mon::PeerAnalyzer(monitor.number("rank_divergence_threshold", 2.0, 2.0),
                           monitor.number("rank_straggler_threshold", 0.1, 0.1),
                           [released](const std::vector<double>& values) {
                             PyThreadState* state = *released;
                             *released = nullptr;
                             if (state != nullptr) restore_thread(state);
                             nb::list items;
                             for (double v : values) items.append(v);
                             double median = nb::cast<double>(host_median(items));
                             if (state != nullptr) *released = PyEval_SaveThread();
                             return median;
                           });
}

// Longer lines are read, and reports with more phases analysed, without holding the
// interpreter.
constexpr std::size_t kBytesWithInterpreter = std::size_t{16} << 10;
constexpr std::size_t kPhasesWithInterpreter = 512;

struct HookWatch {
  nb::handle findings, lock, training_state;
  LogOnce log;
  PyThreadState* released = nullptr;  // while the analysis runs without the interpreter
  mon::PeerAnalyzer analyzer;
  nb::object json_loads = import("json").attr("loads");
  nb::object clock;                // the module's time.time, taken at each pass
  bool host_decoder_only = false;  // for tests: every line through json.loads

  // Reading state: where the consumed part of the file ends, which file it was, and a
  // line still being written (or being skipped for its size).
  std::int64_t offset = 0;
  dev_t dev = 0;
  ino_t ino = 0;
  bool known = false;
  std::string partial;
  bool skipping = false;
  bool partial_consumed = false;  // an unterminated line was taken as a complete object

  // When each rank's report was last read, for the count of fresh ranks. Bounded: a file
  // naming more ranks than any job has is not followed rank by rank.
  static constexpr std::size_t kMaxTrackedRanks = std::size_t{1} << 16;
  std::map<std::int64_t, double> rank_seen;

  void saw_rank(std::int64_t rank, double now) {
    if (rank_seen.size() < kMaxTrackedRanks || rank_seen.count(rank) != 0) rank_seen[rank] = now;
  }

  // Ranks read within the peer analysis's freshness window; the others are forgotten.
  std::size_t fresh_ranks(double now) {
    for (auto it = rank_seen.begin(); it != rank_seen.end();) {
      it = now - it->second > mon::kFreshSeconds ? rank_seen.erase(it) : std::next(it);
    }
    return rank_seen.size();
  }

  HookWatch(nb::handle f, nb::handle l, nb::handle state, nb::handle config)
      : findings(f),
        lock(l),
        training_state(state),
        analyzer(peer_analyzer(config, log, &released)) {}

  // Decodes one report; None when the line is not a JSON object.
  nb::object decode(std::string_view raw) {
    nb::object text =
        nb::steal(PyUnicode_DecodeUTF8(raw.data(), static_cast<Py_ssize_t>(raw.size()), "replace"));
    if (!text.is_valid()) throw nb::python_error();
    // The usual report is "{...}" with nothing around it: no need to strip that.
    if (raw.empty() || raw.front() != '{' || raw.back() != '}') text = text.attr("strip")();
    if (nb::len(text) == 0) return nb::none();
    try {
      nb::object payload = json_loads(text);
      return PyDict_Check(payload.ptr()) ? payload : nb::none();
    } catch (nb::python_error& e) {
      // Garbage, a half line, or nesting too deep for the decoder: not a report.
      if (e.matches(PyExc_Exception)) return nb::none();
      throw;
    }
  }

  void handle_report(nb::dict payload) {
    if (!clock.is_valid()) clock = host("time").attr("time");
    handle_report(payload, nb::cast<double>(clock()));
  }

  // A value of the report, None when absent.
  static nb::handle field(nb::handle payload, const char* key) {
    PyObject* v = PyDict_GetItemString(payload.ptr(), key);  // borrowed
    return v != nullptr ? nb::handle(v) : nb::handle(Py_None);
  }

  void handle_report(nb::dict payload, double now) {
    nb::object rank = coerce_int(field(payload, "rank"), nb::int_(0));
    nb::object ts = coerce_float(field(payload, "timestamp"), nb::float_(now));

    int overflow = 0;
    long long rank_value = PyLong_AsLongLongAndOverflow(rank.ptr(), &overflow);
    if (overflow != 0) return;  // a rank beyond 64 bits is no rank of this job
    saw_rank(rank_value, now);

    if (!training_state.is_none() && rank_value == 0) {
      nb::handle phase = field(payload, "phase");
      if (!phase.is_none()) training_state["phase"] = nb::str(phase);
      nb::handle step = field(payload, "step");
      if (!step.is_none()) {
        nb::object s = coerce_int(step, nb::none());
        if (!s.is_none()) training_state["step"] = s;
      }
    }

    mon::HookReport report;
    report.rank = rank_value;
    report.timestamp = PyFloat_AsDouble(ts.ptr());
    report.gradient_norm = as_optional_double(field(payload, "gradient_norm"));
    report.step_time = as_optional_double(field(payload, "step_time"));
    nb::handle phases = field(payload, "phase_times");
    if (PyDict_Check(phases.ptr())) {
      report.has_phase_map = true;
      std::size_t position = 0;
      for (auto [key, value] : nb::borrow<nb::dict>(phases)) {
        nb::str name(key);
        std::string name_text = exact_utf8(name);
        // float(None) fails like any other unconvertible value: one conversion serves both.
        std::optional<double> duration = as_optional_double(value);
        if (position < mon::kMaxPhasesPerPayload) {
          mon::PhaseEntry entry;
          entry.name_too_long = static_cast<std::size_t>(nb::len(name)) > mon::kMaxPhaseNameChars;
          if (!entry.name_too_long) {
            entry.name = name_text;
            entry.duration = duration;
          }
          report.first_phases.push_back(std::move(entry));
        }
        ++position;
        if (duration) report.phase_values[std::move(name_text)] = *duration;
      }
    }

    for (auto& d : analyzer.add(std::move(report), now)) emit(d);
  }

  static nb::object optional_float(const std::optional<double>& v) {
    return v ? nb::object(nb::float_(*v)) : nb::none();
  }

  void emit(const mon::Detection& d) {
    nb::list peers;
    for (auto r : d.peer_ranks) peers.append(r);
    nb::dict details;
    details["rank"] = d.rank;
    nb::str summary;
    const char* kind;
    switch (d.kind) {
      case mon::Detection::kRankDivergence:
        kind = "rank_divergence";
        details["gradient_norm"] = d.value;
        details["median_gradient_norm"] = optional_float(d.median);
        details["z_score"] = optional_float(d.score);
        details["ratio_trigger"] = d.ratio_trigger;
        summary = nb::str("Rank {} gradient norm diverged from peers").format(d.rank);
        break;
      case mon::Detection::kRankStraggler:
        kind = "rank_straggler";
        details["step_time"] = d.value;
        details["median_step_time"] = optional_float(d.median);
        details["slowdown_pct"] = optional_float(d.score);
        summary = nb::str("Rank {} is consistently slower than peers").format(d.rank);
        break;
      default:
        kind = "phase_straggler";
        details["phase"] = from_exact_utf8(d.phase);
        details["duration"] = d.value;
        details["median_duration"] = optional_float(d.median);
        details["slowdown_pct"] = optional_float(d.score);
        summary = nb::str("Rank {} is slower than peers in {}").format(d.rank, details["phase"]);
        break;
    }
    details["peer_ranks"] = peers;
    if (d.kind == mon::Detection::kRankDivergence) details["non_finite"] = d.non_finite;
    append_finding(findings, lock, make_finding(nb::str(kind), nb::str("WARN"), summary, details));
  }

  // One line of the file; true when it was a report.
  bool handle_line(std::string_view raw) {
    mon::FastHookReport fast;
    mon::FastParse parsed = mon::FastParse::kNeedHost;
    if (host_decoder_only) {
    } else if (raw.size() > kBytesWithInterpreter) {
      parsed = without_gil([&] { return mon::parse_hook_line(raw, &fast); });
    } else {
      parsed = mon::parse_hook_line(raw, &fast);
    }
    switch (parsed) {
      case mon::FastParse::kNotReport:
        return false;
      case mon::FastParse::kReport:
        if (handle_fast(fast)) return true;
        break;  // a shape only the host can read exactly
      case mon::FastParse::kNeedHost:
        break;
    }
    // The host decoder holds the interpreter for the whole line: past a bound (far beyond
    // any real report) such a line is skipped rather than stalling the job's other threads.
    if (raw.size() > kMaxHostDecodedBytes) {
      log.warn("hook lines over " + std::to_string(kMaxHostDecodedBytes >> 10) +
               " KiB that only the full JSON decoder reads are skipped");
      return false;
    }
    nb::object payload = decode(raw);
    if (payload.is_none()) return false;
    handle_report(nb::borrow<nb::dict>(payload));
    return true;
  }

  // A line that cannot be handled is logged and skipped; reading goes on.
  bool take(std::string_view raw) {
    bool report = false;
    guarded_step(log, "hook line skipped", [&] { report = handle_line(raw); });
    return report;
  }

  // A report read natively; false when it needs the host decoder after all.
  bool handle_fast(const mon::FastHookReport& f) {
    std::int64_t rank = 0;
    switch (json_int(f.rank, &rank)) {
      case IntResult::kTooBig:
        return true;  // a rank beyond 64 bits is no rank of this job
      case IntResult::kDefault:
        rank = 0;
        break;
      case IntResult::kValue:
        break;
    }
    if (rank == 0 && f.phase.kind == mon::JsonScalar::kContainer && !training_state.is_none()) {
      return false;  // str() of a decoded object: the host's
    }
    if (!clock.is_valid()) clock = host("time").attr("time");
    double now = nb::cast<double>(clock());
    saw_rank(rank, now);

    if (!training_state.is_none() && rank == 0) {
      if (f.phase.kind != mon::JsonScalar::kAbsent && f.phase.kind != mon::JsonScalar::kNull) {
        training_state["phase"] = nb::str(json_host_value(f.phase));
      }
      std::int64_t step = 0;
      if (json_int(f.step, &step) == IntResult::kValue) {
        training_state["step"] = step;
      } else if (json_int(f.step, &step) == IntResult::kTooBig) {
        // Beyond 64 bits: the host's int() of it, as a big int.
        training_state["step"] = f.step.kind == mon::JsonScalar::kInt
                                     ? json_host_value(f.step)
                                     : nb::steal(PyLong_FromDouble(json_number(f.step)));
      }
    }

    // Building the report and analysing it touch no host object: a report with very many
    // phases is taken through them without holding the interpreter.
    auto analyse = [&] { return analyzer.add(fast_report(f, rank, now), now); };
    std::vector<mon::Detection> found;
    if (f.phase_entries.size() > kPhasesWithInterpreter) {
      released = PyEval_SaveThread();
      try {
        found = analyse();
      } catch (abi::__forced_unwind&) {
        throw;
      } catch (...) {
        if (released != nullptr) restore_thread(std::exchange(released, nullptr));
        throw;
      }
      restore_thread(std::exchange(released, nullptr));
    } else {
      found = analyse();
    }
    for (auto& d : found) emit(d);
    return true;
  }

  static mon::HookReport fast_report(const mon::FastHookReport& f, std::int64_t rank, double now) {
    mon::HookReport report;
    report.rank = rank;
    report.timestamp = json_float(f.timestamp).value_or(now);
    report.gradient_norm = json_float(f.gradient_norm);
    report.step_time = json_float(f.step_time);
    if (f.phase_times.kind == mon::JsonScalar::kContainer && f.phase_times.text.front() == '{') {
      report.has_phase_map = true;
      std::size_t position = 0;
      for (const auto& [name, value] : f.phase_entries) {
        std::optional<double> duration = json_float(value);
        if (position < mon::kMaxPhasesPerPayload) {
          mon::PhaseEntry entry;
          entry.name_too_long = name.size() > mon::kMaxPhaseNameChars;  // ASCII: bytes are chars
          if (!entry.name_too_long) {
            entry.name = std::string(name);
            entry.duration = duration;
          }
          report.first_phases.push_back(std::move(entry));
        }
        ++position;
        if (duration) report.phase_values[std::string(name)] = *duration;
      }
    }
    return report;
  }

  // One pass over what was appended since the last one.
  void pass(const std::string& path) {
    clock = host("time").attr("time");
    struct stat st {};
    int err = 0;
    // A file on a slow or stuck filesystem is waited for without the interpreter.
    int fd = without_gil([&] {
      int opened = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (opened < 0) {
        err = errno;
      } else if (::fstat(opened, &st) != 0) {
        err = errno;
      }
      return opened;
    });
    FdCloser closer{fd};
    if (fd < 0 && err == ENOENT) return;  // not written yet
    if (fd < 0 || err != 0) {
      log.warn("cannot read the hook file " + path + ": " + std::strerror(err));
      return;  // retried at the next pass
    }
    // A file replaced, or cut shorter than what was read, is read again from its start.
    if (!known || st.st_dev != dev || st.st_ino != ino || st.st_size < offset) {
      offset = 0;
      partial.clear();
      skipping = false;
      partial_consumed = false;
    }
    known = true;
    dev = st.st_dev;
    ino = st.st_ino;

    std::vector<char> buffer(kReadChunk);
    std::size_t read_this_pass = 0;
    while (read_this_pass < kMaxBytesPerPass) {
      ssize_t n = without_gil([&] {
        ssize_t got;
        do {
          got = ::pread(fd, buffer.data(), buffer.size(), offset);
        } while (got < 0 && errno == EINTR);
        if (got < 0) err = errno;
        return got;
      });
      if (n < 0) {
        log.warn("cannot read the hook file " + path + ": " + std::strerror(err));
        break;
      }
      if (n == 0) break;
      offset += n;
      read_this_pass += static_cast<std::size_t>(n);
      consume(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
    }
    // A last line without its end: taken now only if it already is a whole JSON object,
    // else kept for the next pass, when its writer will have finished it.
    if (!skipping && !partial.empty() && !partial_consumed && take(partial)) {
      partial_consumed = true;
    }
  }

  void consume(std::string_view chunk) {
    std::size_t start = 0;
    while (start < chunk.size()) {
      std::size_t nl = chunk.find('\n', start);
      std::string_view piece =
          chunk.substr(start, nl == std::string_view::npos ? std::string_view::npos : nl - start);
      if (nl == std::string_view::npos) {
        if (!skipping) {
          partial.append(piece);
          if (partial.size() > kMaxHookLineBytes) {
            // Too long to be a report: drop it without holding it, up to its end.
            partial.clear();
            partial.shrink_to_fit();
            skipping = true;
          }
        }
        return;
      }
      if (skipping) {
        skipping = false;
      } else if (partial.empty()) {
        if (piece.size() <= kMaxHookLineBytes) take(piece);
      } else {
        partial.append(piece);
        if (!partial_consumed && partial.size() <= kMaxHookLineBytes) take(partial);
        partial.clear();
      }
      partial_consumed = false;
      start = nl + 1;
    }
  }
};

nb::object hook_monitor_loop(nb::handle hook_path, nb::handle config, nb::handle findings,
                             nb::handle lock, nb::handle stop_event, nb::handle training_state) {
  if (!training_state.is_none() && !PyDict_Check(training_state.ptr())) {
    raise_type("training_state", "a dict or None", training_state);
  }
  return watcher_body("hooks", findings, lock, stop_event, [&] {
    HookWatch watch(findings, lock, training_state, config);
    nb::bytes raw_path(import("os").attr("fsencode")(hook_path));
    std::string path(raw_path.c_str(), raw_path.size());
    while (!event_wait(stop_event, 1.0)) {
      guarded_step(watch.log, "hook file pass failed", [&] { watch.pass(path); });
      if (!training_state.is_none()) {
        guarded_step(watch.log, "fresh ranks not published", [&] {
          double now = nb::cast<double>(host("time").attr("time")());
          training_state["hook_ranks_fresh"] = watch.fresh_ranks(now);
        });
      }
    }
    return nb::none();
  });
}

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

// Runs reports (already decoded maps) through the hook monitor's analysis with the given
// clock readings; for tests and benchmarks. Returns the findings.
nb::list hook_replay(nb::handle payloads, nb::handle config, nb::handle nows,
                     nb::handle training_state) {
  nb::list findings;
  nb::object lock = import("threading").attr("Lock")();
  HookWatch watch(findings, lock, training_state, config);
  nb::object now_iter = nb::iter(nows);
  for (nb::handle payload : payloads) {
    double now = nb::cast<double>(now_iter.attr("__next__")());
    if (PyDict_Check(payload.ptr())) watch.handle_report(nb::borrow<nb::dict>(payload), now);
  }
  return findings;
}

// Runs hook-file lines through the monitor's line handling with a fixed clock; for tests
// that compare the native reading with the host decoder. Returns the findings.
nb::list hook_replay_lines(nb::handle lines, nb::handle config, double now,
                           nb::handle training_state, bool host_decoder_only) {
  nb::list findings;
  nb::object lock = import("threading").attr("Lock")();
  HookWatch watch(findings, lock, training_state, config);
  watch.host_decoder_only = host_decoder_only;
  watch.clock = nb::cpp_function([now]() { return now; });
  for (nb::handle line : lines) {
    std::string storage;
    watch.handle_line(utf8_of(line, storage));
  }
  return findings;
}

}  // namespace

void bind_watchers(nb::module_& m) {
  m.def("_hook_replay_lines", &hook_replay_lines, "lines"_a, "config"_a, "now"_a,
        "training_state"_a.none() = nb::none(), "host_decoder_only"_a = false);
  m.attr("_DMESG_POLL_SECONDS") = 10.0;
  m.attr("_DMESG_REFUSED_POLL_SECONDS") = 60.0;
  // Reports of one Xid by the kernel log and by NVML this close together are one finding.
  m.attr("_XID_PAIRING_SECONDS") = 60.0;
  m.def("_hook_replay", &hook_replay, "payloads"_a, "config"_a, "nows"_a,
        "training_state"_a.none() = nb::none());
  // The two thread bodies, and the address map that asks the tool: see def_plain.
  using Args = const std::vector<nb::handle>&;
  def_plain(
      m, "_dmesg_watcher_loop", {{"findings", {}}, {"findings_lock", {}}, {"stop_event", {}}},
      [](Args a) {
        return while_active(a[2], [&] { return dmesg_watcher_loop(a[0], a[1], a[2]); });
      },
      "Kernel-log thread: GPU driver Xid reports and PCIe AER errors become findings.");
  def_plain(
      m, "_hook_monitor_loop",
      {{"hook_path", {}},
       {"config", {}},
       {"findings", {}},
       {"findings_lock", {}},
       {"stop_event", {}},
       {"training_state", nb::none()}},
      [](Args a) {
        return while_active(a[4],
                            [&] { return hook_monitor_loop(a[0], a[1], a[2], a[3], a[4], a[5]); });
      },
      "Hook-file thread: tails the ranks' reports, publishes rank 0's phase and step, "
      "and reports diverging and straggling ranks.");
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

  nb::list phases;
  for (const char* p :
       {"forward-compute", "backward-compute", "forward-send", "backward-recv", "cross-mesh-send",
        "cross-mesh-recv", "unshard-all-gather", "grad-reduce-scatter", "grad-all-reduce"}) {
    phases.append(p);
  }
  m.attr("HOOK_PHASES") = nb::tuple(phases);
  m.attr("MAX_HOOK_PHASES_PER_PAYLOAD") = mon::kMaxPhasesPerPayload;
  m.attr("MAX_HOOK_PHASE_NAME_CHARS") = mon::kMaxPhaseNameChars;

  m.def("_normalize_pci_address", &normalize_pci_address, "value"_a.none());
  m.def("_coerce_hook_int", &coerce_hook_int, "value"_a.none(), "default"_a.none() = nb::none());
  m.def("_coerce_hook_float", &coerce_hook_float, "value"_a.none(),
        "default"_a.none() = nb::none());
  m.def("_median", &host_median, "values"_a.none());
  m.def("_stdev", &host_stdev, "values"_a.none(), "mean"_a.none());
  m.def("_native_kernel_search", &native_kernel_search, "name"_a, "line"_a);
}

}  // namespace corvane::bindings
