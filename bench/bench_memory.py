"""Peak memory of `corvane monitor` on a job that prints a lot.

A child writes --gib GiB of realistic training-log lines (about 12 million per GiB) as
fast as it can; `corvane monitor` runs it with the package defaults (which keep the last
100 000 output lines), its echo going to /dev/null. Prints the monitor's peak RSS, the wall
time and the line rate. The target is a peak under 200 MB for 1 GiB.

Run: make bench (or python bench/bench_memory.py [--gib 1.0]).
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time

JOB = r"""
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


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--gib", type=float, default=1.0)
    ap.add_argument("--config", help="configuration file for corvane monitor")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        env = dict(os.environ, CORVANE_REGISTRY=os.path.join(tmp, "r.sqlite3"))
        cmd = [sys.executable, "-m", "corvane", "monitor", *(["--config", args.config] if args.config else []),
               "--checkpoint-dir", tmp, "--",
               sys.executable, "-c", JOB, str(args.gib)]
        start = time.perf_counter()
        with open(os.devnull, "wb") as null:
            proc = subprocess.Popen(cmd, stdout=null, stderr=subprocess.PIPE, env=env)
            _, status, usage = os.wait4(proc.pid, 0)
        wall = time.perf_counter() - start
        proc.returncode = os.waitstatus_to_exitcode(status)
        err = proc.stderr.read().decode(errors="replace")
        proc.stderr.close()
    lines = int(args.gib * (1 << 30)) // 89
    print(f"job output: {args.gib:g} GiB, about {lines / 1e6:.1f} M lines; exit {proc.returncode}")
    print(f"corvane monitor peak RSS (with the job's): {usage.ru_maxrss / 1024:.0f} MB")
    print(f"wall {wall:.1f} s, {lines / wall / 1e6:.2f} M lines/s")
    if proc.returncode != 0:
        print(err[-2000:])


if __name__ == "__main__":
    main()
