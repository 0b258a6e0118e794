"""A small experiment-tracking bridge: findings and GPU metrics appended as JSON lines."""

from __future__ import annotations

import json
import os
import threading
import time


class MetricsFileBridge:
    """Appends one JSON object per line to a file; safe to call from several threads."""

    def __init__(self, path: str | os.PathLike):
        self.path = os.fspath(path)
        parent = os.path.dirname(self.path)
        if parent:
            os.makedirs(parent, exist_ok=True)
        self._lock = threading.Lock()
        # Findings name hosts and commands: a new file is readable by its owner only.
        fd = os.open(self.path, os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC, 0o600)
        try:
            if os.fstat(fd).st_size == 0:
                os.fchmod(fd, 0o600)
            self._fh = open(fd, "a", encoding="utf-8")
        except BaseException:
            os.close(fd)
            raise
        self.active = True

    def _write(self, record: dict) -> None:
        line = json.dumps(record, default=repr) + "\n"
        with self._lock:
            if self._fh.closed:
                return
            self._fh.write(line)
            self._fh.flush()

    def log_finding(self, event_type, severity, summary, details, step=None, phase=None) -> None:
        self._write({"type": "finding", "time": time.time(), "event_type": event_type,
                     "severity": severity, "summary": summary, "details": details,
                     "step": step, "phase": phase})

    def log_gpu_metrics(self, snapshots, step=None, phase=None) -> None:
        self._write({"type": "gpu_metrics", "time": time.time(), "gpus": snapshots,
                     "step": step, "phase": phase})

    def close(self) -> None:
        with self._lock:
            self.active = False
            self._fh.close()
