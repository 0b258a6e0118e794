"""The node as the monitor sees it: durations, host name and disk, GPU inventory, shell."""

from __future__ import annotations

import math
import os
import re
import shlex
import shutil
import signal
import socket
import subprocess
import time
from dataclasses import dataclass
from typing import Sequence

_UNIT_SECONDS = {"ms": 0.001, "s": 1, "m": 60, "h": 3600, "d": 86400}
_PART = re.compile(r"(\d+(?:\.\d+)?|\.\d+)(ms|s|m|h|d)")
_BARE = re.compile(r"\d+(?:\.\d+)?|\.\d+")


def parse_duration(text) -> int | float:
    """Seconds in a duration such as "250ms", "30s", "5m", "1h30m" or a bare number.

    Whole results come back as int, others as float. Anything else raises ValueError
    naming the text.
    """
    if isinstance(text, bool):
        raise ValueError(f"invalid duration {text!r}")
    if isinstance(text, (int, float)):
        if not math.isfinite(text) or text < 0:
            raise ValueError(f"invalid duration {text!r}")
        return text
    if not isinstance(text, str):
        raise ValueError(f"invalid duration {text!r}")
    s = text.strip().lower()
    if _BARE.fullmatch(s):
        value = float(s)
    else:
        pos = 0
        value = 0.0
        for m in _PART.finditer(s):
            if m.start() != pos:
                break
            value += float(m.group(1)) * _UNIT_SECONDS[m.group(2)]
            pos = m.end()
        if not s or pos != len(s):
            raise ValueError(
                f"invalid duration {text!r}: use a number of seconds or units such as "
                "250ms, 30s, 5m, 1h, 1h30m"
            )
    return int(value) if value.is_integer() else value


def node_identity() -> str:
    """The name findings are recorded under: $CORVANE_NODE_ID, else Slurm's node name, else the host name."""
    return (os.environ.get("CORVANE_NODE_ID") or os.environ.get("SLURMD_NODENAME")
            or socket.gethostname())


def host_snapshot(path: str | os.PathLike | None = None) -> dict:
    """Host name and free space (GB, 10^9 bytes) of the working directory's volume."""
    try:
        free = shutil.disk_usage(os.fspath(path) if path is not None else os.getcwd()).free
    except OSError:
        free = 0
    return {"hostname": node_identity(), "disk_free_gb": round(free / 1e9, 2)}


@dataclass(frozen=True)
class GpuInventoryEntry:
    index: int
    pci_bus_id: str
    name: str


class GpuInventory(list):
    """The GPUs the driver listed, as GpuInventoryEntry items.

    `no_answer` says why the tool gave no answer in time (it timed out, or the caller's stop
    event ended it); the list is then empty and says nothing about how many GPUs there are.
    It is None when the tool answered, failed or is missing.
    """

    def __init__(self, entries=(), no_answer: str | None = None):
        super().__init__(entries)
        self.no_answer = no_answer


def _parse_inventory(text: str) -> list[GpuInventoryEntry]:
    entries = []
    for line in text.splitlines():
        parts = [p.strip() for p in line.split(",")]
        if len(parts) < 3:
            continue
        try:
            # int() takes any script's decimal digits; other characters that count as
            # digits ("²") do not convert: such a row is not a GPU.
            index = int(parts[0])
        except ValueError:
            continue
        # A model name may itself hold commas; everything after the bus id belongs to it.
        entries.append(GpuInventoryEntry(index, parts[1], ", ".join(parts[2:])))
    return entries


def detect_gpu_inventory(timeout: float = 10, stop=None) -> GpuInventory:
    """The node's GPUs as the driver lists them; empty when the tool is missing or fails.

    `stop` (an object with is_set(), such as a threading.Event) ends a running query early:
    its process group is killed and the result's `no_answer` says so.
    """
    exe = shutil.which("nvidia-smi")
    if exe is None:
        return GpuInventory()
    try:
        result = _run_tool([exe, "--query-gpu=index,pci.bus_id,name", "--format=csv,noheader"],
                           timeout, stop, shell=False)
    except (OSError, subprocess.SubprocessError):
        return GpuInventory()
    if result.timed_out or result.cancelled:
        return GpuInventory(no_answer=result.no_answer_reason(timeout))
    if result.returncode != 0:
        return GpuInventory()
    return GpuInventory(_parse_inventory(result.stdout))


def pretty_command(command: Sequence[str]) -> str:
    """One shell-quoted display string of an argument vector."""
    return shlex.join(str(part) for part in command)


@dataclass
class ShellResult:
    command: str
    returncode: int
    stdout: str
    stderr: str
    timed_out: bool = False
    cancelled: bool = False  # the caller's stop event ended it

    def no_answer_reason(self, timeout: float) -> str | None:
        if self.timed_out:
            return f"no answer within {timeout:g} s"
        if self.cancelled:
            return "stopped before it answered"
        return None


TIMEOUT_RETURNCODE = 124

# How often a running tool looks at its caller's stop event, and how long the pipes are
# still read after its process group was killed.
_STOP_CHECK_SECONDS = 0.05
_AFTER_KILL_SECONDS = 2.0


def run_shell(command: str, timeout: float = 15, stop=None) -> ShellResult:
    """Run one shell line, capturing its output.

    A command that outlives `timeout` seconds has its whole process group killed and gives
    a result with return code 124 (what `timeout(1)` uses) instead of an exception. `stop`
    (an object with is_set(), such as a threading.Event) ends it the same way as soon as it
    is set, with `cancelled` true; a stop already set runs nothing.
    """
    return _run_tool(command, timeout, stop, shell=True)


def _run_tool(command, timeout: float, stop, shell: bool) -> ShellResult:
    text = command if isinstance(command, str) else shlex.join(command)
    if stop is not None and stop.is_set():
        return ShellResult(text, TIMEOUT_RETURNCODE, "", "", cancelled=True)
    # The context closes both pipes and reaps the process on every way out.
    with subprocess.Popen(
        command,
        shell=shell,
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        errors="replace",
        start_new_session=True,
    ) as proc:
        try:
            out, err = _communicate(proc, timeout, stop)
            return ShellResult(text, proc.returncode, out, err)
        except (subprocess.TimeoutExpired, _Stopped) as exc:
            _kill_group(proc)
            try:
                out, err = proc.communicate(timeout=_AFTER_KILL_SECONDS)
            except subprocess.TimeoutExpired:
                # A process that left the group still holds the pipes: give up on them.
                out, err = "", ""
            stopped = isinstance(exc, _Stopped)
            return ShellResult(text, TIMEOUT_RETURNCODE, out or "", err or "",
                               timed_out=not stopped, cancelled=stopped)
        except BaseException:
            _kill_group(proc)
            raise


class _Stopped(Exception):
    pass


def _communicate(proc: subprocess.Popen, timeout: float, stop):
    if stop is None:
        return proc.communicate(timeout=timeout)
    deadline = time.monotonic() + timeout
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            raise subprocess.TimeoutExpired(proc.args, timeout)
        try:
            # A time-out here loses nothing: the next call goes on reading the pipes.
            return proc.communicate(timeout=min(left, _STOP_CHECK_SECONDS))
        except subprocess.TimeoutExpired:
            if stop.is_set():
                raise _Stopped() from None


def _kill_group(proc: subprocess.Popen) -> None:
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass
