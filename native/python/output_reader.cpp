// The job's output reader (see output_reader.hpp).
#include "output_reader.hpp"

#include <cxxabi.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "../core/common/pyfloat.hpp"
#include "../core/output/line_splitter.hpp"
#include "../core/output/output_parser.hpp"
#include "finding_record.hpp"
#include "host.hpp"
#include "monitoring_host.hpp"
#include "thread_guard.hpp"

namespace corvane::bindings {
namespace {

using namespace nb::literals;
using Clock = std::chrono::steady_clock;

}  // namespace

// Drops the oldest entries past `keep`; returns how many went.
Py_ssize_t trim_front(nb::handle list, Py_ssize_t keep) {
  Py_ssize_t n = PyList_Size(list.ptr());
  if (n <= keep) return 0;
  if (PyList_SetSlice(list.ptr(), 0, n - keep, nullptr) != 0) throw nb::python_error();
  return n - keep;
}

// Trimming in chunks keeps the cost per line constant; `exact` trims to the bound itself.
void ReaderContext::bound_lists(bool exact) {
  if (max_lines < 0) return;
  Py_ssize_t slack = exact ? 0 : std::max<Py_ssize_t>(max_lines / 4, 1024);
  for (nb::handle list : {output_lines, step_times, losses}) {
    if (PyList_Size(list.ptr()) <= max_lines + slack) continue;
    Py_ssize_t gone = trim_front(list, max_lines);
    if (list.is(output_lines)) dropped += gone;
  }
}

// The batch goes to sys.stdout (looked up each time) in one write. A UTF-8 text stream
// with a byte buffer gets the bytes directly, after its own pending text.
void ReaderContext::echo(const monitor::LineBatch& batch) {
  PyObject* out = PySys_GetObject("stdout");  // borrowed
  if (out == nullptr || out == Py_None) return;
  nb::handle stream(out);
  // On a terminal the lines keep their own ends, so "\r" redraws stay on one line; to a
  // pipe or file every line ends with "\n".
  nb::object isatty = nb::getattr(stream, "isatty", nb::none());
  std::string terminal;
  if (!isatty.is_none() && truthy(isatty())) terminal = batch.terminal_text();
  const std::string& text = terminal.empty() ? batch.text() : terminal;
  nb::object buffer = nb::getattr(stream, "buffer", nb::none());
  nb::object encoding = nb::getattr(stream, "encoding", nb::none());
  bool utf8 =
      !buffer.is_none() && !encoding.is_none() &&
      nb::str(encoding).attr("lower")().attr("replace")("-", "").attr("replace")("_", "").equal(
          nb::str("utf8"));
  if (utf8) {
    stream.attr("flush")();
    buffer.attr("write")(nb::bytes(text.data(), text.size()));
    buffer.attr("flush")();
  } else {
    stream.attr("write")(nb::str(text.data(), text.size()));
    stream.attr("flush")();
  }
}

void ReaderContext::deliver(const monitor::LineBatch& batch,
                            const std::vector<monitor::OutputLineScan>& scans) {
  std::vector<nb::object> texts;
  texts.reserve(batch.size());
  for (std::size_t i = 0; i < batch.size(); ++i) {
    std::string_view l = batch.line(i);
    nb::object text =
        nb::steal(PyUnicode_DecodeUTF8(l.data(), static_cast<Py_ssize_t>(l.size()), "replace"));
    if (!text.is_valid() || PyList_Append(output_lines.ptr(), text.ptr()) != 0) {
      throw nb::python_error();
    }
    texts.push_back(std::move(text));
  }
  try {
    echo(batch);
  } catch (nb::python_error& e) {
    // A broken console must not stop the reader: the child would block on a full pipe.
    if (!echo_failed) {
      echo_failed = true;
      host("log").attr("warning")("echo of the job's output failed: %s", nb::str(e.value()));
    }
  }
  last_output_at_ref[0] = host("time").attr("time")();
  nb::list batch_findings;
  for (std::size_t i = 0; i < batch.size(); ++i) {
    const auto& scan = scans[i];
    if (scan.any_finding()) {
      for (nb::handle f : findings_for_scan(texts[i], scan)) batch_findings.append(f);
    }
    if (scan.has_loss || scan.has_step_time) append_samples(scan, step_times, losses);
  }
  bound_lists(false);
  // One turn of the lock for the batch: the same as appending them one by one, since
  // nothing else can append between them.
  if (nb::len(batch_findings) > 0) {
    findings_lock.attr("acquire")();
    try {
      if (PyList_CheckExact(findings.ptr())) {
        PyObject* tail = PyList_GetSlice(batch_findings.ptr(), 0, PY_SSIZE_T_MAX);
        nb::object keep = nb::steal(tail);
        Py_ssize_t n = PyList_Size(findings.ptr());
        if (PyList_SetSlice(findings.ptr(), n, n, keep.ptr()) != 0) throw nb::python_error();
      } else {
        for (nb::handle f : batch_findings) findings.attr("append")(f);
      }
    } catch (...) {
      findings_lock.attr("release")();
      throw;
    }
    findings_lock.attr("release")();
    wake_runners();
  }
}

void ReaderContext::run() {
  // Entered with the GIL. After a stop request the reader still drains what the pipe
  // holds (the tail of the job's output is not lost) but gives up once the pipe stays
  // quiet, or after a bound, when a process left behind keeps it open.
  constexpr auto kQuietAfterStop = std::chrono::milliseconds(100);
  constexpr auto kDrainBound = std::chrono::milliseconds(1500);
  monitor::LineSplitter splitter;
  monitor::LineBatch lines;
  std::vector<monitor::OutputLineScan> scans;
  std::vector<char> buffer(1 << 16);
  Clock::time_point stop_seen{};
  bool stopping = false, eof = false;
  int read_errno = 0;

  PyThreadState* ts = PyEval_SaveThread();
  while (!eof) {
    if (!stopping && stop.load()) {
      stopping = true;
      stop_seen = Clock::now();
    }
    if (stopping && Clock::now() - stop_seen > kDrainBound) break;
    pollfd pfd{fd, POLLIN, 0};
    int ready = ::poll(&pfd, 1, stopping ? static_cast<int>(kQuietAfterStop.count()) : 100);
    if (ready < 0 && errno != EINTR) {
      read_errno = errno;
      break;
    }
    if (ready == 0) {
      if (stopping) break;  // quiet since the stop: whatever holds the pipe isn't the job
      continue;
    }
    if (ready < 0) continue;
    ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      eof = true;
    } else if (n == 0) {
      eof = true;
    } else {
      splitter.feed(std::string_view(buffer.data(), static_cast<std::size_t>(n)), lines);
    }
    if (eof) splitter.finish(lines);
    if (lines.empty()) continue;
    scans.clear();
    for (std::size_t i = 0; i < lines.size(); ++i) {
      scans.push_back(monitor::scan_output_line(lines.line(i)));
    }
    PyEval_RestoreThread(ts);
    try {
      deliver(lines, scans);
    } catch (nb::python_error& e) {
      // One bad batch is skipped; the pipe keeps being drained.
      try {
        log.warn("job output batch skipped: " + python_error_line(e));
      } catch (nb::python_error& inner) {
        inner.discard_as_unraisable("corvane output reader");
      }
    }
    ts = PyEval_SaveThread();
    lines.clear();
  }
  ::close(fd);
  fd = -1;
  PyEval_RestoreThread(ts);
  if (read_errno != 0) {
    // The pipe can no longer be read while the job may still run: say what is lost.
    nb::dict details;
    details["source"] = "output";
    details["error"] = nb::str(std::strerror(read_errno));
    append_finding(findings, findings_lock,
                   make_finding(nb::str("monitor_degraded"), nb::str("WARN"),
                                nb::str("The job's output is no longer watched"), details));
  }
}

