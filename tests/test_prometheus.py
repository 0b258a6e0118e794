"""Prometheus metrics of a monitored job: a real Prometheus scraping the monitor, the
textfile node_exporter reads, and how snapshots and findings become series."""

import json
import os
import re
import socket
import subprocess
import threading
import time

import pytest

prometheus_client = pytest.importorskip("prometheus_client")
from prometheus_client.parser import text_string_to_metric_families  # noqa: E402

from corvane.metrics.prometheus import PrometheusExporter  # noqa: E402
from corvane.tracking import FanOutBridge, MetricsFileBridge  # noqa: E402
from prometheus_fixture import (NodeExporter, Prometheus, http_get,  # noqa: E402
                                promtool_check_metrics, tool_env)
from runner_helpers import PY, wait_for  # noqa: E402

MIB = 1024 * 1024
GPU = {"name": "NVIDIA H100 80GB HBM3", "pci_bus_id": "00000000:3B:00.0",
       "readings": {"temperature_c": 54, "util_gpu": 96, "memory_used_mb": 61440,
                    "memory_total_mb": 81559, "power_draw_w": 610, "power_limit_w": 700,
                    "throttle_reasons": 0, "ecc_corrected": 0, "ecc_uncorrected": 0,
                    "pcie_replay": 0}}

# Two ranks report through the hook file while the job prints; it ends when the stop file
# appears (or after two minutes, should the test have gone).
JOB = """
import json, os, sys, time
stop, hook = sys.argv[1], os.environ["CORVANE_HOOK_FILE"]
deadline = time.monotonic() + 120
step = 0
while not os.path.exists(stop) and time.monotonic() < deadline:
    step += 1
    with open(hook, "a") as fh:
        for rank in (0, 1):
            fh.write(json.dumps({"rank": rank, "step": step, "step_time": 0.1}) + "\\n")
    print("step", step, flush=True)
    time.sleep(0.2)
"""


def samples(page, name, **labels):
    """Values of the samples called `name` whose labels include `labels`."""
    text = page.decode() if isinstance(page, bytes) else page
    return [s.value for family in text_string_to_metric_families(text) for s in family.samples
            if s.name == name and all(s.labels.get(k) == v for k, v in labels.items())]


class Monitor:
    """`corvane monitor` in a child process, its output read as it comes."""

    def __init__(self, tmp_path, args, env=None, rules=None):
        self.stop_file = tmp_path / "stop"
        config = tmp_path / "c.toml"
        config.write_text('[monitor]\npoll_interval = "1s"\nhang_detection_timeout = "10m"\n')
        emptybin = tmp_path / "emptybin"
        emptybin.mkdir()
        env = dict(os.environ, PATH=str(emptybin), PYTHONUNBUFFERED="1",
                   CORVANE_REGISTRY=str(tmp_path / "r.sqlite3"), **(env or {}))
        if rules is not None:
            path = tmp_path / "rules.json"
            path.write_text(json.dumps(rules))
            env.update(CORVANE_INJECT="1", CORVANE_INJECT_RULES=str(path))
        self.proc = subprocess.Popen(
            [PY, "-m", "corvane", "monitor", "--config", str(config), "--checkpoint-dir",
             str(tmp_path / "ck"), *args, "--", PY, "-c", JOB, str(self.stop_file)],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env)
        self.lines = []
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.append(line)

    def line(self, pattern):
        found = []

        def seen():
            found[:] = [m for m in map(re.compile(pattern).search, list(self.lines)) if m]
            return bool(found) or self.proc.poll() is not None

        wait_for(seen, 30)
        assert found, "".join(self.lines)
        return found[0]

    def finish(self):
        self.stop_file.touch()
        try:
            code = self.proc.wait(60)
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()
        self.reader.join(10)
        return code


def read_textfile(path):
    try:
        return path.read_text()
    except FileNotFoundError:
        return ""


