"""Recovery after a critical hardware finding: a plan, then its (simulated) execution.

A plan names the newest checkpoint under the job's checkpoint directory, the command that
takes the node out of service and the command that restarts the job from the checkpoint.
"""

from __future__ import annotations

import os
import shlex
from dataclasses import dataclass, field
from pathlib import Path
from typing import Sequence

from ..provision.environment import run_shell

CHECKPOINT_SUFFIXES = (".pt", ".pth", ".ckpt", ".safetensors", ".bin", ".distcp", ".npz")
CHECKPOINT_DIR_PREFIXES = ("checkpoint", "global_step", "step_", "iter_", "epoch")
_MAX_SCANNED = 20000


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


@dataclass(frozen=True)
class RecoveryStep:
    name: str
    command: str
    returncode: int | None = None
    output: str = ""


@dataclass(frozen=True)
class RecoveryResult:
    mode: str
    status: str  # "simulated", "executed" or "failed"
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


def build_recovery_plan(config, *, job_id: str, node_id: str, command: str, checkpoint_dir=None,
                        failed_triggers: Sequence[str] = (), registry=None) -> RecoveryPlan:
    """Plan the recovery of a job whose node can no longer be trusted.

    "recovery" -> "restart_command" may hold a template with {command}, {checkpoint},
    {node} and {job_id}; "recovery" -> "drain_command" likewise with {node} and {reason}.
    """
    recovery = _section(config, "recovery")
    cluster = _section(config, "cluster")
    triggers = tuple(sorted(set(failed_triggers)))
    checkpoint = find_latest_checkpoint(checkpoint_dir)
    reason = "corvane: " + (", ".join(triggers) or "critical finding")
    values = {"node": node_id, "job_id": job_id, "reason": reason, "command": command,
              "checkpoint": checkpoint or ""}

    drain_template = recovery.get("drain_command")
    if drain_template:
        drain = str(drain_template).format(**{k: shlex.quote(v) for k, v in values.items()})
    elif cluster.get("scheduler") == "slurm":
        drain = (f"scontrol update NodeName={shlex.quote(node_id)} State=DRAIN "
                 f"Reason={shlex.quote(reason)}")
    else:
        drain = None

    restart_template = recovery.get("restart_command")
    if restart_template:
        restart = str(restart_template).format(
            command=command, checkpoint=shlex.quote(checkpoint or ""), node=shlex.quote(node_id),
            job_id=shlex.quote(job_id), reason=shlex.quote(reason))
    else:
        restart = command

    replacement = recovery.get("replacement_node") or None
    return RecoveryPlan(job_id=job_id, node_id=node_id, command=command, failed_triggers=triggers,
                        checkpoint_path=checkpoint, drain_command=drain, restart_command=restart,
                        replacement_node=str(replacement) if replacement else None)


def _plan_map(plan: RecoveryPlan) -> dict:
    return {"checkpoint_path": plan.checkpoint_path, "drain_command": plan.drain_command,
            "restart_command": plan.restart_command, "replacement_node": plan.replacement_node}


def execute_recovery(plan: RecoveryPlan, config, registry=None, simulate: bool = True,
                     timeout: float = 120) -> RecoveryResult:
    """Carry out a plan: drain the node, then restart the job.

    With `simulate` true nothing runs; the result lists what would run. A live step that
    fails stops the sequence (a job is not restarted on a node that failed to drain).
    """
    mode = str(_section(config, "recovery").get("mode", "auto"))
    wanted = [(name, cmd) for name, cmd in (("drain", plan.drain_command),
                                            ("restart", plan.restart_command)) if cmd]
    steps = []
    if simulate:
        steps = [RecoveryStep(name, cmd) for name, cmd in wanted]
        status = "simulated"
        summary = "Would run: " + "; ".join(cmd for _, cmd in wanted) if wanted else "Nothing to run"
    else:
        status = "executed"
        for name, cmd in wanted:
            result = run_shell(cmd, timeout=timeout)
            steps.append(RecoveryStep(name, cmd, result.returncode,
                                      (result.stdout + result.stderr)[-4000:]))
            if result.returncode != 0:
                status = "failed"
                break
        summary = f"Recovery {status} for {plan.node_id}"
    result = RecoveryResult(mode=mode, status=status, simulated=simulate, plan=plan,
                            steps=tuple(steps), summary=summary)
    if registry is not None:
        registry.record_recovery_event(
            job_id=plan.job_id, node_id=plan.node_id, mode=mode, status=status, summary=summary,
            plan=_plan_map(plan),
            details={"steps": [s.__dict__ for s in steps], "triggers": list(plan.failed_triggers)},
            replacement_node=plan.replacement_node)
    return result
