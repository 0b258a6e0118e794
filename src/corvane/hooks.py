"""Training-side reporting for corvane's hook monitor (no dependencies).

Each rank appends one JSON line per report to the file corvane names in $CORVANE_HOOK_FILE;
the monitor compares ranks and reports diverging gradient norms and slow ranks or phases.
Without $CORVANE_HOOK_FILE every call does nothing, so the code can stay in place.

    from corvane.hooks import HookReporter

    hooks = HookReporter()              # file from $CORVANE_HOOK_FILE, rank from $RANK
    for step in range(steps):
        with hooks.phase("forward-compute"):
            loss = model(batch)
        with hooks.phase("backward-compute"):
            loss.backward()
        hooks.step(step, gradient_norm=grad_norm, step_time=seconds)
"""

from __future__ import annotations

import json
import os
import time
from contextlib import contextmanager

PHASES = ("forward-compute", "backward-compute", "forward-send", "backward-recv",
          "cross-mesh-send", "cross-mesh-recv", "unshard-all-gather", "grad-reduce-scatter",
          "grad-all-reduce")


class HookReporter:
    def __init__(self, path: str | None = None, rank: int | None = None):
        self.path = path if path is not None else os.environ.get("CORVANE_HOOK_FILE") or None
        if rank is None:
            try:
                rank = int(os.environ.get("RANK", "0") or 0)
            except ValueError:
                rank = 0
        self.rank = rank
        self._phase: str | None = None
        self._phase_times: dict[str, float] = {}

    @property
    def enabled(self) -> bool:
        return self.path is not None

    def report(self, **fields) -> None:
        """Append one report; fields that are None are left out."""
        if self.path is None:
            return
        payload = {"rank": self.rank, "timestamp": time.time()}
        payload.update((k, v) for k, v in fields.items() if v is not None)
        data = (json.dumps(payload, default=str) + "\n").encode("utf-8")
        # One write of a whole line to a file opened for appending: lines of concurrent
        # ranks never interleave.
        fd = os.open(self.path, os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC, 0o644)
        try:
            written = os.write(fd, data)
            while written < len(data):  # only after a signal or a full disk
                written += os.write(fd, data[written:])
        finally:
            os.close(fd)

    @contextmanager
    def phase(self, name: str):
        """Time a phase of the current step; repeated phases add up."""
        self._phase = name
        start = time.perf_counter()
        try:
            yield
        finally:
            elapsed = time.perf_counter() - start
            self._phase_times[name] = self._phase_times.get(name, 0.0) + elapsed

    def step(self, step: int, *, gradient_norm: float | None = None,
             step_time: float | None = None, **extra) -> None:
        """Report one finished step with the phase times collected since the last one."""
        times, self._phase_times = self._phase_times, {}
        self.report(step=step, phase=self._phase, gradient_norm=gradient_norm,
                    step_time=step_time, phase_times=times or None, **extra)
