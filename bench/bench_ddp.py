"""A real PyTorch DDP job (torchrun, gloo on the CPU) under `corvane monitor`.

1. False alarms: --healthy runs of a healthy job; every WARN or CRITICAL finding counts
   (target 0).
2. Delay from fault to finding, for a rank 300 ms slower in its forward pass, a NaN in one
   rank's gradients, a loss blow-up and a stuck rank: from the moment the job injects the
   fault (it prints "fault: ... at=<time>") to the finding's time in the registry.
3. Overhead: steps per second of the job alone and under corvane (median of --repeat runs
   each, alternating); target ratio >= 0.97.

Uses the fake platform tools of the tests (no GPU needed). Needs torch.
Run: make bench (or python bench/bench_ddp.py [--ranks 4] [--healthy 5]).
"""

from __future__ import annotations

import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from targets import check

ROOT = Path(__file__).resolve().parent.parent
EXAMPLE = str(ROOT / "examples" / "ddp_training.py")
FAKES = {"PATH": f"{ROOT / 'tests' / 'fakes' / 'bin'}{os.pathsep}{os.environ['PATH']}",
         "CORVANE_FAKE_SMI_DIR": str(ROOT / "tests" / "fixtures" / "nvidia-smi"),
         "CORVANE_FAKE_SMI_CASE": "two-gpus", "PYTHONUNBUFFERED": "1"}
CONFIG = """[monitor]
poll_interval = "1s"
hang_detection_timeout = "15s"
hang_detection_grace = "0s"
on_hang = "stop"
stop_grace = "3s"
"""


def torchrun(ranks: int) -> list[str]:
    return [sys.executable, "-m", "torch.distributed.run", "--standalone",
            "--nproc-per-node", str(ranks)]


def monitored(work: Path, ranks: int, args: list[str]) -> tuple[str, list[dict]]:
    """The job's output and its WARN/CRITICAL findings."""
    run = work / f"run-{time.monotonic_ns()}"
    run.mkdir()
    (run / "c.toml").write_text(CONFIG)
    env = dict(os.environ, **FAKES, CORVANE_REGISTRY=str(run / "r.sqlite3"))
    out = subprocess.run([sys.executable, "-m", "corvane", "monitor", "--config",
                          str(run / "c.toml"), "--checkpoint-dir", str(run / "ck"), "--",
                          *torchrun(ranks), EXAMPLE, *args],
                         env=env, capture_output=True, text=True, timeout=600).stdout
    shown = subprocess.run([sys.executable, "-m", "corvane", "findings", "--json"], env=env,
                           capture_output=True, text=True).stdout
    findings = json.loads(shown)["findings"] if shown.strip() else []
    return out, [f for f in findings if f["severity"] in ("WARN", "CRITICAL")]


def steps_per_second(output: str) -> float:
    found = re.findall(r"done: ([0-9.]+) steps/s", output)
    return float(found[-1]) if found else float("nan")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--ranks", type=int, default=4)
    ap.add_argument("--healthy", type=int, default=5)
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    try:
        import torch  # noqa: F401
    except ImportError:
        print("bench_ddp: torch is not installed (pip install torch); skipped")
        return 0
    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp)
        alarms = []
        for _ in range(args.healthy):
            _, findings = monitored(work, args.ranks, ["--steps", "60"])
            alarms.append(len(findings))
        check("DDP false alarms", sum(alarms), "==", 0, "",
              f"false alarms over {args.healthy} healthy DDP runs of 60 steps, "
              f"{args.ranks} ranks: {sum(alarms)} (per run: {alarms})")

        faults = {
            "straggler": (["--steps", "40", "--slow-rank", "1", "--slow-from", "12"],
                          "phase_straggler"),
            "NaN": (["--steps", "30", "--nan-rank", "1", "--nan-step", "15"], "rank_divergence"),
            "loss spike": (["--steps", "30", "--blowup-step", "15"], "loss_spike"),
            "stuck rank": (["--steps", "60", "--hang-rank", "1", "--hang-step", "15"],
                           "training_hang"),
        }
        for name, (job_args, event_type) in faults.items():
            output, findings = monitored(work, args.ranks, job_args)
            began = re.search(r"fault: .* at=([0-9.]+)", output)
            seen = [f["recorded_at"] for f in findings if f["event_type"] == event_type]
            if began and seen:
                delay = f"{min(seen) - float(began.group(1)):.2f} s"
            else:
                delay = "not found"
            note = " (hang timeout 15 s)" if name == "stuck rank" else ""
            print(f"fault to finding, {name}: {delay}{note}")

        alone, watched = [], []
        for _ in range(args.repeat):
            alone.append(steps_per_second(subprocess.run(
                [*torchrun(args.ranks), EXAMPLE, "--steps", "150"], capture_output=True,
                text=True, env=dict(os.environ, **FAKES), timeout=600).stdout))
            watched.append(steps_per_second(monitored(work, args.ranks, ["--steps", "150"])[0]))
        a, w = statistics.median(alone), statistics.median(watched)
        check("DDP steps/s under corvane / alone", w / a, ">=", 0.97, "",
              f"DDP steps/s alone {a:.2f}, under corvane {w:.2f}: ratio {w / a:.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
