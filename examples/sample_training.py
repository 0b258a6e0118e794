"""A small stand-in for a training job, to see corvane's findings in the first minute.

It prints loss and step-time lines, appends per-rank reports to the hook file corvane names
in $CORVANE_HOOK_FILE, prints a NaN loss at one step and then falls silent for a while, as
a hung collective would.

    corvane monitor --config examples/demo.toml -- python examples/sample_training.py
"""

import argparse
import json
import math
import os
import random
import sys
import time


def report(hook_file, **fields):
    if not hook_file:
        return
    line = json.dumps({"timestamp": time.time(), **fields}) + "\n"
    # One write of one whole line, so reports of concurrent ranks never interleave.
    fd = os.open(hook_file, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    try:
        os.write(fd, line.encode())
    finally:
        os.close(fd)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--steps", type=int, default=30)
    parser.add_argument("--step-seconds", type=float, default=0.2)
    parser.add_argument("--nan-at", type=int, default=12, help="step that prints a NaN loss")
    parser.add_argument("--silent-at", type=int, default=20, help="step after which to fall silent")
    parser.add_argument("--silent-seconds", type=float, default=12.0)
    args = parser.parse_args()

    hook_file = os.environ.get("CORVANE_HOOK_FILE")
    rank = int(os.environ.get("RANK", "0"))
    rng = random.Random(7)
    loss = 4.0
    print(f"sample training: {args.steps} steps, job {os.environ.get('CORVANE_JOB_ID', '?')}",
          flush=True)
    for step in range(1, args.steps + 1):
        start = time.time()
        time.sleep(args.step_seconds)
        loss = loss * 0.93 + rng.uniform(-0.02, 0.02)
        shown = math.nan if step == args.nan_at else loss
        step_time = time.time() - start
        print(f"step {step} loss={shown:.4f} step_time={step_time:.3f}", flush=True)
        report(hook_file, rank=rank, step=step, phase="forward-compute",
               gradient_norm=1.0 + rng.uniform(0, 0.1), step_time=step_time)
        if step == args.silent_at:
            print(f"waiting on a collective for {args.silent_seconds:.0f}s ...", flush=True)
            time.sleep(args.silent_seconds)
    print("training done", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