PyObject* reader_entry(PyObject* capsule, PyObject*) {
  auto* ctx = static_cast<std::shared_ptr<ReaderContext>*>(
      PyCapsule_GetPointer(capsule, "corvane.output_reader"));
  if (ctx == nullptr) return nullptr;
  ReaderContext& reader = **ctx;
  try {
    reader.run();
  } catch (abi::__forced_unwind&) {
    throw;  // the host is ending this thread
  } catch (nb::python_error& e) {
    e.discard_as_unraisable("corvane output reader");
  } catch (...) {
  }
  reader.output_ended.store(true);
  wake_runners();
  try {
    reader.job_running_ref[0] = nb::bool_(false);
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (nb::python_error& e) {
    e.discard_as_unraisable("corvane output reader");
  } catch (...) {
  }
  Py_RETURN_NONE;
}

PyMethodDef reader_def = {"_output_reader", reader_entry, METH_NOARGS,
                          "Echoes and parses the job's output until it ends."};

nb::object reader_callable(const std::shared_ptr<ReaderContext>& ctx) {
  auto* holder = new std::shared_ptr<ReaderContext>(ctx);
  PyObject* capsule = PyCapsule_New(holder, "corvane.output_reader", [](PyObject* cap) {
    delete static_cast<std::shared_ptr<ReaderContext>*>(
        PyCapsule_GetPointer(cap, "corvane.output_reader"));
  });
  if (capsule == nullptr) {
    delete holder;
    throw nb::python_error();
  }
  nb::object cap = nb::steal(capsule);
  PyObject* fn = PyCFunction_NewEx(&reader_def, cap.ptr(), nullptr);
  if (fn == nullptr) throw nb::python_error();
  return nb::steal(fn);
}

}  // namespace corvane::bindings
