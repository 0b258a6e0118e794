// The job's output reader (see output_reader.hpp).
#include "output_reader.hpp"

#include <cxxabi.h>

#include <cstring>
#include <string>
#include <vector>

#include "../core/output/output_findings.hpp"
#include "../core/output/pipe_reader.hpp"
#include "finding_record.hpp"
#include "host.hpp"
#include "monitoring_host.hpp"

namespace corvane::bindings {

void ReaderContext::bound_lists(bool exact) {
  for (nb::handle list : {output_lines, step_times, losses}) {
    auto size = static_cast<std::size_t>(PyList_Size(list.ptr()));
    std::size_t drop = monitor::entries_to_drop(size, max_lines, exact);
    if (list.is(output_lines)) drop = kept.drop(drop, exact);
    auto gone = static_cast<Py_ssize_t>(drop);
    if (gone == 0) continue;
    if (PyList_SetSlice(list.ptr(), 0, gone, nullptr) != 0) throw nb::python_error();
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
  std::string joined;
  if (terminal.empty() && batch.has_cut()) joined = batch.joined_text();
  const std::string& text = !terminal.empty() ? terminal : batch.has_cut() ? joined : batch.text();
  nb::object buffer = nb::getattr(stream, "buffer", nb::none());
  nb::object encoding = nb::getattr(stream, "encoding", nb::none());
  if (!buffer.is_none() && !encoding.is_none() &&
      monitor::is_utf8_name(exact_utf8(nb::str(encoding)))) {
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
    if (!text.is_valid()) throw nb::python_error();
    // Of a line too long to hold, its first piece is kept, with a marker; the rest is
    // echoed and parsed only.
    bool continued = in_long_line;
    in_long_line = batch.cut(i);
    if (!continued) {
      nb::object kept_text = text;
      std::size_t bytes = l.size();
      if (batch.cut(i)) {
        static constexpr char kMarker[] = " [corvane: line longer than 1 MiB, cut here]";
        kept_text = text + nb::str(kMarker);
        bytes += sizeof(kMarker) - 1;
      }
      if (PyList_Append(output_lines.ptr(), kept_text.ptr()) != 0) throw nb::python_error();
      kept.add(bytes);
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
    if (scan.has_loss) {
      if (auto spike = loss_watch.add(scan.loss_value)) {
        batch_findings.append(finding_of(*spike, {texts[i]}));
      }
    }
  }
  bound_lists(false);
  // One turn of the lock for the batch: the same as appending them one by one, since
  // nothing else can append between them.
  if (nb::len(batch_findings) == 0) return;
  with_lock(findings_lock, [&] {
    if (!PyList_CheckExact(findings.ptr())) {
      for (nb::handle f : batch_findings) findings.attr("append")(f);
      return;
    }
    Py_ssize_t n = PyList_Size(findings.ptr());
    if (PyList_SetSlice(findings.ptr(), n, n, batch_findings.ptr()) != 0) throw nb::python_error();
  });
  wake_runners();
}

void ReaderContext::run() {
  // Entered with the GIL; the pipe is read and split without it, each batch delivered
  // with it.
  PyThreadState* ts = PyEval_SaveThread();
  int read_errno =
      monitor::read_pipe(fd, stop, [&](const monitor::LineBatch& lines, const auto& scans) {
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
      });
  fd = -1;
  PyEval_RestoreThread(ts);
  if (read_errno != 0) {
    append_finding(findings, findings_lock,
                   finding_of(monitor::output_lost_finding(std::strerror(read_errno))));
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
