"""Peak memory of `corvane monitor` on a job that prints a lot.

Three jobs, each run under `corvane monitor` with the package defaults (which keep the last
100 000 output lines, at most 32 MiB of them), its echo going to /dev/null:

- stream: --gib GiB of realistic training-log lines (about 12 million per GiB), as fast
  as the child can write them;
- long line: one line of --line-mib MiB without a newline until its end (kept cut to
  1 MiB with a marker; all of it echoed and parsed);
- wide lines: --wide-count lines of --wide-kb KB each.

Prints the monitor's peak RSS (the largest of the monitor and its job, as the kernel
counts a waited-for process tree), the wall time and the rate. The target is a peak under
200 MB for each.

Run: make bench (or python bench/bench_memory.py [--gib 1.0] [--line-mib 256]
[--wide-count 3000 --wide-kb 100] [--only stream|long|wide]).
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time

from targets import check

STREAM = r"""
import sys
line = b"step 1200 | loss 2.3141 | lr 3.0e-04 | grad_norm 0.912 | 412.5 samples/s | mem 71.2 GiB\n"
block = line * 20000
total = int(float(sys.argv[1]) * (1 << 30))
out = sys.stdout.buffer
written = 0
while written < total:
    out.write(block)
    written += len(block)
out.flush()
"""

LONG_LINE = r"""
import sys
total = int(sys.argv[1]) << 20
chunk = b"x" * (1 << 20)
out = sys.stdout.buffer
for _ in range(total // len(chunk)):
    out.write(chunk)
out.write(b" loss=nan\n")
out.flush()
"""

WIDE_LINES = r"""
import sys
count, size = int(sys.argv[1]), int(sys.argv[2]) * 1000
line = b"step | " + b"y" * (size - 8) + b"\n"
out = sys.stdout.buffer
for _ in range(count):
    out.write(line)
out.flush()
"""


def run_monitor(job: str, job_args: list[str], config: str | None) -> tuple[float, float, int, str]:
    """Peak RSS (MB), wall time (s), exit status and the tail of stderr of one run."""
    with tempfile.TemporaryDirectory() as tmp:
        env = dict(os.environ, CORVANE_REGISTRY=os.path.join(tmp, "r.sqlite3"))
        cmd = [sys.executable, "-m", "corvane", "monitor",
               *(["--config", config] if config else []), "--checkpoint-dir", tmp, "--",
               sys.executable, "-c", job, *job_args]
        start = time.perf_counter()
        with open(os.devnull, "wb") as null:
            proc = subprocess.Popen(cmd, stdout=null, stderr=subprocess.PIPE, env=env)
            _, status, usage = os.wait4(proc.pid, 0)
        wall = time.perf_counter() - start
        err = proc.stderr.read().decode(errors="replace")
        proc.stderr.close()
    return usage.ru_maxrss / 1024, wall, os.waitstatus_to_exitcode(status), err[-2000:]


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--gib", type=float, default=1.0)
    ap.add_argument("--line-mib", type=int, default=256)
    ap.add_argument("--wide-count", type=int, default=3000)
    ap.add_argument("--wide-kb", type=int, default=100)
    ap.add_argument("--only", choices=("stream", "long", "wide"))
    ap.add_argument("--config", help="configuration file for corvane monitor")
    args = ap.parse_args()
    runs = {
        "stream": (f"{args.gib:g} GiB of training-log lines (about "
                   f"{args.gib * (1 << 30) / 89 / 1e6:.1f} M lines)", STREAM, [str(args.gib)],
                   args.gib * (1 << 30)),
        "long": (f"one line of {args.line_mib} MiB", LONG_LINE, [str(args.line_mib)],
                 args.line_mib * (1 << 20)),
        "wide": (f"{args.wide_count} lines of {args.wide_kb} KB", WIDE_LINES,
                 [str(args.wide_count), str(args.wide_kb)],
                 args.wide_count * args.wide_kb * 1000),
    }
    for name, (what, job, job_args, size) in runs.items():
        if args.only not in (None, name):
            continue
        peak, wall, status, err = run_monitor(job, job_args, args.config)
        check(f"{what}: peak RSS", peak, "<", 200, " MB",
              f"{what}: peak RSS {peak:.0f} MB, wall {wall:.1f} s, "
              f"{size / wall / (1 << 20):.0f} MiB/s, exit {status}")
        if status != 0:
            print(err)


if __name__ == "__main__":
    main()
