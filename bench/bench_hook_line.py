"""One huge hook line: how long the hook thread holds the interpreter for it.

A rank that writes one report with tens of thousands of "phase_times" keys must not stall
the job's other threads (the output reader, the runner's loop). Two figures per line:

- handling: the time to take the line through the monitor's line handling (reading,
  the rank state, the peer analysis), with a fixed clock;
- longest hold: the hook thread reads a file holding the line while another thread ticks
  every millisecond; the longest gap between two ticks is the longest time the hook
  thread kept the interpreter to itself.

Target: no line holds the interpreter for more than about 50 ms.

Run: python bench/bench_hook_line.py [--keys N]
"""

from __future__ import annotations

import argparse
import json
import sys
import tempfile
import threading
import time
from pathlib import Path

from corvane.monitor import monitoring as m


def lines(keys: int) -> dict[str, str]:
    # Compact, so that 80 000 keys stay under the 1 MiB a hook line may have.
    phases = {f"p{k}": 1 for k in range(keys)}
    plain = json.dumps({"rank": 5, "timestamp": 1000.0, "step_time": 1.0, "phase_times": phases},
                       separators=(",", ":"))
    return {
        "distinct keys": plain,
        "one key repeated": plain.replace('"p1":1', '"p0":2'),
        "escaped key": plain.replace('"p1"', '"p\\u00e91"'),
        "lone surrogate key": plain.replace('"p1"', '"\\ud800"'),
    }


def handling(line: str) -> float:
    start = time.perf_counter()
    m._testing.hook_replay_lines([line], {"monitor": {}}, 1000.0)
    return time.perf_counter() - start


def longest_hold(line: str) -> float:
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "job-hooks.jsonl"
        findings, lock, stop = [], threading.Lock(), threading.Event()
        state = {"phase": None, "step": None}
        thread = threading.Thread(target=m._hook_monitor_loop,
                                  args=(path, {"monitor": {}}, findings, lock, stop, state))
        thread.start()
        gaps = []
        ticking = threading.Event()

        def tick():
            last = time.perf_counter()
            while not ticking.is_set():
                time.sleep(0.001)
                now = time.perf_counter()
                gaps.append(now - last)
                last = now

        ticker = threading.Thread(target=tick)
        ticker.start()
        # The sentinel (rank 0 publishing step 1) follows the big line: once it is seen,
        # the big line was handled.
        path.write_text(line + "\n" + json.dumps({"rank": 0, "step": 1}) + "\n")
        deadline = time.monotonic() + 60
        while state["step"] != 1 and time.monotonic() < deadline:
            time.sleep(0.01)
        ticking.set()
        ticker.join()
        stop.set()
        thread.join()
        return max(gaps)


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--keys", type=int, default=80_000)
    args = ap.parse_args()
    print(f"Python {sys.version.split()[0]}; one hook line with {args.keys:,} phase keys")
    for name, line in lines(args.keys).items():
        handle = min(handling(line) for _ in range(3))
        hold = min(longest_hold(line) for _ in range(3))
        print(f"  {name:20s} {len(line) / 1e6:5.2f} MB: handling {handle * 1e3:7.1f} ms, "
              f"longest hold of the interpreter {hold * 1e3:7.1f} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main())
