"""Delivery latency: from the moment a source sees a fault to the finding on the monitor's
standard output.

`corvane monitor` (default configuration: 5 s poll) runs with the fake platform tools. For
each source, --events faults are produced at random intervals (50-150 ms), each with a
distinct Xid code so every one is a new finding:
- output: the job prints "Xid N" and notes the time just before the write;
- kernel log: the fake `dmesg -w` streams lines written into a FIFO by this script;
- NVML: the monitor imports the stand-in binding of bench/nvml_stub, which turns lines
  written into a FIFO by this script into Xid events on its event set.
The monitor's stdout is read line by line and stamped on arrival. Prints p50/p99/max per
source; the target is p99 <= 100 ms.

Run: make bench (or python bench/bench_latency.py [--events 50]).
"""

from __future__ import annotations

import argparse
import json
import os
import random
import re
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

from targets import check

ROOT = Path(__file__).resolve().parent.parent
FAKE_BIN = ROOT / "tests" / "fakes" / "bin"
SMI_FIXTURES = ROOT / "tests" / "fixtures" / "nvidia-smi"
NVML_STUB = ROOT / "bench" / "nvml_stub"

JOB = r"""
import json, random, sys, time
events, sent_file = int(sys.argv[1]), sys.argv[2]
random.seed(7)
sent = {}
time.sleep(1.0)
for code in range(1000, 1000 + events):
    time.sleep(random.uniform(0.05, 0.15))
    sent[code] = time.time()
    print(f"step {code}: Xid {code}", flush=True)
time.sleep(0.5)
json.dump(sent, open(sent_file, "w"))
"""


def monitor(job_args: list[str], env: dict, pattern: re.Pattern):
    cmd = [sys.executable, "-m", "corvane", "monitor", "--checkpoint-dir", env["CKPT"], "--",
           *job_args]
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, text=True, env=env, bufsize=1)
    arrived: dict[int, float] = {}

    def read():
        for line in proc.stdout:
            m = pattern.search(line)
            if m:
                arrived.setdefault(int(m.group(1)), time.time())

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    return arrived, proc, reader


def report(name: str, sent: dict, arrived: dict) -> None:
    lat = sorted((arrived[c] - t) * 1000 for c, t in sent.items() if c in arrived)
    missing = len(sent) - len(lat)
    if not lat:
        print(f"{name:<11} no finding arrived ({missing} missing)")
        return
    p99 = lat[min(len(lat) - 1, int(round(0.99 * (len(lat) - 1))))]
    check(f"finding delivery p99, {name}", p99, "<=", 100, " ms",
          f"{name:<11} n={len(lat):3d}  p50 {statistics.median(lat):6.1f} ms  p99 {p99:6.1f} ms"
          f"  max {lat[-1]:6.1f} ms" + (f"  ({missing} missing)" if missing else ""))


def base_env(tmp: str) -> dict:
    return dict(os.environ, PATH=f"{FAKE_BIN}{os.pathsep}{os.environ.get('PATH', '')}",
                CORVANE_FAKE_SMI_DIR=str(SMI_FIXTURES), CORVANE_FAKE_SMI_CASE="two-gpus",
                CORVANE_REGISTRY=os.path.join(tmp, "r.sqlite3"), CKPT=tmp)


def output_source(events: int) -> None:
    with tempfile.TemporaryDirectory() as tmp:
        env = base_env(tmp)
        sent_file = os.path.join(tmp, "sent.json")
        arrived, proc, reader = monitor([sys.executable, "-c", JOB, str(events), sent_file], env,
                                        re.compile(r"Detected XID (\d+) in job output"))
        proc.wait(timeout=120)
        reader.join(5)
        sent = {int(k): v for k, v in json.load(open(sent_file)).items()}
        report("output", sent, arrived)


def fifo_source(name: str, env: dict, fifo: str, gate: str, events: int, line) -> None:
    """Writes one fault per event into `fifo` (read by the monitor's fake source) and
    reports when each reached the monitor's stdout."""
    job = ("import os, time\n"
           f"while not os.path.exists({gate!r}):\n    time.sleep(0.05)\n")
    arrived, proc, reader = monitor([sys.executable, "-c", job], env,
                                    re.compile(r"Kernel reported XID (\d+)"))
    rng = random.Random(7)
    sent = {}
    with open(fifo, "w") as sink:  # opens once the fake source reads it
        time.sleep(0.5)
        for code in range(1000, 1000 + events):
            time.sleep(rng.uniform(0.05, 0.15))
            sent[code] = time.time()
            sink.write(line(code))
            sink.flush()
        time.sleep(0.5)
    Path(gate).write_text("")
    proc.wait(timeout=120)
    reader.join(5)
    report(name, sent, arrived)


def kernel_source(events: int) -> None:
    with tempfile.TemporaryDirectory() as tmp:
        env = base_env(tmp)
        fifo = os.path.join(tmp, "kmsg")
        os.mkfifo(fifo)
        env["CORVANE_FAKE_DMESG_FILE"] = fifo
        fifo_source("kernel log", env, fifo, os.path.join(tmp, "done"), events,
                    lambda code: f"[ 1.0] NVRM: Xid (PCI:0000:01:00): {code}, pid=1, name=python\n")


def nvml_source(events: int) -> None:
    with tempfile.TemporaryDirectory() as tmp:
        env = base_env(tmp)
        fifo = os.path.join(tmp, "nvml-events")
        os.mkfifo(fifo)
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(NVML_STUB), env.get("PYTHONPATH")]))
        env["CORVANE_STUB_NVML_EVENTS"] = fifo
        env["CORVANE_STUB_GPUS"] = "2"
        fifo_source("nvml", env, fifo, os.path.join(tmp, "done"), events,
                    lambda code: f"{code % 2} {code}\n")


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--events", type=int, default=50)
    args = ap.parse_args()
    print(f"delivery latency, default 5 s poll, {args.events} events per source")
    output_source(args.events)
    kernel_source(args.events)
    nvml_source(args.events)


if __name__ == "__main__":
    main()
