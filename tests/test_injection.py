import json
import logging
import re
import threading
import time

import pytest

from corvane.injection import InjectionEngine, engine
from corvane.injection.engine import InjectionRuleError


def _snaps():
    return [{"index": i, "pci_bus_id": f"00000000:{i:02X}:00.0", "temperature_c": 40.0,
             "ecc_uncorrected": 0, "nvlink_errors": {}} for i in range(3)]


def test_no_rules_returns_the_list_unchanged(monkeypatch):
    monkeypatch.delenv("CORVANE_INJECT_RULES", raising=False)
    snaps = _snaps()
    assert engine.intercept_gpu_snapshots(snaps) is snaps


def test_rules_from_file(monkeypatch, tmp_path):
    rules = tmp_path / "rules.json"
    rules.write_text(json.dumps({"rules": [
        {"gpu": 0, "set": {"temperature_c": 97}},
        {"gpu": 1, "lost": True},
        {"gpu": 2, "remove": True, "after_polls": 1},
        {"gpu": "*", "add": {"ecc_uncorrected": 2}},
    ]}))
    monkeypatch.setenv("CORVANE_INJECT_RULES", str(rules))
    eng = InjectionEngine()
    original = _snaps()
    first = eng.intercept_gpu_snapshots(original)
    assert original == _snaps()  # the caller's snapshots are not modified
    assert first[0]["temperature_c"] == 97 and first[0]["ecc_uncorrected"] == 2
    assert first[1] == {"index": 1, "pci_bus_id": "00000000:01:00.0", "nvlink_errors": {},
                        "gpu_lost": True, "injected": ["gpu_lost"]}
    assert len(first) == 3
    second = eng.intercept_gpu_snapshots(_snaps())
    assert [s["index"] for s in second] == [0, 1]  # GPU 2 vanishes after the first poll
    assert second[0]["ecc_uncorrected"] == 4  # counters keep rising


@pytest.mark.parametrize("rules", [{"rules": 3}, [1], [{"gpu": "0"}], [{"set": []}],
                                   [{"add": {"x": "1"}}]])
def test_bad_rules_are_clear_errors(rules):
    with pytest.raises(InjectionRuleError):
        InjectionEngine(rules)


def test_unreadable_rules_file(monkeypatch, tmp_path):
    monkeypatch.setenv("CORVANE_INJECT_RULES", str(tmp_path / "missing.json"))
    with pytest.raises(InjectionRuleError, match="missing.json"):
        InjectionEngine().load_rules()
    bad = tmp_path / "bad.json"
    bad.write_text("{nope")
    monkeypatch.setenv("CORVANE_INJECT_RULES", str(bad))
    with pytest.raises(InjectionRuleError, match="bad.json"):
        InjectionEngine().load_rules()


# -- rule checking ------------------------------------------------------------------------

GPU = {"name": "NVIDIA H100 80GB HBM3", "pci_bus_id": "00000000:3B:00.0",
       "readings": {"temperature_c": 50, "ecc_uncorrected": 0}}


