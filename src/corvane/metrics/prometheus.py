"""Prometheus metrics of a monitored job.

The exporter is a metrics bridge like the metrics file: the runner hands it each finding,
each poll's GPU snapshots and, once per poll, the job's state. It keeps only the latest of
each and builds the exposition page when asked, so a GPU or label set that went away is
gone from the next page. The page is served on /metrics (`--prometheus-port`) and written
atomically to DIR/corvane.prom for node_exporter's textfile collector
(`--prometheus-textfile`) at every poll.

Every series carries a `node` label; GPU series carry `gpu` (the driver's index) and
`pci_bus_id`. Label values come from a small fixed set, never from free text such as
summaries or output lines. A value the telemetry source does not give is left out, never
reported as 0.
"""

from __future__ import annotations

import argparse
import contextlib
import logging
import math
import os
import threading
import time

log = logging.getLogger(__name__)

TEXTFILE_NAME = "corvane.prom"
DEFAULT_ADDR = "127.0.0.1"

# Bits of the driver's clock event (throttle) reason mask, as NVML returns it and
# nvidia-smi prints it in hexadecimal. Bits not named here are counted as "other".
THROTTLE_REASONS = (
    (0x1, "gpu_idle"),
    (0x2, "applications_clocks_setting"),
    (0x4, "sw_power_cap"),
    (0x8, "hw_slowdown"),
    (0x10, "sync_boost"),
    (0x20, "sw_thermal_slowdown"),
    (0x40, "hw_thermal_slowdown"),
    (0x80, "hw_power_brake_slowdown"),
    (0x100, "display_clock_setting"),
)
_KNOWN_THROTTLE_BITS = sum(bit for bit, _ in THROTTLE_REASONS)

MIB = 1024 * 1024

# (snapshot field, metric, help, factor to base units)
_GPU_GAUGES = (
    ("temperature_c", "corvane_gpu_temperature_celsius", "GPU core temperature.", 1),
    ("power_draw_w", "corvane_gpu_power_draw_watts", "GPU power draw.", 1),
    ("power_limit_w", "corvane_gpu_power_limit_watts", "GPU enforced power limit.", 1),
    ("util_gpu", "corvane_gpu_utilization_ratio",
     "Fraction of the driver's last sample period in which the GPU was busy.", 0.01),
    ("memory_used_mb", "corvane_gpu_memory_used_bytes", "GPU memory in use.", MIB),
    ("memory_total_mb", "corvane_gpu_memory_total_bytes", "GPU memory in all.", MIB),
)

# Distinct (event type, severity) pairs kept; findings of further kinds count as
# ("other", "other").
MAX_FINDING_KINDS = 256
_LABEL_CHARS = 256
_MAX_LINKS = 64


class ExporterError(Exception):
    """The exporter cannot be set up; one line, with the command's exit status."""

    def __init__(self, message: str, status: int = 1):
        super().__init__(message)
        self.status = status


