"""A small stand-in for a training job, to see corvane's findings in the first minute.

It prints loss and step-time lines, appends per-rank reports to the hook file corvane names
in $CORVANE_HOOK_FILE, prints a NaN loss at one step and then falls silent for a while, as
a hung collective would.

    corvane monitor --config examples/demo.toml -- python examples/sample_training.py
"""

import argparse
import math
import os
import random
import sys
import time

from corvane.hooks import HookReporter, rank_from_environment


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--steps", type=int, default=30)
    parser.add_argument("--step-seconds", type=float, default=0.2)
    parser.add_argument("--nan-at", type=int, default=12, help="step that prints a NaN loss")
    parser.add_argument("--silent-at", type=int, default=20, help="step after which to fall silent")
    parser.add_argument("--silent-seconds", type=float, default=12.0)
    args = parser.parse_args()

    # $CORVANE_HOOK_FILE; does nothing outside corvane. One process: rank 0, unless a
    # launcher says otherwise.
    hooks = HookReporter(rank=None if rank_from_environment() is not None else 0)
    rng = random.Random(7)
    loss = 4.0
    print(f"sample training: {args.steps} steps, job {os.environ.get('CORVANE_JOB_ID', '?')}",
          flush=True)
    for step in range(1, args.steps + 1):
        start = time.time()
        with hooks.phase("forward-compute"):
            time.sleep(args.step_seconds)
        loss = loss * 0.93 + rng.uniform(-0.02, 0.02)
        shown = math.nan if step == args.nan_at else loss
        step_time = time.time() - start
        print(f"step {step} loss={shown:.4f} step_time={step_time:.3f}", flush=True)
        hooks.step(step, gradient_norm=1.0 + rng.uniform(0, 0.1), step_time=step_time)
        if step == args.silent_at:
            print(f"waiting on a collective for {args.silent_seconds:.0f}s ...", flush=True)
            time.sleep(args.silent_seconds)
    print("training done", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