@pytest.mark.parametrize("rules, words", [
    ([{"gpu": 0, "sett": {"temperature_c": 97}}], "unknown key 'sett'"),
    ({"rules": [], "gpu": []}, "unknown key 'gpu'"),
    ([{"gpu": 0, "set": {"temprature_c": 97}}], "unknown snapshot field 'temprature_c'"),
    ([{"gpu": 0, "set": {"temperature_c": "hot"}}], "must be a number"),
    ([{"gpu": 0, "set": {"ecc_uncorrected": 1.5}}], "must be an integer"),
    ([{"gpu": 0, "set": {"remap_pending": 1}}], "must be true, false or null"),
    ([{"gpu": 0, "set": {"pcie_width": "x8"}}], "must be an integer"),
    ([{"gpu": 0, "set": {"nvlink_links_down": [-1]}}], "list of link numbers"),
    ([{"kernel_line": "two\nlines"}], "must be one line"),
    ([{"gpu": 0, "set": {"nvlink_errors": {"x": {}}}}], "link 'x'"),
    ([{"gpu": 0, "add": {"throttle_reasons_text": 1}}], "cannot change"),
    ([{"gpu": 0}], "changes nothing"),
    ([{"gpu": -1, "lost": True}], "\"gpu\" must be"),
    ([{"gpu": 0, "lost": "yes"}], "true or false"),
    ([{"gpu": 0, "xid": "79"}], "positive integer"),
    ([{"gpu": 0, "xid": 79, "after_polls": -1}], "non-negative"),
    ({"gpus": [GPU], "rules": [{"gpu": 1, "lost": True}]}, "GPU 1 does not exist"),
    ({"gpus": [dict(GPU, memory="80GB")]}, "gpu 0: unknown key 'memory'"),
    ({"gpus": [dict(GPU, readings={"temp": 40})]}, "unknown snapshot field 'temp'"),
    ({"gpus": [dict(GPU, name=7)]}, "\"name\" must be a text"),
    ({"gpus": {"0": GPU}}, "\"gpus\" must be a list"),
])
def test_rule_mistakes_are_named(rules, words):
    with pytest.raises(InjectionRuleError, match=re.escape(words)):
        InjectionEngine(rules)


def write_rules(monkeypatch, tmp_path, data, name="rules.json"):
    path = tmp_path / name
    path.write_text(data if isinstance(data, str) else json.dumps(data))
    monkeypatch.setenv("CORVANE_INJECT_RULES", str(path))
    return path


@pytest.mark.parametrize("content, words", [
    (None, "cannot read injection rules"),
    ("{nope", "are not JSON"),
    ([{"gpu": 0, "sett": {}}], "unknown key 'sett'"),
])
def test_unusable_rules_file_is_logged_once_and_injection_stays_off(monkeypatch, tmp_path, caplog,
                                                                    content, words):
    path = tmp_path / "rules.json"
    monkeypatch.setenv("CORVANE_INJECT_RULES", str(path))
    if content is not None:
        write_rules(monkeypatch, tmp_path, content)
    eng = InjectionEngine()
    with pytest.raises(InjectionRuleError, match=re.escape(words)):
        eng.load_rules()
    caplog.set_level(logging.ERROR, logger="corvane.injection.engine")
    snaps = _snaps()
    for _ in range(3):
        assert eng.intercept_gpu_snapshots(snaps) is snaps
    assert eng.synthetic_snapshots() == []
    errors = [r.getMessage() for r in caplog.records]
    assert len(errors) == 1 and "rules.json" in errors[0] and words in errors[0]
    # Mended, the file is used from the next poll on.
    write_rules(monkeypatch, tmp_path, [{"gpu": 0, "set": {"temperature_c": 97}}])
    assert eng.intercept_gpu_snapshots(_snaps())[0]["temperature_c"] == 97


def test_rules_for_gpus_that_are_not_polled(monkeypatch, tmp_path, caplog):
    write_rules(monkeypatch, tmp_path, [{"gpu": 0, "set": {"temperature_c": 97}},
                                        {"gpu": 5, "lost": True}])
    eng = InjectionEngine()
    caplog.set_level(logging.ERROR, logger="corvane.injection.engine")
    snaps = _snaps()
    assert eng.intercept_gpu_snapshots(snaps) is snaps  # no rule applies, not even GPU 0's
    assert eng.intercept_gpu_snapshots(snaps) is snaps
    assert [r.getMessage() for r in caplog.records] == [
        "fault injection off: rule 1: GPU 5 does not exist (GPUs here: 0, 1, 2)"]


# -- synthetic GPUs, markers and Xid events ---------------------------------------------------

