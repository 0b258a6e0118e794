"""Recovery after a critical hardware finding: a plan, then its (simulated) execution.

A plan names the newest checkpoint under the job's checkpoint directory, the command that
takes the node out of service and the command that restarts the job from the checkpoint.

Mode "confirm" asks on the terminal before any live command runs (no answer within 60 s
is no) and, without a terminal, runs nothing and records the plan as awaiting
confirmation; mode "auto" runs it without asking. Live commands show their output, each
line prefixed, and a failure is told in one line with its reason.
"""

from __future__ import annotations

import os
import select
import shlex
import signal
import subprocess
import sys
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Sequence

from ..provision.environment import TIMEOUT_RETURNCODE, _kill_group
from ..ui.display import shown
from .shell_template import fill_template

CHECKPOINT_SUFFIXES = (".pt", ".pth", ".ckpt", ".safetensors", ".bin", ".distcp", ".npz")
CHECKPOINT_DIR_PREFIXES = ("checkpoint", "global_step", "step_", "iter_", "epoch")
_MAX_SCANNED = 20000
CONFIRM_TIMEOUT_S = 60
_KEPT_OUTPUT_BYTES = 4000   # of each live step's output, for the registry
_MAX_SHOWN_LINE_BYTES = 8192

# Event types that speak of the hardware (the GPU, its memory, links and bus, the driver).
HARDWARE_TRIGGERS = frozenset({
    "xid_critical", "ecc_dbe", "ecc_sbe_rate", "thermal_warning", "clock_throttle",
    "power_anomaly", "nvlink_errors", "pcie_replay", "pcie_aer", "metric_disappearance",
})


@dataclass(frozen=True)
class RecoveryPlan:
    job_id: str
    node_id: str
    command: str
    failed_triggers: tuple[str, ...]
    checkpoint_path: str | None
    drain_command: str | None
    restart_command: str
    replacement_node: str | None
    # What the fault catalogue says the critical finding needs ("reset_gpu", "reboot",
    # "inspect_hardware", "restart_job", "none"); None where the finding has no class.
    action: str | None = None


@dataclass(frozen=True)
class RecoveryStep:
    name: str
    command: str
    returncode: int | None = None  # None: it did not run, or could not start
    output: str = ""
    timed_out: bool = False


@dataclass(frozen=True)
class RecoveryResult:
    mode: str
    # "simulated", "executed", "failed", "declined" (confirm: answered no, or no answer)
    # or "awaiting_confirmation" (confirm without a terminal to ask on: nothing ran)
    status: str
    simulated: bool
    plan: RecoveryPlan
    steps: tuple[RecoveryStep, ...] = field(default_factory=tuple)
    summary: str = ""


def _is_checkpoint(path: Path, is_dir: bool) -> bool:
    name = path.name.lower()
    if name.endswith("-hooks.jsonl"):
        return False
    if is_dir:
        return name.startswith(CHECKPOINT_DIR_PREFIXES)
    return name.endswith(CHECKPOINT_SUFFIXES)


def find_latest_checkpoint(checkpoint_dir) -> str | None:
    """The most recently modified checkpoint file or directory under `checkpoint_dir`."""
    if checkpoint_dir is None:
        return None
    root = Path(checkpoint_dir)
    best: tuple[float, str] | None = None
    scanned = 0
    for dirpath, dirnames, filenames in os.walk(root):
        base = Path(dirpath)
        for name, is_dir in [(d, True) for d in dirnames] + [(f, False) for f in filenames]:
            scanned += 1
            if scanned > _MAX_SCANNED:
                return best[1] if best else None
            path = base / name
            if not _is_checkpoint(path, is_dir):
                continue
            try:
                mtime = path.stat().st_mtime
            except OSError:
                continue
            if best is None or mtime > best[0]:
                best = (mtime, str(path))
    return best[1] if best else None


def _section(config, name) -> dict:
    value = config.get(name) if isinstance(config, dict) else None
    return value if isinstance(value, dict) else {}


