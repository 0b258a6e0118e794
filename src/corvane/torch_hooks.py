"""Step reports for PyTorch DistributedDataParallel jobs, without computing them by hand.

    from corvane.torch_hooks import DDPReporter

    model = DistributedDataParallel(model)
    reporter = DDPReporter(model)                 # once, after wrapping the model
    for step, (x, y) in enumerate(loader):
        with reporter.phase("forward-compute"):
            loss = loss_fn(model(x), y)
        with reporter.phase("backward-compute"):
            loss.backward()
        reporter.step(step, loss=loss)            # after backward, before zero_grad()
        optimizer.step()
        optimizer.zero_grad()

Each step reports its time (since the previous step), the gradient norm (the L2 norm of
every gradient, the same on every rank after DDP's averaging) and the time the rank waited
for the gradient all-reduce after its last bucket was ready, as the phase
"grad-all-reduce". The wait is timed by a communication hook doing DDP's own averaging
all-reduce; a model that already has a communication hook of its own keeps it, and the wait
is then not reported. On NCCL the hook's clock sees when the reduction was queued, not when
it finished: the wait is reported only on CPU (gloo) and is left out on GPUs.

Outside `corvane monitor` ($CORVANE_HOOK_FILE unset) nothing is computed or written. torch
is imported only by the code that uses this module.
"""

from __future__ import annotations

import time

from .hooks import HookReporter

ALLREDUCE_PHASE = "grad-all-reduce"


def _timed_allreduce(state: "DDPReporter", bucket):  # DDP requires the name `bucket`
    from torch.distributed.algorithms.ddp_comm_hooks.default_hooks import allreduce_hook

    state._ready.append(time.perf_counter())

    def done(fut):
        state._done.append(time.perf_counter())
        return fut.value()

    return allreduce_hook(None, bucket).then(done)


class DDPReporter:
    def __init__(self, model, hooks: HookReporter | None = None, *, time_allreduce: bool = True):
        self.model = model
        self.hooks = hooks if hooks is not None else HookReporter()
        self._started = time.perf_counter()
        self._ready: list[float] = []
        self._done: list[float] = []
        self._timed = False
        self.last_step_time = 0.0  # seconds, of the last reported step
        if self.hooks.enabled and time_allreduce and hasattr(model, "register_comm_hook"):
            self._timed = self._register(model)

    def _register(self, model) -> bool:
        try:
            device = next(model.parameters()).device.type
        except (StopIteration, AttributeError):
            device = "cpu"
        if device != "cpu":
            return False
        try:
            model.register_comm_hook(self, _timed_allreduce)
        except RuntimeError:  # the model has a communication hook of its own
            return False
        return True

    def phase(self, name: str):
        """Time a phase of the current step (see HookReporter.phase)."""
        return self.hooks.phase(name)

    def gradient_norm(self) -> float:
        """The L2 norm of every parameter's gradient."""
        import torch

        grads = [p.grad.detach() for p in self.model.parameters() if p.grad is not None]
        if not grads:
            return 0.0
        norms = torch.stack([torch.linalg.vector_norm(g.float()) for g in grads])
        return float(torch.linalg.vector_norm(norms))

    def step(self, step: int, *, loss=None, **extra) -> None:
        """Report step `step`: call it after backward() and before zero_grad()."""
        now = time.perf_counter()
        step_time, self._started = now - self._started, now
        self.last_step_time = step_time
        if not self.hooks.enabled:
            return
        if self._timed and self._done:
            self.hooks.add_phase_time(ALLREDUCE_PHASE, max(self._done) - max(self._ready))
        self._ready, self._done = [], []
        if loss is not None:
            loss = float(loss.detach()) if hasattr(loss, "detach") else float(loss)
        self.hooks.step(step, gradient_norm=self.gradient_norm(), step_time=step_time,
                        loss=loss, **extra)
