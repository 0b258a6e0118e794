"""`corvane agent`: watches the node it runs on without running a job.

The same watchers as beside a monitored job (telemetry with its detectors and NVML events,
the kernel log) plus the node checks (GPU inventory, free disk). Each new finding becomes
one line on stdout: a JSON object with "node", "time", "event_type", "severity",
"summary" and "details", or with `--format text` the line the monitor would print. A job's
monitor starts one agent per other node of a Slurm allocation and reads these lines.
"""

from __future__ import annotations

import json
import math
import os
import signal
import sys
import threading
import time
import uuid

FINDING_KEYS = ("node", "time", "event_type", "severity", "summary", "details")

# How often new findings are looked for: a finding reaches stdout within this.
_EMIT_EVERY_S = 0.05
_HOOKS_EVERY_S = 0.25  # how often the node's hook file is read for reports to pass on
# The threads' end at shutdown: bounded, a hung tool never holds the agent up.
_JOIN_S = 2.0


def _plain(value, depth: int = 0):
    """`value` as JSON can carry it: maps with text keys, lists, text, finite numbers,
    booleans and None; anything else as its text."""
    if depth > 20:
        return str(value)
    if value is None or isinstance(value, (bool, str, int)):
        return value
    if isinstance(value, float):
        return value if math.isfinite(value) else str(value)
    if isinstance(value, dict):
        return {str(k): _plain(v, depth + 1) for k, v in value.items()}
    if isinstance(value, (list, tuple, set, frozenset)):
        return [_plain(v, depth + 1) for v in value]
    return str(value)


def finding_record(finding, node: str, when: float) -> dict:
    details = finding.details if isinstance(finding.details, dict) else {}
    return {"node": node, "time": round(when, 3), "event_type": str(finding.event_type),
            "severity": str(finding.severity), "summary": str(finding.summary),
            "details": _plain(details)}


def finding_json(finding, node: str, when: float) -> str:
    return json.dumps(finding_record(finding, node, when), ensure_ascii=True,
                      separators=(",", ":"))


class NodeWatch:
    """The node's watchers on their own threads, appending to one findings list."""

    def __init__(self, config: dict, job_running: bool, bridge=None):
        from .monitor import monitoring as m

        self.m = m
        self.config = config
        self.findings: list = []
        self.lock = threading.Lock()
        self.stop_event = threading.Event()
        inventory = m.detect_gpu_inventory()
        name = inventory[0].name if inventory else str(config["cluster"].get("gpu_type", ""))
        profile = m.detect_gpu_profile(name, config)
        self.threads = [
            self._start(m._hardware_telemetry_loop,
                        (config, self.findings, self.lock, self.stop_event, [time.time()],
                         profile, bridge, None, [job_running])),
            self._start(m._dmesg_watcher_loop, (self.findings, self.lock, self.stop_event)),
        ]

    @staticmethod
    def _start(target, args) -> threading.Thread:
        thread = threading.Thread(target=target, args=args, daemon=True)
        thread.start()
        return thread

    def add(self, event_type: str, severity: str, summary: str, details: dict) -> None:
        self.m._append_finding(self.findings, self.lock,
                               self.m.MonitorFinding(event_type, severity, summary, details))

    def check_disk(self) -> None:
        free_gb = self.m.host_snapshot()["disk_free_gb"]
        if free_gb < 1:
            self.add("filesystem_lost", "CRITICAL",
                     "Less than 1GB of free disk remains in the working volume",
                     {"disk_free_gb": free_gb})

    def take_new(self) -> list:
        """The findings appended since the last call; the list is emptied, so an agent that
        runs for months holds none it already reported."""
        with self.lock:
            fresh = self.findings[:]
            del self.findings[:]
        return fresh

    def stop(self) -> None:
        self.stop_event.set()
        for thread in self.threads:
            thread.join(_JOIN_S)


class _Stdin:
    """Sets `stop` once standard input closes (the reader is a daemon thread)."""

    def __init__(self, stop: threading.Event):
        def drain():
            try:
                fd = sys.stdin.fileno()
                while os.read(fd, 65536):
                    pass
            except (OSError, ValueError, AttributeError):
                pass
            stop.set()

        threading.Thread(target=drain, daemon=True, name="corvane-agent-stdin").start()