# Actions that leave the node as it is: the job's own fault needs no drain.
_JOB_ONLY_ACTIONS = ("restart_job", "none")
_ACTION_TEXT = {"reset_gpu": "reset the GPU", "reboot": "reboot the node",
                "inspect_hardware": "inspect or replace the hardware",
                "restart_job": "restart the job only", "none": "nothing on the node"}


def build_recovery_plan(config, *, job_id: str, node_id: str, command: str, checkpoint_dir=None,
                        failed_triggers: Sequence[str] = (), registry=None,
                        action: str | None = None) -> RecoveryPlan:
    """Plan the recovery of a job whose node can no longer be trusted.

    "recovery" -> "restart_command" may hold a template with {command}, {checkpoint},
    {node} and {job_id}; "recovery" -> "drain_command" likewise with {node} and {reason}.
    """
    recovery = _section(config, "recovery")
    cluster = _section(config, "cluster")
    triggers = tuple(sorted(set(failed_triggers)))
    checkpoint = find_latest_checkpoint(checkpoint_dir)
    reason = "corvane: " + (", ".join(triggers) or "critical finding")
    values = {"node": str(node_id), "job_id": str(job_id), "reason": reason,
              "command": str(command), "checkpoint": checkpoint or ""}

    # Each value goes in as one quoted shell word; a template that would let one become
    # shell syntax is refused (the configuration check refuses it before a job starts).
    drain_template = recovery.get("drain_command")
    action = action if isinstance(action, str) and action in _ACTION_TEXT else None
    if action in _JOB_ONLY_ACTIONS:
        drain = None
    elif drain_template:
        drain = fill_template(str(drain_template), values)
    elif cluster.get("scheduler") == "slurm":
        drain = (f"scontrol update NodeName={shlex.quote(values['node'])} State=DRAIN "
                 f"Reason={shlex.quote(reason)}")
    else:
        drain = None

    restart_template = recovery.get("restart_command")
    if restart_template:
        restart = fill_template(str(restart_template), values, raw=("command",))
    else:
        restart = command

    replacement = recovery.get("replacement_node") or None
    return RecoveryPlan(job_id=job_id, node_id=node_id, command=command, failed_triggers=triggers,
                        checkpoint_path=checkpoint, drain_command=drain, restart_command=restart,
                        replacement_node=str(replacement) if replacement else None, action=action)


def recovery_wanted(failed_triggers: Sequence[str], returncode=None) -> bool:
    """Whether a plan is worth offering: not for a job that already exited 0 when none of
    its triggers speaks of the hardware (there is nothing left to recover)."""
    if returncode is None or returncode != 0:
        return True
    return any(t in HARDWARE_TRIGGERS for t in failed_triggers)


def _plan_map(plan: RecoveryPlan) -> dict:
    return {"checkpoint_path": plan.checkpoint_path, "drain_command": plan.drain_command,
            "restart_command": plan.restart_command, "replacement_node": plan.replacement_node,
            "action": plan.action}


def _say(out, text: str) -> None:
    # One line: node names, file names, commands and a step's output are shown escaped.
    out.write(shown(text) + "\n")
    out.flush()


def describe_plan(plan: RecoveryPlan) -> str:
    """The plan in a few lines, each ready for a terminal (what came from outside is
    shown escaped)."""
    triggers = ", ".join(plan.failed_triggers) or "a critical finding"
    lines = [f"[corvane] recovery plan for {plan.node_id} (job {plan.job_id}; {triggers}):"]
    if plan.action:
        lines.append(f"  node:       {_ACTION_TEXT[plan.action]}")
    if plan.drain_command:
        lines.append(f"  drain:      {plan.drain_command}")
    lines.append(f"  restart:    {plan.restart_command}")
    lines.append(f"  checkpoint: {plan.checkpoint_path or 'none found'}")
    if plan.replacement_node:
        lines.append(f"  replacement node: {plan.replacement_node}")
    return "\n".join(shown(line) for line in lines)


