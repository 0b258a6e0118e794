"""A small PyTorch DistributedDataParallel job (CPU, gloo) reporting to corvane.

    corvane monitor -- torchrun --standalone --nproc-per-node 4 examples/ddp_training.py

Rank 0 prints one line per step; every rank reports its step through
corvane.torch_hooks.DDPReporter. The options below inject one fault each, for rehearsals
and for the tests: a rank that is slower from some step on, a NaN in one rank's gradients,
a learning rate that makes the loss blow up, a rank that blocks.
"""

import argparse
import os
import sys
import time

import torch
import torch.distributed as dist
from torch.nn.parallel import DistributedDataParallel

from corvane.torch_hooks import DDPReporter


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--steps", type=int, default=150)
    ap.add_argument("--slow-rank", type=int, help="this rank is slower in forward-compute ...")
    ap.add_argument("--slow-from", type=int, default=50, help="... from this step on ...")
    ap.add_argument("--slow-ms", type=float, default=300.0, help="... by this many ms")
    ap.add_argument("--nan-rank", type=int, help="this rank's gradients become NaN ...")
    ap.add_argument("--nan-step", type=int, default=40, help="... at this step")
    ap.add_argument("--blowup-step", type=int, help="the learning rate is multiplied by 1000 here")
    ap.add_argument("--hang-rank", type=int, help="this rank blocks forever ...")
    ap.add_argument("--hang-node", help="... or the first rank on this (Slurm) node blocks ...")
    ap.add_argument("--hang-step", type=int, default=70, help="... at this step")
    args = ap.parse_args()

    dist.init_process_group("gloo")
    rank = dist.get_rank()
    if args.hang_node and os.environ.get("SLURMD_NODENAME") == args.hang_node:
        if os.environ.get("LOCAL_RANK") == "0":
            args.hang_rank = rank
    torch.manual_seed(0)
    model = DistributedDataParallel(torch.nn.Sequential(
        torch.nn.Linear(32, 64), torch.nn.ReLU(), torch.nn.Linear(64, 64), torch.nn.ReLU(),
        torch.nn.Linear(64, 1)))
    optimizer = torch.optim.SGD(model.parameters(), lr=0.01)
    reporter = DDPReporter(model)
    data = torch.Generator().manual_seed(rank)
    started = None

    def fault(what: str) -> None:  # when a fault begins, for measuring the time to its finding
        print(f"fault: {what} at={time.time():.3f}", flush=True)

    for step in range(1, args.steps + 1):
        if step == 6:
            started = time.perf_counter()
        if rank == 0 and step == args.blowup_step:
            fault("loss blow-up")
        if rank == args.slow_rank and step == args.slow_from:
            fault(f"rank {rank} slow")
        if rank == args.hang_rank and step == args.hang_step:
            fault(f"rank {rank} stuck")
        x = torch.randn(64, 32, generator=data)
        y = x[:, :1] * 0.5 + 0.1 * torch.randn(64, 1, generator=data)
        if step == args.blowup_step:
            for group in optimizer.param_groups:
                group["lr"] *= 1000
        with reporter.phase("forward-compute"):
            if rank == args.hang_rank and step == args.hang_step:
                while True:
                    time.sleep(1)
            if rank == args.slow_rank and step >= args.slow_from:
                time.sleep(args.slow_ms / 1000)
            loss = torch.nn.functional.mse_loss(model(x), y)
        with reporter.phase("backward-compute"):
            loss.backward()
        if rank == args.nan_rank and step == args.nan_step:
            fault(f"rank {rank} NaN")
            next(model.parameters()).grad.fill_(float("nan"))
        grad_norm = reporter.gradient_norm()
        reporter.step(step, loss=loss)
        optimizer.step()
        optimizer.zero_grad()
        if rank == 0:
            print(f"step {step}/{args.steps} | loss: {loss.item():.4f} | "
                  f"grad_norm: {grad_norm:.4f} | step_time: {reporter.last_step_time:.4f}",
                  flush=True)
    if rank == 0 and started is not None and args.steps > 6:
        print(f"done: {(args.steps - 5) / (time.perf_counter() - started):.2f} steps/s", flush=True)
    dist.barrier()  # no rank closes its connections while a peer still finishes the last step
    dist.destroy_process_group()
    # The work is done. Gloo's threads can still be joinable when the interpreter tears down
    # (a worker then aborts with "terminate called without an active exception", seen in
    # about one CI run in four), so the process leaves without its static destructors.
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(0)


if __name__ == "__main__":
    os.environ.setdefault("OMP_NUM_THREADS", "1")
    raise SystemExit(main())
