"""Experiment-tracking bridges: findings and GPU metrics appended as JSON lines, several
bridges fed at once, and the job's heartbeat in the registry."""

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


class FanOutBridge:
    """Feeds several bridges at once (the metrics file and Prometheus, say). A sink that
    is closed or lacks a call is skipped; one that fails does not keep the others from
    their share, and its error is raised afterwards for the runner to log."""

    def __init__(self, sinks):
        self.sinks = [s for s in sinks if s is not None]

    @property
    def active(self) -> bool:
        return any(getattr(s, "active", False) for s in self.sinks)

    def _each(self, call: str, *args, **kwargs) -> None:
        failure = None
        for sink in self.sinks:
            fn = getattr(sink, call, None)
            if fn is None or not getattr(sink, "active", False):
                continue
            try:
                fn(*args, **kwargs)
            except Exception as exc:  # noqa: BLE001 - the others still get theirs
                failure = failure or exc
        if failure is not None:
            raise failure

    def log_finding(self, *args, **kwargs) -> None:
        self._each("log_finding", *args, **kwargs)

    def log_gpu_metrics(self, *args, **kwargs) -> None:
        self._each("log_gpu_metrics", *args, **kwargs)

    def log_job_state(self, *args, **kwargs) -> None:
        self._each("log_job_state", *args, **kwargs)

    def close(self) -> None:
        failure = None
        for sink in self.sinks:
            try:
                sink.close()
            except Exception as exc:  # noqa: BLE001 - every sink is closed
                failure = failure or exc
        if failure is not None:
            raise failure


class RegistryHeartbeat:
    """The job's heartbeat in the registry while the runner says the job runs: written every
    poll interval by a thread of its own, so that a long recovery step holding up the
    runner's loop does not make a live job look lost, and a monitor that dies stops it."""

    active = True

    def __init__(self, registry):
        self._registry = registry
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None

    def log_job_state(self, state) -> None:
        if not state.get("running"):
            self.close()
            return
        if self._thread is None and state.get("job_id") is not None:
            interval = max(float(state.get("poll_interval_s") or 5.0), 0.1)
            self._thread = threading.Thread(target=self._beat, daemon=True,
                                            args=(str(state["job_id"]), interval),
                                            name="corvane-heartbeat")
            self._thread.start()

    def _beat(self, job_id: str, interval: float) -> None:
        while True:
            try:
                self._registry.heartbeat(job_id, interval)
            except Exception:  # noqa: BLE001 - a refused heartbeat is said by the next one
                pass
            if self._stop.wait(interval):
                return

    def close(self) -> None:
        self._stop.set()
