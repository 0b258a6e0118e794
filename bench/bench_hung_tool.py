"""`corvane monitor` while nvidia-smi hangs: how long after the job's exit the monitor ends.

The fake nvidia-smi of the tests hangs on every query (its hang file exists); the tools'
time-outs are the real ones (15 s and 10 s for the queries, 10 s for the inventory). The
job prints, sleeps, writes the time of its end and exits. Figures per run:

- start delay: from starting `corvane monitor` to the job's start (the runner's setup asks
  for the GPU inventory once before the job starts);
- end delay: from the job's exit to the end of the `corvane monitor` process (delivery,
  stopping the threads and their tool queries, the summary, the interpreter's exit).

Target: the end delay stays about 1 s or less, whatever the tools do.

Run: python bench/bench_hung_tool.py [--runs N] [--job-seconds S]
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
FAKES = ROOT / "tests" / "fakes" / "bin"
RECORDINGS = ROOT / "tests" / "fixtures" / "nvidia-smi"

JOB = """
import sys, time
open(sys.argv[1], "w").write(repr(time.time()))
print("training", flush=True)
time.sleep(float(sys.argv[3]))
open(sys.argv[2], "w").write(repr(time.time()))
"""


def run(job_seconds: float) -> tuple[float, float, int, str]:
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        env = dict(os.environ, PATH=f"{FAKES}{os.pathsep}{os.environ.get('PATH', '')}",
                   CORVANE_FAKE_SMI_DIR=str(RECORDINGS), CORVANE_FAKE_SMI_CASE="two-gpus",
                   CORVANE_FAKE_SMI_HANG_FILE=str(tmp))  # a path that exists: every query hangs
        env.pop("CORVANE_INJECT", None)
        started, ended = tmp / "started", tmp / "ended"
        begin = time.time()
        proc = subprocess.run(
            [sys.executable, "-m", "corvane", "monitor", "--registry", str(tmp / "r.sqlite3"),
             "--checkpoint-dir", str(tmp / "ck"), "--",
             sys.executable, "-c", JOB, str(started), str(ended), str(job_seconds)],
            env=env, capture_output=True, text=True, timeout=120)
        finish = time.time()
        start_delay = float(started.read_text()) - begin
        end_delay = finish - float(ended.read_text())
        summary = [line.strip() for line in proc.stdout.splitlines() if "WARN" in line]
        return start_delay, end_delay, proc.returncode, "; ".join(summary) or "no warnings"


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--job-seconds", type=float, default=5.0)
    args = ap.parse_args()
    print(f"Python {sys.version.split()[0]}; a {args.job_seconds:g} s job while nvidia-smi hangs")
    for k in range(args.runs):
        start_delay, end_delay, rc, warnings = run(args.job_seconds)
        print(f"  run {k + 1}: exit status {rc}, start delay {start_delay:5.2f} s, "
              f"end delay {end_delay:5.2f} s ({warnings})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