def _record(registry, node, job_id, finding, config, failed: list) -> None:
    """A registry that fails costs the record (said once per run), not the watch."""
    try:
        registry.record_event(node_id=node, job_id=job_id, event_type=finding.event_type,
                              severity=finding.severity, summary=finding.summary,
                              details=finding.details,
                              gpu_type=config["cluster"].get("gpu_type", "UNKNOWN"))
    except Exception as exc:  # noqa: BLE001
        if not failed:
            failed.append(exc)
            print(f"corvane: agent: recording in the registry failed: {exc}", file=sys.stderr)


def _heartbeat(registry, job_id, period: float) -> None:
    try:
        registry.heartbeat(job_id, period)
    except Exception:  # noqa: BLE001 - a failing registry is said by _record
        pass


def _export(exporter, method: str, *args) -> None:
    """A metrics exporter that fails is said on stderr; the watch goes on."""
    if exporter is None:
        return
    try:
        getattr(exporter, method)(*args)
    except Exception as exc:  # noqa: BLE001
        print(f"corvane: agent: metrics export failed: {exc}", file=sys.stderr)


class HookForwarder:
    """The reports in this node's copy of the job's hook file that name this node, each as
    one line {"node": ..., "hook": <the report as written>} for the job's monitor. A shared
    file holds the other nodes' reports too: their own agents pass those on."""

    MAX_REPORT = 30000  # bytes; the line that carries it stays within the reader's bound

    def __init__(self, path: str, node: str):
        self.path, self.node = path, node
        self.identity, self.offset = None, 0
        self.partial, self.skipping = b"", False  # a line too long is skipped to its end

    def _read(self) -> bytes:
        import stat

        try:  # never blocks: a FIFO or device in its place is not read
            fd = os.open(self.path, os.O_RDONLY | os.O_NONBLOCK)
        except OSError:
            return b""
        try:
            st = os.fstat(fd)
            if not stat.S_ISREG(st.st_mode):
                return b""
            if (st.st_dev, st.st_ino) != self.identity or st.st_size < self.offset:
                self.identity, self.offset, self.partial, self.skipping = (
                    (st.st_dev, st.st_ino), 0, b"", False)  # a new or truncated file
            data = os.pread(fd, 1 << 20, self.offset)
        except OSError:
            return b""
        finally:
            os.close(fd)
        self.offset += len(data)
        return data

    def lines(self) -> list[str]:
        out = []
        *whole, rest = (self.partial + self._read()).split(b"\n")
        for raw in whole:
            skipped, self.skipping = self.skipping, False
            if skipped or len(raw) > self.MAX_REPORT:
                continue
            try:
                report = json.loads(raw)
            except (ValueError, RecursionError):
                continue
            if isinstance(report, dict) and report.get("node") == self.node:
                out.append(json.dumps({"node": self.node, "hook": raw.decode("utf-8", "replace")},
                                      separators=(",", ":")))
        self.partial = rest
        if len(rest) > self.MAX_REPORT:
            self.partial, self.skipping = b"", True
        return out


