"""Training-side reporting for corvane's hook monitor (no dependencies).

Each rank appends one JSON line per report to the file corvane names in $CORVANE_HOOK_FILE;
the monitor compares ranks and reports diverging gradient norms and slow ranks or phases.
Without $CORVANE_HOOK_FILE every call does nothing, so the code can stay in place.

The rank comes from $RANK, else from the launcher's own variable ($SLURM_PROCID,
$OMPI_COMM_WORLD_RANK, $PMI_RANK, $PMIX_RANK). With none of them set the reporter warns once
on stderr and writes nothing: reports of several processes all claiming rank 0 would
replace each other and be compared with themselves. Pass `rank=` where the launcher sets
none. Reporting never raises into training code: a hook file that cannot be written gets
one warning and reporting stops.

    from corvane.hooks import HookReporter

    hooks = HookReporter()              # file from $CORVANE_HOOK_FILE, rank from $RANK etc.
    for step in range(steps):
        with hooks.phase("forward-compute"):
            loss = model(batch)
        with hooks.phase("backward-compute"):
            loss.backward()
        hooks.step(step, gradient_norm=grad_norm, step_time=seconds)

A short report is also written as each phase starts (its "phase_index" is the phase's place
in the step): when training stops, the monitor can tell which rank stopped where while the
others wait for it. PyTorch DDP users get step times, gradient norms and the all-reduce wait
without computing them: see corvane.torch_hooks.
"""

from __future__ import annotations

import json
import os
import socket
import sys
import time
from contextlib import contextmanager

PHASES = ("forward-compute", "backward-compute", "forward-send", "backward-recv",
          "cross-mesh-send", "cross-mesh-recv", "unshard-all-gather", "grad-reduce-scatter",
          "grad-all-reduce")

# Where launchers put a process's global rank, in the order they are believed.
RANK_VARIABLES = ("RANK", "SLURM_PROCID", "OMPI_COMM_WORLD_RANK", "PMI_RANK", "PMIX_RANK")

_no_rank_warned = False  # the warning about a missing rank, once per process


def rank_from_environment(environ=None) -> int | None:
    """The first of RANK_VARIABLES that holds a whole number >= 0, else None."""
    environ = os.environ if environ is None else environ
    for name in RANK_VARIABLES:
        text = (environ.get(name) or "").strip()
        if text.isascii() and text.isdigit():
            return int(text)
    return None


class HookReporter:
    def __init__(self, path: str | None = None, rank: int | None = None):
        self.path = path if path is not None else os.environ.get("CORVANE_HOOK_FILE") or None
        if rank is None:
            rank = rank_from_environment()
            if rank is None and self.path is not None:
                self.path = None
                global _no_rank_warned
                if not _no_rank_warned:
                    _no_rank_warned = True
                    self._warn("no rank (a whole number) in $" + ", $".join(RANK_VARIABLES)
                               + "; nothing is reported (pass HookReporter(rank=...) where the "
                               "launcher sets none)")
        self.rank = rank
        # Where the rank runs, named as corvane names nodes: findings about the rank are
        # filed under it.
        self.node = (os.environ.get("CORVANE_NODE_ID") or os.environ.get("SLURMD_NODENAME")
                     or socket.gethostname())
        self._phase: str | None = None
        self._phase_times: dict[str, float] = {}
        self._phases_entered = 0  # since the last step
        self._fd: int | None = None
        self._fd_pid = 0
        self._last_step: int | None = None
        self._warned: set[str] = set()

    @property
    def enabled(self) -> bool:
        return self.path is not None

    @staticmethod
    def _warn(message: str) -> None:
        try:
            print(f"corvane.hooks: {message}", file=sys.stderr, flush=True)
        except Exception:  # a closed or broken stderr is no reason to stop training
            pass

    def _warn_once(self, key: str, message: str) -> None:
        if key not in self._warned:
            self._warned.add(key)
            self._warn(message)

    def report(self, **fields) -> None:
        """Append one report; fields that are None are left out. Never raises."""
        if self.path is None:
            return
        try:
            payload = {"rank": self.rank, "timestamp": time.time(), "node": self.node}
            payload.update((k, v) for k, v in fields.items() if v is not None)
            data = (json.dumps(payload, default=str) + "\n").encode("utf-8")
        except Exception as exc:  # a field json cannot write (a circular structure, say)
            self._warn_once("encode", f"a report could not be written as JSON and was left "
                                      f"out: {exc}")
            return
        try:
            self._append(data)
        except OSError as exc:
            self._warn(f"cannot write the hook file {self.path}: {exc.strerror or exc}; "
                       "reporting is off")
            self.path = None

    def _append(self, data: bytes) -> None:
        # One write of a whole line to a file opened for appending: lines of concurrent
        # ranks never interleave. The file stays open between reports (a report per phase
        # is frequent); a process forked from this one opens its own.
        if self._fd is None or self._fd_pid != os.getpid():
            self._fd = os.open(self.path, os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC,
                               0o644)
            self._fd_pid = os.getpid()
        try:
            written = os.write(self._fd, data)
            while written < len(data):  # only after a signal or a full disk
                written += os.write(self._fd, data[written:])
        except OSError:
            self.close()
            raise

    def close(self) -> None:
        """Close the hook file (it is opened again by the next report)."""
        if getattr(self, "_fd", None) is not None and self._fd_pid == os.getpid():
            try:
                os.close(self._fd)
            except OSError:
                pass
        self._fd = None

    def __del__(self):
        self.close()

    @contextmanager
    def phase(self, name: str):
        """Time a phase of the current step; repeated phases add up."""
        self._phase = name
        if self.path is not None:
            self.report(phase=name, phase_index=self._phases_entered, step=self._last_step)
        self._phases_entered += 1
        start = time.perf_counter()
        try:
            yield
        finally:
            elapsed = time.perf_counter() - start
            self._phase_times[name] = self._phase_times.get(name, 0.0) + elapsed

    def add_phase_time(self, name: str, seconds: float) -> None:
        """Count time spent in a phase measured elsewhere (a communication hook's wait)."""
        self._phase_times[name] = self._phase_times.get(name, 0.0) + seconds

    def step(self, step: int, *, gradient_norm: float | None = None,
             step_time: float | None = None, **extra) -> None:
        """Report one finished step with the phase times collected since the last one."""
        times, self._phase_times = self._phase_times, {}
        self._phases_entered = 0
        self._last_step = step
        self.report(step=step, phase=self._phase, gradient_norm=gradient_norm,
                    step_time=step_time, phase_times=times or None, **extra)