def test_prometheus_scrapes_a_monitored_job_with_an_injected_fault(tmp_path):
    textdir = tmp_path / "textfile"
    textdir.mkdir()
    metrics_file = tmp_path / "metrics.jsonl"
    rules = {"gpus": [GPU], "rules": [{"gpu": 0, "set": {"temperature_c": 97},
                                       "after_polls": 3}]}
    monitor = Monitor(tmp_path, ["--prometheus-port", "0", "--prometheus-textfile", str(textdir),
                                 "--metrics-file", str(metrics_file)], rules=rules)
    prometheus = None
    try:
        url = monitor.line(r"Prometheus metrics at (http://127\.0\.0\.1:(\d+)/metrics)")
        prometheus = Prometheus(str(tmp_path / "prometheus"), [f"127.0.0.1:{url.group(2)}"])
        node = socket.gethostname()

        hot = prometheus.wait_for_query(
            'corvane_findings_total{event_type="thermal_warning",severity="CRITICAL"}')
        assert [(r["metric"]["node"], float(r["value"][1])) for r in hot] == [(node, 1.0)]
        temperature = prometheus.wait_for_query("corvane_gpu_temperature_celsius == 97")
        assert [(r["metric"]["gpu"], r["metric"]["pci_bus_id"]) for r in temperature] == [
            ("0", "3b:00.0")]
        for expr in ("corvane_job_running == 1", "corvane_telemetry_up == 1",
                     "corvane_hook_ranks_fresh == 2", "corvane_job_last_output_age_seconds < 5",
                     'corvane_gpu_memory_used_bytes == 61440 * 1048576',
                     'corvane_gpu_utilization_ratio == 0.96',
                     'corvane_gpu_throttle_reason_active{reason="hw_slowdown"} == 0'):
            assert prometheus.wait_for_query(expr), expr

        # The page served is valid exposition text.
        page = http_get(url.group(1))
        check = promtool_check_metrics(page)
        assert (check.returncode, check.stdout, check.stderr) == (0, b"", b""), page

        # The textfile holds the same series, and node_exporter's textfile collector takes it.
        textfile = textdir / "corvane.prom"
        assert wait_for(lambda: samples(read_textfile(textfile),
                                        "corvane_gpu_temperature_celsius") == [97.0], 15)
        assert promtool_check_metrics(textfile.read_bytes()).returncode == 0
        assert oct(textfile.stat().st_mode & 0o777) == "0o644"
        exporter = NodeExporter(str(tmp_path / "node_exporter"), str(textdir))
        try:
            served = http_get(exporter.url)
        finally:
            exporter.stop()
        assert samples(served, "node_textfile_scrape_error") == [0.0]
        assert samples(served, "corvane_findings_total", event_type="thermal_warning") == [1.0]

        # The metrics file, fed beside the exporter, got the same finding.
        logged = [json.loads(line) for line in metrics_file.read_text().splitlines()]
        assert [r["severity"] for r in logged if r.get("event_type") == "thermal_warning"] == [
            "CRITICAL"]
    finally:
        if prometheus is not None:
            prometheus.stop()
        code = monitor.finish()
    assert code == 0, "".join(monitor.lines)
    # The last page says the job ended and nothing watches the GPUs any more.
    final = read_textfile(textdir / "corvane.prom")
    assert samples(final, "corvane_job_running") == [0.0]
    assert samples(final, "corvane_telemetry_up") == [0.0]
    assert samples(final, "corvane_findings_total", event_type="thermal_warning") == [1.0]
    assert not [f.name for f in text_string_to_metric_families(final)
                if f.name.startswith("corvane_gpu_") and f.samples]
    assert [x for x in os.listdir(textdir) if x != "corvane.prom"] == []