def test_synthetic_gpus_start_each_poll_from_their_readings():
    second = {"name": "NVIDIA A100-SXM4-80GB", "pci_bus_id": "0000:3C:00",
              "readings": {"nvlink_errors": {"0": {"replay": 1}}}}
    eng = InjectionEngine({"gpus": [GPU, second],
                           "rules": [{"gpu": 0, "add": {"ecc_uncorrected": 1}},
                                     {"gpu": 1, "set": {"temperature_c": 99}, "after_polls": 1}]})
    assert eng.synthetic_gpu_names() == ["NVIDIA H100 80GB HBM3", "NVIDIA A100-SXM4-80GB"]
    base = eng.synthetic_snapshots()
    assert [(s["index"], s["pci_bus_id"], s["temperature_c"], s["util_gpu"]) for s in base] == [
        (0, "3b:00.0", 50.0, None), (1, "0000:3c:00.0", None, None)]
    assert type(base[0]["temperature_c"]) is float and type(base[0]["ecc_uncorrected"]) is int
    assert base[1]["nvlink_errors"] == {"0": {"replay": 1}}
    base[0]["temperature_c"] = 10  # a poll's snapshot is its own
    first = eng.intercept_gpu_snapshots(eng.synthetic_snapshots())
    second_poll = eng.intercept_gpu_snapshots(eng.synthetic_snapshots())
    assert [s["ecc_uncorrected"] for s in (first[0], second_poll[0])] == [1, 2]
    assert [s["temperature_c"] for s in (first[1], second_poll[1])] == [None, 99]
    assert all("temperature_c" in s["injected"] for s in first + second_poll)


def test_only_changed_snapshots_are_marked(monkeypatch, tmp_path):
    eng = InjectionEngine([{"gpu": 1, "set": {"temperature_c": 97}},
                           {"gpu": 2, "lost": True, "after_polls": 1}])
    first = eng.intercept_gpu_snapshots(_snaps())
    assert ["injected" in s for s in first] == [False, True, False]
    assert first[1]["injected"] == ["temperature_c"]
    second = eng.intercept_gpu_snapshots(_snaps())
    assert second[2]["injected"] == ["gpu_lost"] and second[2]["gpu_lost"] is True


def test_xid_events_come_due_once():
    eng = InjectionEngine([{"gpu": 1, "xid": 79, "after_polls": 2},
                           {"gpu": "*", "xid": 13},
                           {"gpu": 2, "remove": True, "xid": 48}])
    seen = []
    for _ in range(4):
        out = eng.intercept_gpu_snapshots(_snaps())
        assert [s["index"] for s in out] == [0, 1]
        seen.append(sorted(eng.pending_xid_events()))
    assert seen == [[(0, 13), (1, 13), (2, 13), (2, 48)], [], [(1, 79)], []]


# -- through the telemetry thread -----------------------------------------------------------

class Telemetry:
    """The telemetry thread over a fresh injection engine, stopped once `until` holds."""

    def __init__(self, monkeypatch, tmp_path, rules):
        import corvane.injection as injection
        from corvane.monitor import monitoring as m

        self.m = m
        monkeypatch.setenv("CORVANE_INJECT", "1")
        write_rules(monkeypatch, tmp_path, rules)
        monkeypatch.setattr(injection, "engine", InjectionEngine())

    def run(self, until, config=None):
        from runner_helpers import fast_config

        findings, lock, stop = [], threading.Lock(), threading.Event()
        thread = threading.Thread(target=self.m._hardware_telemetry_loop, daemon=True,
                                  args=(config or fast_config(), findings, lock, stop,
                                        [time.time()], None, None, None, [True]))
        thread.start()
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and not until(list(findings)):
            thread.join(0.05)
        stop.set()
        thread.join(5)
        assert until(findings), findings
        return findings


def by_type(findings, event_type):
    return [f for f in findings if f.event_type == event_type]


