// The job's output reader: reads the job's pipe without the GIL, echoes, records and
// parses each batch of lines, and keeps the recorded lists bounded.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <vector>

#include "../core/output/line_splitter.hpp"
#include "../core/output/loss_watch.hpp"
#include "../core/output/output_parser.hpp"
#include "../core/output/pipe_reader.hpp"
#include "thread_guard.hpp"

namespace corvane::bindings {

// The output reader. It runs on a host daemon thread whose target is a plain CPython
// function (not a nanobind one): at interpreter shutdown the host may end such a thread
// by unwinding its stack, and nothing on the way may swallow that. No host object lives
// on the reader's stack while it waits without the GIL.

struct ReaderContext {
  int fd = -1;  // the reader's own descriptor for the pipe
  std::atomic<bool> stop{false};
  std::atomic<bool> output_ended{false};
  nb::object output_lines, step_times, losses, last_output_at_ref, job_running_ref;
  nb::object findings, findings_lock;
  bool echo_failed = false;
  LogOnce log;
  // The most recent lines kept in output_lines (and samples in the two sample lists); -1
  // keeps all. The lists may run up to a slack past the bound between trims.
  Py_ssize_t max_lines = -1;
  Py_ssize_t dropped = 0;
  monitor::LossWatch loss_watch{10.0};
  // The kept lines' bytes; a line longer than LineSplitter::kMaxLineBytes comes in pieces,
  // of which the first is kept (with a marker) and the rest only echoed and parsed.
  monitor::KeptBytes kept;
  bool in_long_line = false;

  // With the GIL: echo, record and parse one batch of lines.
  void deliver(const monitor::LineBatch& batch, const std::vector<monitor::OutputLineScan>& scans);
  void echo(const monitor::LineBatch& batch);
  void bound_lists(bool exact);
  void run();
};

// The reader's thread target: a host callable that runs `ctx` until its pipe ends or it is
// stopped.
nb::object reader_callable(const std::shared_ptr<ReaderContext>& ctx);

}  // namespace corvane::bindings