def test_shipped_alert_rules_stay_quiet_when_a_job_ends_normally(tmp_path):
    # The real Prometheus evaluates the shipped rules every second over a healthy job and
    # the node's agent: no alert is even pending, during the job or after its endpoint went.
    # Then the agent goes, and its alert is pending at once (the rules do evaluate).
    gpus = {"gpus": [GPU], "rules": []}
    monitor = Monitor(tmp_path, ["--prometheus-port", "0"], rules=gpus)
    (tmp_path / "agent-rules.json").write_text(json.dumps(gpus))
    agent = subprocess.Popen([PY, "-m", "corvane", "agent", "--prometheus-port", "0"],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                             env=dict(os.environ, PATH="", CORVANE_INJECT="1",
                                      CORVANE_INJECT_RULES=str(tmp_path / "agent-rules.json")))
    prometheus = None
    try:
        agent_port = re.search(r"127\.0\.0\.1:(\d+)/metrics", agent.stdout.readline()).group(1)
        job_port = monitor.line(r"Prometheus metrics at http://127\.0\.0\.1:(\d+)/").group(1)
        rules = os.path.abspath(os.path.join(EXAMPLES, "prometheus-alerts.yml"))
        prometheus = Prometheus(str(tmp_path / "prometheus"),
                                {"corvane-jobs": [f"127.0.0.1:{job_port}"],
                                 "corvane-agent": [f"127.0.0.1:{agent_port}"]}, rules=[rules])
        assert prometheus.wait_for_query("corvane_hook_ranks_fresh == 2")
        time.sleep(3)
        assert monitor.finish() == 0, "".join(monitor.lines)
        assert prometheus.wait_for_query('up{job="corvane-jobs"} == 0')
        time.sleep(5)  # rules evaluated over the ended job
        assert prometheus.query("count_over_time(ALERTS[10m])") == []
        agent.terminate()
        gone = prometheus.wait_for_query('ALERTS{alertname="CorvaneAgentGone"}', 20)
        assert [r["metric"]["alertstate"] for r in gone] == ["pending"]  # "for: 5m" to fire
    finally:
        if prometheus is not None:
            prometheus.stop()
        if agent.poll() is None:
            agent.kill()
        agent.wait()
        monitor.finish()


def test_textfile_while_no_telemetry_answers(tmp_path):
    textdir = tmp_path / "textfile"
    textdir.mkdir()
    monitor = Monitor(tmp_path, ["--prometheus-textfile", str(textdir)])
    textfile = textdir / "corvane.prom"
    try:
        # The finding reaches the file at the poll after it was made.
        assert wait_for(lambda: samples(read_textfile(textfile), "corvane_findings_total",
                                        event_type="telemetry_unavailable",
                                        severity="WARN") == [1.0], 30), "".join(monitor.lines)
        page = read_textfile(textfile)
        assert samples(page, "corvane_job_running") == [1.0]
        assert samples(page, "corvane_telemetry_up") == [0.0]
        assert not [f.name for f in text_string_to_metric_families(page)
                    if f.name.startswith("corvane_gpu_") and f.samples]
    finally:
        code = monitor.finish()
    assert code == 0


def test_textfile_that_cannot_be_written_mid_run(tmp_path):
    import shutil

    textdir = tmp_path / "textfile"
    textdir.mkdir()
    monitor = Monitor(tmp_path, ["--prometheus-textfile", str(textdir)])
    try:
        assert wait_for(lambda: samples(read_textfile(textdir / "corvane.prom"),
                                        "corvane_job_running") == [1.0], 30)
        shutil.rmtree(textdir)
        monitor.line("cannot write the Prometheus textfile")
    finally:
        code = monitor.finish()
    # Said once, and the job's own status stands.
    assert code == 0, "".join(monitor.lines)
    said = [ln for ln in monitor.lines if "Prometheus textfile" in ln]
    assert said == [f"cannot write the Prometheus textfile {textdir / 'corvane.prom'}: "
                    "No such file or directory\n"]
    assert "job job-" in "".join(monitor.lines)