def test_synthetic_gpus_where_no_real_telemetry_exists(empty_path, monkeypatch, tmp_path):
    second = {"name": "NVIDIA H100 80GB HBM3", "pci_bus_id": "00000000:3C:00.0",
              "readings": {"temperature_c": 40}}
    telemetry = Telemetry(monkeypatch, tmp_path, {"gpus": [GPU, second], "rules": [
        {"gpu": 0, "set": {"temperature_c": 97}},
        {"gpu": 1, "xid": 79, "after_polls": 1},
        {"gpu": 1, "xid": 13}]})
    m = telemetry.m
    monkeypatch.setattr(m, "pynvml", None)
    mode, backend = m._build_nvml_backend()
    assert mode == "injected" and [s["index"] for s in backend["snapshots"]] == [0, 1]
    findings = telemetry.run(lambda got: len(by_type(got, "xid_critical")) == 2)
    ready = by_type(findings, "telemetry_ready")
    assert [(f.summary, f.details) for f in ready] == [
        ("Telemetry backend injected attached to 2 GPU(s)",
         {"backend": "injected", "gpu_count": 2, "injected": True})]
    hot = by_type(findings, "thermal_warning")
    assert hot and {(f.severity, f.summary) for f in hot} == {
        ("CRITICAL", "GPU 0 temperature reached 97.0C")}
    xids = by_type(findings, "xid_critical")
    assert [(f.severity, f.summary, f.details) for f in xids] == [
        ("WARN", "Injected XID 13 on GPU 1 (GPU fault)",
         {"xid": 13, "gpu_index": 1, "pci_bus_id": "3c:00.0", "source": "injected",
          "injected": True, "class": "application", "action": "restart_job"}),
        ("CRITICAL", "Injected XID 79 on GPU 1 (GPU fell off the bus)",
         {"xid": 79, "gpu_index": 1, "pci_bus_id": "3c:00.0", "source": "injected",
          "injected": True, "class": "hardware", "action": "reboot"})]
    assert all(f.details["injected"] is True for f in findings)
    # Switched off, the same rules give no GPUs: telemetry is unavailable, as without them.
    monkeypatch.delenv("CORVANE_INJECT")
    assert m._build_nvml_backend() == ("none", {"snapshots": []})


@pytest.mark.parametrize("backend", ["shell", "nvml"])
def test_real_backends_mark_only_injected_gpus(fake_path, shared_fixtures, monkeypatch, tmp_path,
                                               backend):
    from fake_nvml import Device, make_binding

    monkeypatch.setenv("CORVANE_FAKE_SMI_DIR", str(shared_fixtures / "nvidia-smi"))
    monkeypatch.setenv("CORVANE_FAKE_SMI_CASE", "h100x8-faults")
    telemetry = Telemetry(monkeypatch, tmp_path, {"gpus": [GPU], "rules": [
        {"gpu": 0, "lost": True}, {"gpu": 0, "xid": 79}]})
    m = telemetry.m
    if backend == "nvml":
        monkeypatch.setattr(m, "pynvml", make_binding([Device(0), Device(1, throttle=64)]))
    else:
        monkeypatch.setattr(m, "pynvml", None)
    findings = telemetry.run(lambda got: by_type(got, "clock_throttle")
                             and by_type(got, "metric_disappearance")
                             and by_type(got, "xid_critical"))
    assert by_type(findings, "telemetry_ready")[0].details["backend"] == backend
    lost = by_type(findings, "metric_disappearance")
    assert {(f.summary, f.details["injected"]) for f in lost} == {("GPU 0 was lost from NVML", True)}
    real = [f for f in findings if f.details.get("gpu_index") not in (None, 0)]
    assert real and not any("injected" in f.details for f in real)
    # With NVML the Xid comes through the driver's event path, else it is reported as injected.
    xids = by_type(findings, "xid_critical")
    assert [(f.details["gpu_index"], f.details["source"], f.details["injected"]) for f in xids] \
        == [(0, "nvml" if backend == "nvml" else "injected", True)]