def _number(value) -> float | None:
    """A finite reading, or None for one the source did not give."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return None
    value = float(value)
    return value if math.isfinite(value) else None


def _count(value) -> float | None:
    value = _number(value)
    return value if value is not None and value >= 0 else None


def _label(value) -> str:
    text = value if isinstance(value, str) else str(value)
    return text[:_LABEL_CHARS]


def throttle_mask(snapshot) -> int | None:
    """The active clock event reason mask of a snapshot: NVML's integer, or nvidia-smi's
    hexadecimal text; None when neither is there or readable."""
    mask = snapshot.get("throttle_reasons")
    if isinstance(mask, int) and not isinstance(mask, bool):
        return mask if mask >= 0 else None
    text = snapshot.get("throttle_reasons_text")
    if isinstance(text, str):
        text = text.strip()
        if text[:2].lower() == "0x":
            try:
                return int(text, 16)
            except ValueError:
                return None
    return None


class PrometheusExporter:
    """A metrics bridge that exposes what it was given to Prometheus.

    Safe to call from several threads. `node` is the name every series is labelled with.
    """

    def __init__(self, node: str, *, port: int | None = None, addr: str | None = None,
                 textfile_dir: str | os.PathLike | None = None):
        try:
            from prometheus_client import CollectorRegistry
        except ImportError:
            raise ExporterError("Prometheus metrics need the prometheus_client package "
                                "(pip install 'corvane[prometheus]')") from None
        self.node = _label(node)
        self._lock = threading.Lock()
        self._write_lock = threading.Lock()
        self._findings: dict[tuple[str, str], int] = {}
        self._gpus: list[dict] = []
        self._gpus_at: float | None = None
        self._job: dict | None = None
        self._job_at: float | None = None
        self._write_failures: set[str] = set()
        self.active = True
        self.registry = CollectorRegistry(auto_describe=False)
        self.registry.register(_Collector(self))
        self.textfile = None
        self._server = self._thread = None
        self.url = None
        if textfile_dir is not None:
            directory = os.fspath(textfile_dir)
            self.textfile = os.path.join(directory, TEXTFILE_NAME)
            # The directory is node_exporter's, made by whoever set it up: a typo must not
            # make a new one (as root, anywhere) that nothing reads.
            if not os.path.isdir(directory):
                raise ExporterError(
                    f"--prometheus-textfile {directory}: "
                    + ("not a directory" if os.path.exists(directory) else "no such directory")
                    + " (give node_exporter's --collector.textfile.directory)")
            try:
                self.write_textfile()
            except OSError as exc:
                raise ExporterError(f"cannot write the Prometheus textfile {self.textfile}: "
                                    f"{exc.strerror or exc}") from None
        if port is not None:
            try:
                self._serve(addr or DEFAULT_ADDR, port)
            except ExporterError:
                # No job is watched: no textfile says otherwise.
                if self.textfile is not None:
                    with contextlib.suppress(OSError):
                        os.unlink(self.textfile)
                raise

    def _serve(self, addr: str, port: int) -> None:
        from prometheus_client import start_http_server

        shown = f"[{addr}]" if ":" in addr else addr
        try:
            started = start_http_server(port, addr=addr, registry=self.registry)
        except OSError as exc:
            raise ExporterError(f"cannot serve Prometheus metrics on {shown}:{port}: "
                                f"{exc.strerror or exc}") from None
        # Older releases return nothing; the server is then only as reachable as asked.
        if isinstance(started, tuple):
            self._server, self._thread = started
            port = self._server.server_address[1]
        self.port = port
        self.url = f"http://{shown}:{port}/metrics"

    # The bridge calls (from the runner's and the telemetry thread).

    def log_finding(self, event_type, severity, summary=None, details=None, step=None,
                    phase=None) -> None:
        key = (_label(event_type), _label(severity))
        with self._lock:
            if key not in self._findings and len(self._findings) >= MAX_FINDING_KINDS:
                key = ("other", "other")
            self._findings[key] = self._findings.get(key, 0) + 1

    def log_gpu_metrics(self, snapshots, step=None, phase=None) -> None:
        gpus = [dict(s) for s in snapshots if isinstance(s, dict)]
        with self._lock:
            self._gpus = gpus
            self._gpus_at = time.time()

    def log_job_state(self, state) -> None:
        """The job's state at a poll: `running`, `last_output_at` (epoch seconds),
        `hook_ranks_fresh`, `poll_interval_s`. Rewrites the textfile."""
        with self._lock:
            self._job = dict(state)
            self._job_at = time.time()
        self._refresh_textfile()

    def _refresh_textfile(self) -> None:
        """Rewrites the textfile; a failure is said once per reason and the next poll tries
        again, the job's watch going on meanwhile."""
        if self.textfile is None:
            return
        try:
            self.write_textfile()
        except OSError as exc:
            reason = exc.strerror or str(exc)
            if reason not in self._write_failures and len(self._write_failures) < 16:
                self._write_failures.add(reason)
                log.warning("cannot write the Prometheus textfile %s: %s", self.textfile, reason)

    def close(self) -> None:
        """The job is no longer watched: the last page says so, and serving ends. GPU
        readings go: node_exporter serves the last textfile for as long as it stays, and
        nothing reads the GPUs any more."""
        with self._lock:
            if not self.active:
                return
            self.active = False
            self._gpus = []
            if self._job is not None and self._job.get("running"):
                self._job = dict(self._job, running=False)
                self._job_at = time.time()
        try:
            self._refresh_textfile()
        finally:
            if self._server is not None:
                self._server.shutdown()
                self._server.server_close()
                self._server = None

    # The page.

    def page(self) -> bytes:
        from prometheus_client import generate_latest

        return generate_latest(self.registry)

    def write_textfile(self) -> None:
        """Writes the page under a name node_exporter ignores, then renames it into place,
        so the collector never reads half a file."""
        directory = os.path.dirname(self.textfile)
        data = self.page()
        with self._write_lock:
            tmp = os.path.join(directory, f".{TEXTFILE_NAME}.{os.getpid()}.tmp")
            fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o644)
            try:
                try:
                    view = memoryview(data)
                    while view:
                        view = view[os.write(fd, view):]
                    # node_exporter may run as another user; the page names no secrets.
                    os.fchmod(fd, 0o644)
                    os.fsync(fd)
                finally:
                    os.close(fd)
                os.replace(tmp, self.textfile)
            except BaseException:
                with contextlib.suppress(OSError):
                    os.unlink(tmp)
                raise

    def snapshot(self):
        with self._lock:
            return (dict(self._findings), list(self._gpus), self._gpus_at,
                    None if self._job is None else dict(self._job), self._job_at, self.active)