class _StopAsked(Exception):
    pass


def _read_answer(fd: int, timeout: float) -> str | None:
    """One line typed on the terminal `fd`; None when none came within `timeout` seconds
    or a stop signal arrived meanwhile."""
    previous = {}

    def on_stop(signum, frame):
        previous[signum](signum, frame)  # what the process does on that signal still happens
        raise _StopAsked

    if threading.current_thread() is threading.main_thread():
        # Only signals with a handler of their own: the default action still ends the
        # process, and an ignored signal stays ignored.
        for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            if callable(signal.getsignal(signum)):
                previous[signum] = signal.signal(signum, on_stop)
    try:
        deadline = time.monotonic() + timeout
        typed = b""
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            if select.select([fd], [], [], min(left, 0.1))[0]:
                chunk = os.read(fd, 1024)
                if not chunk:
                    return typed.decode("utf-8", "replace") or None
                typed += chunk
                if b"\n" in typed:
                    return typed.split(b"\n", 1)[0].decode("utf-8", "replace")
    except _StopAsked:
        return None
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


def ask_on_terminal(question: str, *, stdin=None, out=None,
                    timeout: float = CONFIRM_TIMEOUT_S) -> bool | None:
    """Ask a yes/no question on the terminal; default no, and no answer in time is no.
    None when there is no terminal to ask on."""
    stdin = sys.stdin if stdin is None else stdin
    out = sys.stdout if out is None else out
    try:
        fd = stdin.fileno()
        if not os.isatty(fd):
            return None
    except (AttributeError, OSError, ValueError):
        return None
    out.write(f"{question} [y/N] (no answer in {timeout:g} s is no): ")
    out.flush()
    answer = _read_answer(fd, timeout)
    if answer is None:
        out.write("\n")
    _say(out, f"[corvane] answer: {'yes' if _is_yes(answer) else 'no'}")
    return _is_yes(answer)


def _is_yes(answer: str | None) -> bool:
    return answer is not None and answer.strip().lower() in ("y", "yes")


def _run_live(name: str, command: str, timeout: float, out) -> RecoveryStep:
    """Run one step in its own process group, showing its output line by line, prefixed."""
    prefix = f"[corvane recovery {name}] "
    kept = bytearray()
    pending = bytearray()

    def show(final: bool = False) -> None:
        while True:
            cut = pending.find(b"\n")
            if cut < 0:
                if not (final and pending) and len(pending) < _MAX_SHOWN_LINE_BYTES:
                    return
                cut = len(pending)
            text = bytes(pending[:cut]).decode("utf-8", "replace").rstrip("\r")
            del pending[:cut + 1]
            _say(out, prefix + text)

    try:
        proc = subprocess.Popen(command, shell=True, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                start_new_session=True)
    except OSError as exc:
        return RecoveryStep(name, command, None, f"could not start: {exc.strerror or exc}")
    timed_out = False
    try:
        fd = proc.stdout.fileno()
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                if timed_out:
                    break  # a process that left the group still holds the pipe
                timed_out = True
                _kill_group(proc)
                deadline = time.monotonic() + 2
                continue
            if not select.select([fd], [], [], min(left, 0.1))[0]:
                continue
            data = os.read(fd, 65536)
            if not data:
                break
            kept += data
            del kept[:-_KEPT_OUTPUT_BYTES]
            pending.extend(data)
            show()
        show(final=True)
        try:
            returncode = proc.wait(timeout=max(deadline - time.monotonic(), 0) + 2)
        except subprocess.TimeoutExpired:
            timed_out = True
            _kill_group(proc)
            proc.wait()
    except BaseException:
        _kill_group(proc)
        proc.wait()
        raise
    finally:
        proc.stdout.close()
    if timed_out:
        returncode = TIMEOUT_RETURNCODE
    return RecoveryStep(name, command, returncode, bytes(kept).decode("utf-8", "replace"),
                        timed_out)


