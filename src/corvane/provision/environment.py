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


def host_snapshot(path: str | os.PathLike | None = None) -> dict:
    """Host name and free space (GB, 10^9 bytes) of the working directory's volume."""
    try:
        free = shutil.disk_usage(os.fspath(path) if path is not None else os.getcwd()).free
    except OSError:
        free = 0
    return {"hostname": socket.gethostname(), "disk_free_gb": round(free / 1e9, 2)}


@dataclass(frozen=True)
class GpuInventoryEntry:
    index: int
    pci_bus_id: str
    name: str


def _parse_inventory(text: str) -> list[GpuInventoryEntry]:
    entries = []
    for line in text.splitlines():
        parts = [p.strip() for p in line.split(",")]
        if len(parts) < 3 or not parts[0].isdigit():
            continue
        # A model name may itself hold commas; everything after the bus id belongs to it.
        entries.append(GpuInventoryEntry(int(parts[0]), parts[1], ", ".join(parts[2:])))
    return entries


def detect_gpu_inventory(timeout: float = 10) -> list[GpuInventoryEntry]:
    """The node's GPUs as the driver lists them; empty when the tool is missing or fails."""
    exe = shutil.which("nvidia-smi")
    if exe is None:
        return []
    try:
        proc = subprocess.run(
            [exe, "--query-gpu=index,pci.bus_id,name", "--format=csv,noheader"],
            capture_output=True,
            text=True,
            errors="replace",
            timeout=timeout,
            check=False,
        )
    except (OSError, subprocess.SubprocessError):
        return []
    if proc.returncode != 0:
        return []
    return _parse_inventory(proc.stdout)


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


TIMEOUT_RETURNCODE = 124


def run_shell(command: str, timeout: float = 15) -> ShellResult:
    """Run one shell line, capturing its output.

    A command that outlives `timeout` seconds has its whole process group killed and gives
    a result with return code 124 (what `timeout(1)` uses) instead of an exception.
    """
    # The context closes both pipes and reaps the shell on every way out.
    with subprocess.Popen(
        command,
        shell=True,
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        errors="replace",
        start_new_session=True,
    ) as proc:
        try:
            out, err = proc.communicate(timeout=timeout)
            return ShellResult(command, proc.returncode, out, err)
        except subprocess.TimeoutExpired:
            _kill_group(proc)
            try:
                out, err = proc.communicate(timeout=2)
            except subprocess.TimeoutExpired:
                # A process that left the group still holds the pipes: give up on them.
                out, err = "", ""
            return ShellResult(command, TIMEOUT_RETURNCODE, out or "", err or "", timed_out=True)
        except BaseException:
            _kill_group(proc)
            raise


def _kill_group(proc: subprocess.Popen) -> None:
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass
