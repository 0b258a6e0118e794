"""Runs every benchmark and ends with one table: each figure that has a target, its value, the
target and whether it was met. Each benchmark's full output goes to build/bench/NAME.log; a
benchmark that fails is named after the table. Exit status 1 when a benchmark failed; a
missed target is a "NO" in the table."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
BENCHES = ["bench_output_parser", "bench_runner", "bench_hooks", "bench_hook_line",
           "bench_hung_tool", "bench_telemetry", "bench_vast", "bench_registry", "bench_latency",
           "bench_idle", "bench_memory", "bench_registry_full", "bench_agent_latency",
           "bench_ddp"]


def main() -> int:
    logs = HERE.parent / "build" / "bench"
    logs.mkdir(parents=True, exist_ok=True)
    only = sys.argv[1:] or BENCHES
    rows, failed = [], []
    with tempfile.TemporaryDirectory() as tmp:
        results = Path(tmp) / "results.jsonl"
        env = dict(os.environ, CORVANE_BENCH_RESULTS=str(results))
        for name in only:
            log = logs / f"{name}.log"
            print(f"{name} ... ", end="", flush=True)
            start = time.monotonic()
            with open(log, "wb") as out:
                status = subprocess.call([sys.executable, str(HERE / f"{name}.py")], env=env,
                                         stdout=out, stderr=subprocess.STDOUT)
            print(f"{time.monotonic() - start:.0f} s" + (f", exit {status}" if status else ""),
                  flush=True)
            if status:
                failed.append((name, status, log))
        if results.exists():
            rows = [json.loads(line) for line in results.read_text().splitlines() if line]
    header = ("BENCHMARK", "FIGURE", "VALUE", "TARGET", "MET")
    table = [header] + [(r["bench"].removesuffix(".py"), r["figure"], r["value"], r["target"],
                         "yes" if r["met"] else "NO") for r in rows]
    widths = [max(len(row[i]) for row in table) for i in range(len(header))]
    print()
    for row in table:
        print("  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip())
    for name, status, log in failed:
        print(f"{name} failed (exit {status}); its output: {log}")
    missed = sum(not r["met"] for r in rows)
    print(f"\n{len(rows) - missed} of {len(rows)} targets met; full outputs in {logs}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