def test_fresh_ranks_are_those_read_in_the_last_15_seconds(tmp_path, monkeypatch):
    from types import SimpleNamespace

    from corvane.monitor import monitoring as m

    clock = [1000.0]
    monkeypatch.setattr(m, "time", SimpleNamespace(time=lambda: clock[0]))
    path = tmp_path / "hooks.jsonl"
    state = {"phase": None, "step": None}

    def report(*ranks):
        with open(path, "a", encoding="utf-8") as fh:
            fh.writelines(json.dumps({"rank": r, "step_time": 0.1}) + "\n" for r in ranks)

    findings, lock, stop = [], threading.Lock(), threading.Event()
    m._testing.watch_job(stop)  # as the runner keeps it for its job

    def fresh():
        return m._testing.hook_ranks_fresh(stop)

    thread = threading.Thread(target=m._hook_monitor_loop,
                              args=(path, {"monitor": {}}, findings, lock, stop, state),
                              daemon=True)
    thread.start()
    try:
        report(0, 1, 2, 3)
        assert wait_for(lambda: fresh() == 4, 10), fresh()
        clock[0] += 10
        report(1, 3)
        clock[0] += 6  # ranks 0 and 2 were last read 16 s ago
        assert wait_for(lambda: fresh() == 2, 10), fresh()
        clock[0] += 30
        assert wait_for(lambda: fresh() == 0, 10), fresh()
    finally:
        stop.set()
        thread.join(10)
        m._testing.unwatch_job(stop)
    assert not thread.is_alive()
    assert state == {"phase": None, "step": None}  # the training state holds only these


@pytest.fixture
def busy_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        s.listen()
        yield s.getsockname()[1]


@pytest.mark.parametrize("case", ["port in use", "textfile dir is a file", "textfile dir missing",
                                  "addr without port", "port in use with a textfile"])
def test_refused_before_the_job_starts(tmp_path, busy_port, case):
    blocker = tmp_path / "a-file"
    blocker.write_text("")
    (tmp_path / "text").mkdir()
    hint = " (give node_exporter's --collector.textfile.directory)"
    args, status, message = {
        "port in use": (["--prometheus-port", str(busy_port)], 1,
                        f"cannot serve Prometheus metrics on 127.0.0.1:{busy_port}: "
                        "Address already in use"),
        "textfile dir is a file": (["--prometheus-textfile", str(blocker)], 1,
                                   f"--prometheus-textfile {blocker}: not a directory{hint}"),
        "textfile dir missing": (["--prometheus-textfile", str(tmp_path / "no" / "dir")], 1,
                                 f"--prometheus-textfile {tmp_path / 'no' / 'dir'}: no such "
                                 f"directory{hint}"),
        "addr without port": (["--prometheus-addr", "0.0.0.0"], 2,
                              "--prometheus-addr needs --prometheus-port"),
        "port in use with a textfile": (["--prometheus-port", str(busy_port),
                                         "--prometheus-textfile", str(tmp_path / "text")], 1,
                                        f"cannot serve Prometheus metrics on "
                                        f"127.0.0.1:{busy_port}: Address already in use"),
    }[case]
    ran = tmp_path / "ran"
    proc = subprocess.run(
        [PY, "-m", "corvane", "monitor", *args, "--checkpoint-dir", str(tmp_path / "ck"), "--",
         PY, "-c", f"open({str(ran)!r}, 'w')"],
        capture_output=True, text=True, timeout=60,
        env=dict(os.environ, CORVANE_REGISTRY=str(tmp_path / "r.sqlite3")))
    assert (proc.returncode, proc.stderr) == (status, f"corvane: {message}\n")
    assert not ran.exists()
    # No textfile claims a job is watched, and no directory was made.
    assert not (tmp_path / "text" / "corvane.prom").exists()
    assert not (tmp_path / "no").exists()


def test_label_values_are_escaped():
    node = 'rack"7\\b\nnode'
    exporter = PrometheusExporter(node)
    exporter.log_finding('odd"type\\x\ny', "WARN", "summary with \"quotes\"", {})
    exporter.log_finding('odd"type\\x\ny', "WARN", "another", {})
    exporter.log_gpu_metrics([{"index": 0, "pci_bus_id": 'bus"\n\\', "temperature_c": 50.0}])
    page = exporter.page()
    assert promtool_check_metrics(page).returncode == 0, page
    assert samples(page, "corvane_findings_total", node=node, event_type='odd"type\\x\ny',
                   severity="WARN") == [2.0]
    assert samples(page, "corvane_gpu_temperature_celsius", node=node,
                   pci_bus_id='bus"\n\\') == [50.0]
    assert b"summary" not in page and b"another" not in page


