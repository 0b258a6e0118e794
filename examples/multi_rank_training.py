"""A multi-process stand-in for data-parallel training, to see the peer analysis work.

Six ranks run side by side and report every step through corvane.hooks. Rank 2 is slower
in its backward pass (a straggler), and rank 1's gradient norm jumps for a while (a
diverging rank). Only rank 0 prints.

    corvane monitor --config examples/demo.toml -- python examples/multi_rank_training.py
"""

import argparse
import os
import random
import subprocess
import sys
import time

from corvane.hooks import HookReporter


def worker(rank: int, steps: int) -> int:
    hooks = HookReporter(rank=rank)
    rng = random.Random(rank)
    loss = 3.0
    for step in range(1, steps + 1):
        start = time.perf_counter()
        with hooks.phase("forward-compute"):
            time.sleep(0.05 + rng.uniform(0, 0.005))
        with hooks.phase("backward-compute"):
            time.sleep(0.10 * (1.8 if rank == 2 else 1.0) + rng.uniform(0, 0.005))
        with hooks.phase("grad-all-reduce"):
            time.sleep(0.02)
        loss *= 0.97
        # Healthy ranks agree closely; rank 1 jumps for a few steps.
        grad_norm = 1.0 + 0.01 * ((step + rank) % 3) + (25.0 if rank == 1 and 8 <= step <= 12 else 0.0)
        step_time = time.perf_counter() - start
        hooks.step(step, gradient_norm=grad_norm, step_time=step_time)
        if rank == 0:
            print(f"step {step} loss={loss:.4f} step_time={step_time:.3f}", flush=True)
    return 0


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--ranks", type=int, default=6)
    ap.add_argument("--steps", type=int, default=40)
    ap.add_argument("--rank", type=int, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.rank is not None:
        return worker(args.rank, args.steps)
    procs = [subprocess.Popen([sys.executable, __file__, "--rank", str(r), "--steps", str(args.steps)],
                              env=dict(os.environ, RANK=str(r)))
             for r in range(args.ranks)]
    return max(p.wait() for p in procs)


if __name__ == "__main__":
    sys.exit(main())
