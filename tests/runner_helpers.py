"""Shared pieces of the runner tests: a recording registry and a fast configuration."""

import copy
import os
import sys
import textwrap
import time

from corvane.config import DEFAULT_CONFIG

PY = sys.executable


def readme_block(after: str) -> str:
    """The README's indented block that follows the paragraph ending in `after`, as written."""
    text = open(os.path.join(os.path.dirname(__file__), "..", "README.md"), encoding="utf-8").read()
    block = text[text.index(after):].split("\n\n")[1]
    return "\n".join(line[4:] for line in block.splitlines()) + "\n"


def fast_config(**recovery):
    cfg = copy.deepcopy(DEFAULT_CONFIG)
    cfg["monitor"].update(poll_interval="1s", hang_detection_timeout="1s",
                          hang_detection_grace="0s")
    cfg["recovery"] = {"enabled": True, "mode": "plan", **recovery}
    return cfg


def script(body: str) -> list:
    return [PY, "-c", textwrap.dedent(body)]


class RecordingRegistry:
    def __init__(self):
        self.calls = []

    def __getattr__(self, name):
        def record(*args, **kwargs):
            self.calls.append((name, args, kwargs))
        return record

    def named(self, name):
        return [c for c in self.calls if c[0] == name]


class Bridge:
    def __init__(self, active):
        self.active = active
        self.findings = []

    def log_finding(self, *args, **kwargs):
        self.findings.append((args, kwargs))


def alive(pid: int) -> bool:
    """Whether `pid` still runs (a zombie waiting for its reaper counts as ended)."""
    try:
        with open(f"/proc/{pid}/stat", encoding="utf-8") as fh:
            state = fh.read().rsplit(")", 1)[1].split()[0]
    except (FileNotFoundError, ProcessLookupError, IndexError):
        return False
    return state not in ("Z", "X")


def marked_processes(mark: str) -> list[int]:
    """Pids of live processes whose environment holds `mark` (inherited by every process
    a test's command started, however deep)."""
    needle = mark.encode()
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/environ", "rb") as fh:
                if needle in fh.read() and alive(int(entry)):
                    found.append(int(entry))
        except OSError:
            continue
    return found


def wait_for(condition, seconds=10.0):
    """Polls `condition` until it holds or `seconds` pass; its last answer."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.01)
    return condition()


def tool_env() -> dict:
    """The environment for the servers the tests start (PostgreSQL, Prometheus): without the
    sanitizer runtime that a sanitized test run preloads into everything it starts."""
    return {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}