def test_finding_kinds_are_bounded():
    from corvane.metrics.prometheus import MAX_FINDING_KINDS

    exporter = PrometheusExporter("n")
    for i in range(MAX_FINDING_KINDS + 50):
        exporter.log_finding(f"kind{i}", "WARN")
    page = exporter.page()
    assert len(samples(page, "corvane_findings_total")) == MAX_FINDING_KINDS + 1
    assert samples(page, "corvane_findings_total", event_type="other") == [50.0]


REASONS = ("gpu_idle", "applications_clocks_setting", "sw_power_cap", "hw_slowdown",
           "sync_boost", "sw_thermal_slowdown", "hw_thermal_slowdown",
           "hw_power_brake_slowdown", "display_clock_setting", "other")


def throttled(page, gpu):
    found = {}
    for family in text_string_to_metric_families(page.decode()):
        for s in family.samples:
            if s.name == "corvane_gpu_throttle_reason_active" and s.labels["gpu"] == gpu:
                found[s.labels["reason"]] = s.value
    assert set(found) <= set(REASONS)
    return {r for r, v in found.items() if v == 1} if found else None


@pytest.mark.parametrize("case, gpu, expected", [
    ("h100x8-faults", "2",
     {"corvane_gpu_temperature_celsius": 34, "corvane_gpu_utilization_ratio": 0.97,
      "corvane_gpu_memory_used_bytes": 71233 * MIB,
      "corvane_gpu_memory_total_bytes": 81559 * MIB, "corvane_gpu_power_draw_watts": 604.12,
      "corvane_gpu_power_limit_watts": 700, "corvane_gpu_up": 1,
      ("corvane_gpu_ecc_errors_total", "corrected"): 17,
      ("corvane_gpu_ecc_errors_total", "uncorrected"): 2,
      "throttle": {"hw_slowdown", "hw_thermal_slowdown"}}),
    ("h100x8-healthy", "3",
     {"corvane_gpu_pcie_replays_total": 12,
      ("corvane_gpu_ecc_errors_total", "corrected"): 2, "throttle": set()}),
    # No ECC on consumer cards: no ECC series, rather than zeros.
    ("consumer-mixed-na", "1",
     {"corvane_gpu_ecc_errors_total": None, "throttle": {"sw_power_cap"}}),
    # No power readings on an old driver.
    ("old-driver-not-supported", "0",
     {"corvane_gpu_power_draw_watts": None, "corvane_gpu_ecc_errors_total": None}),
])
def test_recorded_tool_output_as_series(fake_path, shared_fixtures, monkeypatch, case, gpu,
                                        expected):
    from corvane.monitor import monitoring as m

    monkeypatch.setenv("CORVANE_FAKE_SMI_DIR", str(shared_fixtures / "nvidia-smi"))
    monkeypatch.setenv("CORVANE_FAKE_SMI_CASE", case)
    exporter = PrometheusExporter("n")
    exporter.log_gpu_metrics(m._build_shell_gpu_snapshot())
    page = exporter.page()
    for key, value in expected.items():
        if key == "throttle":
            assert throttled(page, gpu) == value
            continue
        name, kind = key if isinstance(key, tuple) else (key, None)
        labels = {"gpu": gpu, **({"type": kind} if kind else {})}
        got = samples(page, name, **labels)
        assert got == ([] if value is None else [pytest.approx(value)]), (key, got)


