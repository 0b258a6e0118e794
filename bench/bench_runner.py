"""Monitored-runner throughput and idle cost.

1. A child printing one million realistic training-log lines (`cat` of a prepared file):
   wall and CPU seconds of run_monitored_command (echo to a file), of a straightforward
   host-Python reader doing the same work, and of `cat` copying the same bytes.
2. The recorded training logs repeated as they are (loss and step times on most lines,
   about one line in five a NaN, Inf or Xid report: the same few findings over and over)
   at 1M and 5M lines, with "max_output_lines" absent (every line kept) and at its default:
   the cost per line must not grow with what the job already printed (5M/1M per-line cost
   within 1.2) and stays within 5x of `cat` through a pipe.
3. The monitor's CPU seconds over a silent job (default 30 s) with a 1-second poll.

Run: make bench (or python bench/bench_runner.py [--lines N] [--silent-seconds S]).
"""

from __future__ import annotations

import argparse
import copy
import os
import re
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from targets import check

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


def is_fault(line: str) -> bool:
    return any(p.search(line) for p in PATTERNS[:3])  # NaN/Inf, Xid, ECC


RECORDED_LOGS = Path(__file__).resolve().parent.parent / "tests" / "fixtures" / "recorded" / \
    "training-logs"


def repeated_logs(path: Path, count: int) -> None:
    """`count` lines: the recorded training logs, repeated in order."""
    lines = [ln for f in sorted(RECORDED_LOGS.glob("*.log"))
             for ln in f.read_text(encoding="utf-8").splitlines()]
    with open(path, "w", encoding="utf-8") as fh:
        for i in range(count):
            fh.write(lines[i % len(lines)] + "\n")


def real_log_figures(tmp: Path, config, sizes: list[int]) -> None:
    faulty = sum(1 for f in sorted(RECORDED_LOGS.glob("*.log"))
                 for ln in f.read_text(encoding="utf-8").splitlines() if is_fault(ln))
    total = sum(len(f.read_text(encoding="utf-8").splitlines())
                for f in RECORDED_LOGS.glob("*.log"))
    print(f"recorded training logs repeated: {total} distinct lines, {faulty} of them faults")
    for bound in (None, 100_000):
        cfg = copy.deepcopy(config)
        if bound is None:
            cfg["monitor"].pop("max_output_lines", None)
        per_line = {}
        for count in sizes:
            data = tmp / f"real-{count}.log"
            repeated_logs(data, count)
            w, c, _, result = measure(lambda: monitored(data, tmp / "echo-real.txt", cfg, str(tmp)))
            del result
            kw, _, _, _ = measure(lambda: subprocess.run(
                ["sh", "-c", f"cat {data} | cat > {tmp / 'echo-cat.txt'}"], check=True,
                env={"PATH": "/usr/bin:/bin"}))
            per_line[count] = w / count
            check(f"{count:,} lines vs cat through a pipe", w / kw, "<=", 5, "x",
                  f"  {count:>9,} lines, max_output_lines={bound}: wall {w:6.2f} s CPU {c:6.2f} s"
                  f" = {1e6 * w / count:.2f} us/line, {w / kw:.1f}x cat through a pipe")
            data.unlink()
        if len(sizes) > 1:
            ratio = per_line[sizes[-1]] / per_line[sizes[0]]
            check(f"per-line cost {sizes[-1]:,} / {sizes[0]:,} lines", ratio, "<=", 1.2, "",
                  f"  per-line cost {sizes[-1]:,} / {sizes[0]:,} lines: {ratio:.2f}")


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
    ap.add_argument("--real-sizes", default="1000000,5000000",
                    help="line counts of the repeated recorded logs, comma-separated")
    args = ap.parse_args()

    config = load_config()
    config["monitor"]["poll_interval"] = "1s"
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        # Progress lines of the recorded logs, with one fault report (NaN, XID, ECC) in
        # every 1000 lines: a job with a fault every few seconds is already a sick one.
        lines = corpus()
        faults = [ln for ln in lines if is_fault(ln)]
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
        check("reader vs host-Python reader, lines/s", hw / w, ">=", 5, "x",
              f"  vs host-Python reader: {hw / w:.1f}x lines/s")
        check("reader vs cat through a pipe, wall time", w / kw, "<=", 3, "x",
              f"  vs cat through a pipe: {w / kw:.1f}x its wall time")

        real_log_figures(tmp, config, [int(n) for n in args.real_sizes.split(",")])

        start_cpu = cpu_self()
        start = time.perf_counter()
        m.run_monitored_command(["sleep", str(args.silent_seconds)], config, NullRegistry(), str(tmp))
        wall = time.perf_counter() - start
        cpu = cpu_self() - start_cpu
        check("silent job, monitor CPU share", 100 * cpu / wall, "<", 1, "%",
              f"silent job of {wall:.1f} s, 1-s poll: monitor CPU {cpu:.3f} s = "
              f"{100 * cpu / wall:.2f}% of one core")
    return 0


if __name__ == "__main__":
    sys.exit(main())