def _failure_reason(step: RecoveryStep, timeout: float) -> str:
    command = step.command if len(step.command) <= 100 else step.command[:97] + "..."
    if step.returncode is None:
        why = step.output
    elif step.timed_out:
        why = f"timed out after {timeout:g} s"
    elif step.returncode < 0:
        why = f"ended by signal {-step.returncode}"
    else:
        why = f"exited with status {step.returncode}"
    return f"the {step.name} step ({command}) {why}"


def execute_recovery(plan: RecoveryPlan, config, registry=None, simulate: bool = True,
                     timeout: float = 120, *,
                     ask: Callable[[str], bool | None] | None = None,
                     out=None, end_job: Callable[[], None] | None = None) -> RecoveryResult:
    """Carry out a plan: drain the node, then restart the job.

    `end_job`, given by a monitor whose job still runs, ends that job (and waits until every
    process of it is gone) before the restart step runs: a restarted job never runs beside
    the one it replaces.

    With `simulate` true nothing runs; the result lists what would run. Otherwise mode
    "confirm" first asks (`ask`, by default on the terminal: True yes, False no, None no
    terminal) and mode "auto" does not. A live step that fails stops the sequence (a job
    is not restarted on a node that failed to drain).
    """
    out = sys.stdout if out is None else out
    mode = str(_section(config, "recovery").get("mode", "auto"))
    wanted = [(name, cmd) for name, cmd in (("drain", plan.drain_command),
                                            ("restart", plan.restart_command)) if cmd]
    steps = []
    if simulate:
        steps = [RecoveryStep(name, cmd) for name, cmd in wanted]
        status = "simulated"
        summary = "Would run: " + "; ".join(cmd for _, cmd in wanted) if wanted else "Nothing to run"
    else:
        answer = True
        if mode == "confirm" and wanted:
            question = describe_plan(plan) + "\n[corvane] run this recovery plan now?"
            try:
                answer = (ask or ask_on_terminal)(question)
            except KeyboardInterrupt:
                _record(registry, plan, mode, "declined",
                        f"Recovery declined for {plan.node_id}: interrupted", steps)
                raise
        if answer is None:
            status = "awaiting_confirmation"
            summary = (f"Recovery plan for {plan.node_id} awaits confirmation: no terminal to "
                       "ask on, nothing was run")
            out.write(describe_plan(plan) + "\n")
            _say(out, f"[corvane] {summary}")
        elif not answer:
            status = "declined"
            summary = f"Recovery declined for {plan.node_id}: nothing was run"
            _say(out, f"[corvane] {summary}")
        else:
            status = "executed"
            summary = f"Recovery executed for {plan.node_id}"
            for name, cmd in wanted:
                if name == "restart" and end_job is not None:
                    _say(out, "[corvane] recovery: ending the job before it is restarted")
                    end_job()
                    end_job = None
                _say(out, f"[corvane] recovery: running the {name} step: {cmd}")
                step = _run_live(name, cmd, timeout, out)
                steps.append(step)
                if step.returncode != 0:
                    status = "failed"
                    summary = f"Recovery failed for {plan.node_id}: {_failure_reason(step, timeout)}"
                    _say(out, f"[corvane] {summary}")
                    break
    _record(registry, plan, mode, status, summary, steps)
    return RecoveryResult(mode=mode, status=status, simulated=simulate, plan=plan,
                          steps=tuple(steps), summary=summary)


def _record(registry, plan: RecoveryPlan, mode: str, status: str, summary: str,
            steps: list) -> None:
    if registry is not None:
        registry.record_recovery_event(
            job_id=plan.job_id, node_id=plan.node_id, mode=mode, status=status, summary=summary,
            plan=_plan_map(plan),
            details={"steps": [s.__dict__ for s in steps], "triggers": list(plan.failed_triggers)},
            replacement_node=plan.replacement_node)