def test_nvml_snapshots_as_series(monkeypatch):
    from fake_nvml import Device, NVMLError, NVMLError_GpuIsLost, make_binding

    from corvane.monitor import monitoring as m

    devices = [Device(0, links=2, throttle=0x48 | 0x400,
                      nvlink={(0, "replay"): 3, (0, "crc_flit"): 0, (0, "crc_data"): 1,
                              (0, "recovery"): 7, (1, "replay"): 0, (1, "crc_flit"): 0,
                              (1, "crc_data"): 0, (1, "recovery"): 0}),
               Device(1), Device(2)]
    devices[1].fail["temp"] = NVMLError_GpuIsLost(15)
    devices[2].fail["util"] = NVMLError(999)
    monkeypatch.setattr(m, "pynvml", make_binding(devices))
    _mode, backend = m._build_nvml_backend()
    exporter = PrometheusExporter("n")
    exporter.log_gpu_metrics(m._collect_nvml_snapshots(backend, link_count=2))
    page = exporter.page()
    assert throttled(page, "0") == {"hw_slowdown", "hw_thermal_slowdown", "other"}
    assert samples(page, "corvane_gpu_nvlink_errors_total", gpu="0", link="0",
                   counter="recovery") == [7]
    assert samples(page, "corvane_gpu_nvlink_errors_total", gpu="0", link="0",
                   counter="replay") == [3]
    assert len(samples(page, "corvane_gpu_nvlink_errors_total", gpu="0")) == 8
    assert samples(page, "corvane_gpu_power_draw_watts", gpu="0") == [300.0]
    assert samples(page, "corvane_gpu_memory_used_bytes", gpu="0") == [40 << 30]
    # A lost GPU and one whose query failed are down, with no readings.
    for index in ("1", "2"):
        assert samples(page, "corvane_gpu_up", gpu=index) == [0.0]
        assert samples(page, "corvane_gpu_temperature_celsius", gpu=index) == []
    assert samples(page, "corvane_gpu_up", gpu="0") == [1.0]


class Failing:
    active = True

    def log_finding(self, *args, **kwargs):
        raise OSError("disk full")

    def close(self):
        raise OSError("close failed")


def test_fan_out_feeds_every_sink_when_one_fails(tmp_path):
    exporter = PrometheusExporter("n")
    closed = MetricsFileBridge(tmp_path / "closed.jsonl")
    closed.close()
    bridge = FanOutBridge([Failing(), closed, exporter])
    assert bridge.active
    with pytest.raises(OSError, match="disk full"):
        bridge.log_finding("xid_critical", "CRITICAL", "s", {})
    bridge.log_job_state({"running": True, "last_output_at": 0.0})  # Failing has no such call
    assert samples(exporter.page(), "corvane_findings_total") == [1.0]
    assert samples(exporter.page(), "corvane_job_running") == [1.0]
    with pytest.raises(OSError, match="close failed"):
        bridge.close()
    assert not exporter.active and not bridge.sinks[1].active


EXAMPLES = os.path.join(os.path.dirname(__file__), os.pardir, "examples")


def test_example_alert_rules_check_and_fire_as_written():
    import shutil

    promtool = shutil.which("promtool")
    if promtool is None:
        pytest.skip("promtool is not installed (Debian package prometheus)")
    rules = os.path.join(EXAMPLES, "prometheus-alerts.yml")
    check = subprocess.run([promtool, "check", "rules", rules], capture_output=True, text=True,
                           timeout=60, env=tool_env())
    assert check.returncode == 0, check.stdout + check.stderr
    here = os.path.join(os.path.dirname(__file__), "prometheus")
    test = subprocess.run([promtool, "test", "rules", "alerts-test.yml"], cwd=here,
                          capture_output=True, text=True, timeout=60, env=tool_env())
    assert test.returncode == 0, test.stdout + test.stderr


def exported_names():
    """Every sample name an exporter fed with everything it knows can produce."""
    exporter = PrometheusExporter("n")
    exporter.log_finding("xid_critical", "CRITICAL")
    exporter.log_job_state({"running": True, "last_output_at": 0.0, "hook_ranks_fresh": 1,
                            "poll_interval_s": 1.0})
    exporter.log_gpu_metrics([{**GPU["readings"], "index": 0, "pci_bus_id": "3b:00.0",
                               "nvlink_errors": {0: {"replay": 0}}}])
    return {s.name for f in text_string_to_metric_families(exporter.page().decode())
            for s in f.samples}


def test_examples_use_only_exported_metrics():
    with open(os.path.join(EXAMPLES, "grafana-dashboard.json"), encoding="utf-8") as fh:
        dashboard = json.load(fh)
    exprs = [t["expr"] for p in dashboard["panels"] for t in p.get("targets", [])]
    with open(os.path.join(EXAMPLES, "prometheus-alerts.yml"), encoding="utf-8") as fh:
        exprs.append(fh.read())
    used = {name for e in exprs for name in re.findall(r"\bcorvane_[a-z_]+", e)}
    names = exported_names()
    assert used - names == set()
    assert len(used) >= 12
