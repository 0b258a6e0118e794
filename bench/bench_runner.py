"""Monitored-runner throughput and idle cost.

1. A child printing one million realistic training-log lines (`cat` of a prepared file):
   wall and CPU seconds of run_monitored_command (echo to a file), of a straightforward
   host-Python reader doing the same work, and of `cat` copying the same bytes.
2. The monitor's CPU seconds over a silent job (default 30 s) with a 1-second poll.

Run: make bench (or python bench/bench_runner.py [--lines N] [--silent-seconds S]).
"""

from __future__ import annotations

import argparse
import os
import re
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_output_parser import corpus  # noqa: E402

from corvane.config import load_config  # noqa: E402
from corvane.monitor import monitoring as m  # noqa: E402


class NullRegistry:
    def __getattr__(self, name):
        return lambda *a, **k: None


def cpu_self() -> float:
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def cpu_children() -> float:
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def measure(fn):
    wall, cpu, child = time.perf_counter(), cpu_self(), cpu_children()
    out = fn()
    return (time.perf_counter() - wall, cpu_self() - cpu, cpu_children() - child, out)


def monitored(data: Path, echo: Path, config, ckpt):
    saved = sys.stdout
    with open(echo, "w", encoding="utf-8") as fh:
        sys.stdout = fh
        try:
            return m.run_monitored_command(["cat", str(data)], config, NullRegistry(), ckpt)
        finally:
            sys.stdout = saved


PATTERNS = [re.compile(p.pattern, re.IGNORECASE) for p in
            (m.NAN_INF_PATTERN, m.XID_PATTERN, m.ECC_PATTERN, m.LOSS_PATTERN, m.STEP_PATTERN)]


def host_reader(data: Path, echo: Path):
    lines, losses, steps = [], [], []
    nan, xid, ecc, loss, step = (p.search for p in PATTERNS)
    with open(echo, "w", encoding="utf-8") as out, subprocess.Popen(
            ["cat", str(data)], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
            errors="replace", bufsize=1) as proc:
        for raw in proc.stdout:
            line = raw.rstrip("\n")
            print(line, file=out, flush=True)
            lines.append(line)
            nan(line), xid(line), ecc(line)
            if (mm := loss(line)):
                losses.append(float(mm.group(1)))
            if (mm := step(line)):
                steps.append(float(mm.group(1)))
    return lines


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--lines", type=int, default=1_000_000)
    ap.add_argument("--silent-seconds", type=float, default=30.0)
    args = ap.parse_args()

    config = load_config()
    config["monitor"]["poll_interval"] = "1s"
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        # Progress lines of the recorded logs, with one fault report (NaN, XID, ECC) in
        # every 1000 lines: a job with a fault every few seconds is already a sick one.
        lines = corpus()
        faults = [ln for ln in lines if m._parse_output_line(ln, [], [])]
        clean = [ln for ln in lines if ln not in faults]
        data = tmp / "job.log"
        with open(data, "w", encoding="utf-8") as fh:
            for i in range(args.lines):
                fh.write((faults[i // 1000 % len(faults)] if i % 1000 == 999
                          else clean[i % len(clean)]) + "\n")
        size = data.stat().st_size
        print(f"{args.lines:,} lines, {size / 1e6:.1f} MB, {len(clean)} distinct progress lines "
              f"and 1 in 1000 from {len(faults)} fault lines (Python {sys.version.split()[0]})")
        # Nothing on PATH but cat and sleep: no GPU tool polls during the measurement.
        bindir = tmp / "bin"
        bindir.mkdir()
        for tool in ("cat", "sleep"):
            os.symlink(subprocess.check_output(["which", tool], text=True).strip(), bindir / tool)
        os.environ["PATH"] = str(bindir)

        w, c, cc, result = measure(lambda: monitored(data, tmp / "echo1.txt", config, str(tmp)))
        # The result keeps the last monitor.max_output_lines lines (every line was parsed).
        kept = config["monitor"].get("max_output_lines") or args.lines
        assert len(result.output_lines) == min(args.lines, kept)
        print(f"run_monitored_command : wall {w:6.2f} s  CPU {c:6.2f} s  "
              f"{args.lines / w:12,.0f} lines/s")
        hw, hc, hcc, lines = measure(lambda: host_reader(data, tmp / "echo2.txt"))
        assert len(lines) == args.lines
        print(f"host-Python reader    : wall {hw:6.2f} s  CPU {hc:6.2f} s  "
              f"{args.lines / hw:12,.0f} lines/s")
        # cat from file to file may copy inside the kernel; the monitor reads a pipe, so the
        # like-for-like figure is cat reading the job's output from a pipe.
        fw, _, fcc, _ = measure(lambda: subprocess.run(
            ["sh", "-c", f"cat {data} > {tmp / 'echo3.txt'}"], check=True,
            env={"PATH": "/usr/bin:/bin"}))
        kw, _, kcc, _ = measure(lambda: subprocess.run(
            ["sh", "-c", f"cat {data} | cat > {tmp / 'echo4.txt'}"], check=True,
            env={"PATH": "/usr/bin:/bin"}))
        print(f"cat, file to file     : wall {fw:6.2f} s  CPU {fcc:6.2f} s (children)")
        print(f"cat through a pipe    : wall {kw:6.2f} s  CPU {kcc:6.2f} s (children)")
        print(f"  vs host-Python reader: {hw / w:.1f}x lines/s (target >= 5x)")
        print(f"  vs cat through a pipe: {w / kw:.1f}x its wall time (target within 3x)")

        start_cpu = cpu_self()
        start = time.perf_counter()
        m.run_monitored_command(["sleep", str(args.silent_seconds)], config, NullRegistry(), str(tmp))
        wall = time.perf_counter() - start
        cpu = cpu_self() - start_cpu
        print(f"silent job of {wall:.1f} s, 1-s poll: monitor CPU {cpu:.3f} s = "
              f"{100 * cpu / wall:.2f}% of one core (target < 1%)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