def run_agent(config: dict, *, fmt: str = "json", stdin_eof: bool = False,
              job_running: bool = False, registry=None, stop: threading.Event | None = None,
              out=None, exporter=None) -> int:
    """Watches until `stop` is set (by SIGTERM/SIGINT from the command, or stdin's end).
    `exporter` (a Prometheus exporter) gets the GPU readings, the findings and, each period,
    that the node is watched."""
    from .provision.environment import node_identity
    from .ui.display import format_finding, shown

    out = out if out is not None else sys.stdout
    stop = stop if stop is not None else threading.Event()
    node = node_identity()
    job_id = None
    if registry is not None:
        job_id = f"agent-{uuid.uuid4().hex[:8]}"
        registry.ensure_node(node, gpu_type=config["cluster"].get("gpu_type", "UNKNOWN"))
        registry.start_job(job_id, "corvane agent", {"kind": "agent", "node_id": node})
    if stdin_eof:
        _Stdin(stop)
    watch = NodeWatch(config, job_running, exporter)
    from .agent_step import HOOK_FILE_ENV

    hooks = HookForwarder(os.environ[HOOK_FILE_ENV], node) if os.environ.get(
        HOOK_FILE_ENV) and fmt == "json" else None
    next_hooks = time.monotonic()
    period = max(float(watch.m.parse_duration(str(config["monitor"]["poll_interval"]))), 1.0)
    reported: set = set()
    record_failed: list = []
    next_check = time.monotonic()
    status = "completed"
    try:
        # The first line tells a reader (a job's monitor) that this node is watched.
        started = {"node": node, "time": round(time.time(), 3), "event_type": "agent_started",
                   "severity": "INFO", "summary": f"corvane agent watching {node}",
                   "details": {"pid": os.getpid()}}
        first = (json.dumps(started, separators=(",", ":")) if fmt == "json"
                 else shown(f"{node}: {started['summary']}"))
        out.write(first + "\n")
        out.flush()
        while True:
            if time.monotonic() >= next_check:
                next_check = time.monotonic() + period
                watch.check_disk()
                _export(exporter, "log_job_state", {"running": True, "poll_interval_s": period})
                if registry is not None:
                    _heartbeat(registry, job_id, period)
            if hooks is not None and (time.monotonic() >= next_hooks or stop.is_set()):
                next_hooks = time.monotonic() + _HOOKS_EVERY_S
                for line in hooks.lines():
                    out.write(line + "\n")
                out.flush()
            for finding in watch.take_new():
                signature = (finding.event_type, finding.severity, finding.summary)
                if signature in reported:
                    continue
                reported.add(signature)
                now = time.time()
                if fmt == "text":
                    line = format_finding(finding, timestamp=time.strftime("%H:%M:%S"))
                    line = f"{shown(node)}: {line}"
                else:
                    line = finding_json(finding, node, now)
                out.write(line + "\n")
                out.flush()
                if registry is not None:
                    _record(registry, node, job_id, finding, config, record_failed)
                _export(exporter, "log_finding", finding.event_type, finding.severity,
                        finding.summary, finding.details)
            if stop.is_set():
                break
            stop.wait(_EMIT_EVERY_S)
    except BrokenPipeError:
        status = "interrupted"  # the reader went away: nobody is left to tell
        if out is sys.stdout:  # nor at exit, when the host flushes it once more
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
            os.close(devnull)
    finally:
        watch.stop()
        _export(exporter, "log_job_state", {"running": False, "poll_interval_s": period})
        if registry is not None:
            try:
                registry.finish_job(job_id, status, [node])
            except Exception as exc:  # noqa: BLE001 - the end is said, not raised
                print(f"corvane: agent: recording the end failed: {exc}", file=sys.stderr)
    return 0


def agent_config(path, load_config) -> dict:
    """The file's configuration; without one, the job's when a monitor started this agent
    (it passes its merged configuration in $CORVANE_AGENT_CONFIG), else the defaults."""
    from .agent_step import CONFIG_ENV
    from .config import DEFAULT_CONFIG, ConfigError, _merge, loads_bounded, validate_config

    passed = os.environ.get(CONFIG_ENV)
    if path is not None or not passed:
        return load_config(path)
    try:
        data = loads_bounded(passed)
    except ValueError as exc:
        raise ConfigError(f"invalid configuration in ${CONFIG_ENV}: not valid JSON: {exc}") \
            from None
    if not isinstance(data, dict):
        raise ConfigError(f"invalid configuration in ${CONFIG_ENV}: not a table")
    config = _merge(DEFAULT_CONFIG, data)
    try:
        validate_config(config)
    except ConfigError as exc:
        raise ConfigError(f"invalid configuration in ${CONFIG_ENV}: {exc}") from None
    return config


def command(args, load_config, registry_for, check_injection, exporter_for) -> int:
    """The `corvane agent` command; stops on SIGTERM, SIGINT or SIGHUP."""
    config = agent_config(args.config, load_config)
    check_injection()
    registry = registry_for(args.registry) if args.registry else None
    exporter = exporter_for(args)
    stop = threading.Event()

    def on_signal(_signum, _frame):
        stop.set()

    previous = {}
    if threading.current_thread() is threading.main_thread():
        previous = {s: signal.signal(s, on_signal)
                    for s in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)}
    try:
        run_agent(config, fmt=args.format, stdin_eof=args.stdin_eof,
                  job_running=args.job_running, registry=registry, stop=stop,
                  exporter=exporter)
    finally:
        for s, handler in previous.items():
            signal.signal(s, handler)
        if exporter is not None:
            exporter.close()
    return 0