class _Collector:
    """Builds the metric families from the exporter's latest state at each scrape."""

    def __init__(self, exporter: PrometheusExporter):
        self.exporter = exporter

    def collect(self):
        from prometheus_client.core import CounterMetricFamily

        exporter = self.exporter
        node = exporter.node
        findings, gpus, gpus_at, job, job_at, active = exporter.snapshot()
        now = time.time()

        family = CounterMetricFamily("corvane_findings", "Findings reported for the job.",
                                     labels=["node", "event_type", "severity"])
        for (event_type, severity), n in sorted(findings.items()):
            family.add_metric([node, event_type, severity], n)
        yield family

        running = bool(job and job.get("running")) and active
        poll = _number(job.get("poll_interval_s")) if job else None
        if job is not None:
            yield _gauge("corvane_job_running", "1 while the monitored job runs.", node,
                         1 if running else 0)
            last = _number(job.get("last_output_at"))
            if last is not None:
                # Frozen at the job's end, so a finished job does not look ever more silent.
                age = max(0.0, (now if running else job_at) - last)
                yield _gauge("corvane_job_last_output_age_seconds",
                             "Seconds since the job last wrote a line of output.", node, age)
            ranks = _count(job.get("hook_ranks_fresh"))
            if ranks is not None:
                yield _gauge("corvane_hook_ranks_fresh",
                             "Ranks whose hook report arrived in the last 15 seconds.", node,
                             ranks)

        # Up while snapshots keep coming at the telemetry's pace (a hung or failing tool
        # stops them).
        window = max(3 * poll, 10.0) if poll else 30.0
        up = running and gpus_at is not None and now - gpus_at <= window
        if job is not None or gpus_at is not None:
            yield _gauge("corvane_telemetry_up",
                         "1 while GPU telemetry answers for the monitored job.", node,
                         1 if up else 0)
        yield from _gpu_families(node, gpus)


def _gauge(name, documentation, node, value):
    from prometheus_client.core import GaugeMetricFamily

    family = GaugeMetricFamily(name, documentation, labels=["node"])
    family.add_metric([node], value)
    return family


