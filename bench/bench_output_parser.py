"""Output-parser throughput: the native parser from Python, the host's `re`, the core alone.

Prints lines per second for one corpus of realistic training-log lines, and the time of one
call on a 1 MiB adversarial line. Run: make bench (or python bench/bench_output_parser.py).
"""

from __future__ import annotations

import os
import re
import sys
import time
from pathlib import Path

from corvane.monitor import monitoring as m
from targets import check

HERE = Path(__file__).resolve().parent
FALLBACK = [
    "[rank0]:[titan] 2026-11-02 16:04:46,338 - root - INFO - step:  1  loss: 12.24405  grad_norm: 38.8",
    " iteration       10/  500000 | consumed samples:         5120 | elapsed time per iteration (ms): 1423.7 | lm loss: 1.063112E+01 | loss scale: 4096.0 |",
    "{'loss': 2.3456, 'grad_norm': 1.2301, 'learning_rate': 4.9e-05, 'epoch': 0.01}",
    "Epoch 0:   1%|          | 17/1702 [00:08<13:00,  2.11it/s, loss=2.31, v_num=0]",
    "loss=0.25 step_time=1.5",
    "INFO: information about the run follows",
]


def corpus() -> list[str]:
    lines: list[str] = []
    logs = HERE.parent / "tests" / "fixtures" / "recorded" / "training-logs"
    for path in sorted(logs.glob("*.log")):
        with open(path, encoding="utf-8", errors="replace", newline=None) as fh:
            lines += [ln.rstrip("\n") for ln in fh if ln.strip()]
    return lines or FALLBACK


def rate(fn, lines, min_seconds=1.0) -> float:
    n = 0
    start = time.perf_counter()
    while True:
        fn(lines)
        n += len(lines)
        elapsed = time.perf_counter() - start
        if elapsed >= min_seconds:
            return n / elapsed


def native_from_python(lines):
    parse = m._parse_output_line
    steps, losses = [], []
    for line in lines:
        parse(line, steps, losses)


PATTERNS = [re.compile(p.pattern, re.IGNORECASE) for p in
            (m.NAN_INF_PATTERN, m.XID_PATTERN, m.ECC_PATTERN, m.LOSS_PATTERN, m.STEP_PATTERN)]


def host_re(lines):
    a, b, c, d, e = (p.search for p in PATTERNS)
    for line in lines:
        a(line), b(line), c(line), d(line), e(line)


def main() -> int:
    base = corpus()
    lines = (base * (20000 // len(base) + 1))[:20000]
    avg = sum(len(ln.encode()) for ln in lines) / len(lines)
    print(f"corpus: {len(base)} distinct lines, {len(lines)} lines per round, "
          f"{avg:.0f} bytes on average (Python {sys.version.split()[0]}, pid {os.getpid()})")

    py_native = rate(native_from_python, lines)
    py_re = rate(host_re, lines)
    rounds = 50
    seconds, _ = m._testing.core_scan_benchmark(lines, rounds)
    core = len(lines) * rounds / seconds
    print(f"parse_output_line from Python  : {py_native:12,.0f} lines/s")
    print(f"host re, the same five searches: {py_re:12,.0f} lines/s")
    print(f"native core alone (no Python)  : {core:12,.0f} lines/s")
    check("parser from Python vs host re", py_native / py_re, ">=", 3, "x",
          f"  from Python vs host re: {py_native / py_re:.1f}x")
    check("parser core alone, M lines/s", core / 1e6, ">=", 2, "",
          f"  core alone: {core / 1e6:.2f} M lines/s")

    for label, line in (("1 MiB of 'ecc '", "ecc " * (1 << 18)),
                        ("1 MiB of 'pcieport '", ("pcieport " * 116509)[: 1 << 20]),
                        ("'xid' + 1 MiB of spaces", "xid" + " " * (1 << 20))):
        best = min(_time_one(lambda: m._parse_output_line(line, [], [])) for _ in range(5))
        check(f"one call on {label}", best * 1e3, "<", 10, " ms",
              f"one call on {label:<26}: {best * 1e3:7.2f} ms")
    for label, line in (("1 MiB of 'pcieport '", ("pcieport " * 116509)[: 1 << 20]),
                        ("1 MiB of 'AER: '", "AER: " * 209715),
                        ("1 MiB of 'NVRM: Xid (PCI:'", ("NVRM: Xid (PCI:" * 69906))):
        best = min(_time_one(lambda: (m._testing.native_kernel_search("PCIE_AER_PATTERN", line),
                                      m._testing.native_kernel_search("DMESG_XID_PATTERN", line)))
                   for _ in range(5))
        print(f"kernel-log line, {label:<26}: {best * 1e3:7.2f} ms")
    return 0


def _time_one(fn) -> float:
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


if __name__ == "__main__":
    sys.exit(main())
