"""Idle overhead: the monitor's own CPU while it watches a silent job.

`corvane monitor` (default configuration: 5 s poll) watches a job that sleeps for
--seconds (default 60) and prints nothing. `nvidia-smi` is the tests' fake behind a wrapper
that first burns --tool-ms (default 20) of CPU, as the real tool does on an 8-GPU node.
Two paths:
- NVML: the monitor imports the stand-in binding of bench/nvml_stub (8 GPUs); telemetry,
  GPU events and the runner's GPU count come from it;
- tool: no NVML binding; telemetry and the GPU count come from `nvidia-smi`.
The monitor's CPU (its own and that of the tools it ran and reaped) is read from
/proc/<pid>/stat once start-up has settled (after --settle seconds) and again shortly before
the job ends, and given as a share of one core over that window. Start-up and the whole run
are printed too. Target: NVML path under 0.3 % of a core.

Run: python bench/bench_idle.py [--seconds 60] [--settle 8] [--tool-ms 20]
"""

from __future__ import annotations

import argparse
import os
import stat
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
FAKE_BIN = ROOT / "tests" / "fakes" / "bin"
NVML_STUB = ROOT / "bench" / "nvml_stub"
TICK = os.sysconf("SC_CLK_TCK")

COSTLY_SMI = """#!/usr/bin/env bash
# nvidia-smi as costly as on a real node: burns {ms} ms of CPU, then answers as the fake does.
echo x >> "{calls}"
end=$(( ${{EPOCHREALTIME/./}} + {ms}000 ))
while (( ${{EPOCHREALTIME/./}} < end )); do :; done
exec "{fake}" "$@"
"""


def cpu_seconds(pid: int) -> float:
    """CPU of `pid` and of the children it has reaped, in seconds."""
    with open(f"/proc/{pid}/stat", encoding="ascii") as fh:
        fields = fh.read().rsplit(")", 1)[1].split()
    utime, stime, cutime, cstime = (int(fields[i]) for i in (11, 12, 13, 14))
    return (utime + stime + cutime + cstime) / TICK


def run(path: str, seconds: float, settle: float, tool_ms: int) -> None:
    with tempfile.TemporaryDirectory() as tmp:
        bindir = Path(tmp) / "bin"
        bindir.mkdir()
        calls = Path(tmp) / "smi-calls"
        calls.touch()
        smi = bindir / "nvidia-smi"
        smi.write_text(COSTLY_SMI.format(ms=tool_ms, calls=calls, fake=FAKE_BIN / "nvidia-smi"))
        smi.chmod(smi.stat().st_mode | stat.S_IXUSR)
        # An 8-GPU node for the fake tool.
        (Path(tmp) / "node.main.csv").write_text("".join(
            f"{i}, 00000000:{0x18 + i:02X}:00.0, 34, 97, 71235, 81559, 612.34, 700.00, "
            "0x0000000000000000, 0, 0\n" for i in range(8)))
        (Path(tmp) / "node.replay.csv").write_text("".join(f"{i}, 0\n" for i in range(8)))
        env = dict(os.environ, PATH=os.pathsep.join([str(bindir), str(FAKE_BIN), os.environ["PATH"]]),
                   CORVANE_FAKE_SMI_DIR=tmp, CORVANE_FAKE_SMI_CASE="node",
                   CORVANE_REGISTRY=os.path.join(tmp, "r.sqlite3"))
        env.pop("CORVANE_FAKE_DMESG_FILE", None)
        if path == "nvml":
            env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(NVML_STUB), env.get("PYTHONPATH")]))
            env["CORVANE_STUB_GPUS"] = "8"
        else:
            # An importable name that is no binding: the monitor falls back to the tool.
            stub = Path(tmp) / "no_nvml"
            stub.mkdir()
            (stub / "pynvml.py").write_text("raise ImportError('no NVML here')\n")
            env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(stub), env.get("PYTHONPATH")]))
        job = [sys.executable, "-c", f"import time; time.sleep({seconds})"]
        cmd = [sys.executable, "-m", "corvane", "monitor", "--checkpoint-dir", tmp, "--", *job]
        started = time.monotonic()
        proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                env=env)
        time.sleep(settle)
        cpu0, t0, calls0 = cpu_seconds(proc.pid), time.monotonic(), len(calls.read_text().split())
        time.sleep(max(1.0, seconds - settle - 2.0))
        cpu1, t1, calls1 = cpu_seconds(proc.pid), time.monotonic(), len(calls.read_text().split())
        out, _ = proc.communicate(timeout=seconds + 60)
        total = time.monotonic() - started
        watching = next((line for line in out.splitlines() if "watching:" in line), "(no watching line)")
        window = t1 - t0
        print(f"{path:<5} idle {100 * (cpu1 - cpu0) / window:5.2f} % of a core over {window:4.1f} s"
              f" ({(cpu1 - cpu0) * 1000:6.1f} ms CPU, {calls1 - calls0} nvidia-smi calls);"
              f" start-up {cpu0 * 1000:6.1f} ms CPU; run {total:4.1f} s")
        print(f"      {watching.strip()}")


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=float, default=60.0)
    ap.add_argument("--settle", type=float, default=8.0)
    ap.add_argument("--tool-ms", type=int, default=20)
    args = ap.parse_args()
    print(f"idle overhead, default 5 s poll, silent {args.seconds:.0f}-s job, "
          f"nvidia-smi burning {args.tool_ms} ms of CPU per call")
    for path in ("nvml", "tool"):
        run(path, args.seconds, args.settle, args.tool_ms)


if __name__ == "__main__":
    main()