def _gpu_families(node, gpus):
    from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily

    gpu_labels = ["node", "gpu", "pci_bus_id"]
    up = GaugeMetricFamily("corvane_gpu_up",
                           "1 when the GPU answered the last telemetry poll, 0 when it was lost "
                           "or its query failed.", labels=gpu_labels)
    gauges = [(field, GaugeMetricFamily(name, doc, labels=gpu_labels), factor)
              for field, name, doc, factor in _GPU_GAUGES]
    throttle = GaugeMetricFamily("corvane_gpu_throttle_reason_active",
                                 "1 for each clock event (throttle) reason the driver reports "
                                 "active.", labels=gpu_labels + ["reason"])
    ecc = CounterMetricFamily("corvane_gpu_ecc_errors",
                              "Volatile ECC errors since the driver loaded.",
                              labels=gpu_labels + ["type"])
    pcie = CounterMetricFamily("corvane_gpu_pcie_replays", "PCIe replays.", labels=gpu_labels)
    nvlink = CounterMetricFamily("corvane_gpu_nvlink_errors", "NVLink error counters per link.",
                                 labels=gpu_labels + ["link", "counter"])
    seen = set()
    for snap in gpus:
        index = snap.get("index")
        if isinstance(index, bool) or not isinstance(index, int) or index in seen:
            continue
        seen.add(index)
        pci = snap.get("pci_bus_id")
        labels = [node, str(index), _label(pci) if isinstance(pci, str) else ""]
        answered = not snap.get("gpu_lost") and not snap.get("query_error")
        up.add_metric(labels, 1 if answered else 0)
        if not answered:
            continue
        for field, family, factor in gauges:
            value = _number(snap.get(field))
            if value is not None:
                family.add_metric(labels, value * factor)
        mask = throttle_mask(snap)
        if mask is not None:
            for bit, reason in THROTTLE_REASONS:
                throttle.add_metric(labels + [reason], 1 if mask & bit else 0)
            throttle.add_metric(labels + ["other"], 1 if mask & ~_KNOWN_THROTTLE_BITS else 0)
        for field, kind in (("ecc_corrected", "corrected"), ("ecc_uncorrected", "uncorrected")):
            value = _count(snap.get(field))
            if value is not None:
                ecc.add_metric(labels + [kind], value)
        value = _count(snap.get("pcie_replay"))
        if value is not None:
            pcie.add_metric(labels, value)
        links = snap.get("nvlink_errors")
        if isinstance(links, dict):
            for link, counters in list(links.items())[:_MAX_LINKS]:
                if isinstance(link, bool) or not isinstance(link, int) or not isinstance(
                        counters, dict):
                    continue
                for name, raw in counters.items():
                    value = _count(raw)
                    if value is not None and isinstance(name, str) and name.isidentifier():
                        nvlink.add_metric(labels + [str(link), _label(name)], value)
    yield up
    for _field, family, _factor in gauges:
        yield family
    yield from (throttle, ecc, pcie, nvlink)


# The command-line side, shared by the commands that watch jobs.

def _port(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid port: {text!r}") from None
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"a port is 0 to 65535, not {value}")
    return value


def add_prometheus_arguments(parser: argparse.ArgumentParser) -> None:
    """Adds --prometheus-port, --prometheus-addr and --prometheus-textfile to `parser`."""
    group = parser.add_argument_group("Prometheus metrics")
    group.add_argument("--prometheus-port", type=_port, metavar="PORT",
                       help="serve metrics on http://ADDR:PORT/metrics while the job runs "
                            "(0 picks a free port, shown at start)")
    group.add_argument("--prometheus-addr", metavar="ADDR",
                       help=f"address to serve metrics on (default {DEFAULT_ADDR}; "
                            "0.0.0.0 or :: for every interface)")
    group.add_argument("--prometheus-textfile", metavar="DIR",
                       help=f"write DIR/{TEXTFILE_NAME} at every poll, for node_exporter's "
                            "textfile collector")


def exporter_from_args(args: argparse.Namespace, node: str) -> PrometheusExporter | None:
    """The exporter the parsed options ask for, serving and writing already; None when they
    ask for none. Raises ExporterError."""
    port = getattr(args, "prometheus_port", None)
    addr = getattr(args, "prometheus_addr", None)
    textfile = getattr(args, "prometheus_textfile", None)
    if addr is not None and port is None:
        raise ExporterError("--prometheus-addr needs --prometheus-port", 2)
    if port is None and textfile is None:
        return None
    return PrometheusExporter(node, port=port, addr=addr, textfile_dir=textfile)
