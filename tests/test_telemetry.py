import json
import os
import shutil
import threading
import time
import types

import pytest

from corvane.monitor import monitoring as m
from fake_nvml import Device, NVMLError, NVMLError_GpuIsLost, make_binding
from runner_helpers import fast_config, wait_for

CASES = ["h100x8-healthy", "h100x8-faults", "consumer-mixed-na", "old-driver-not-supported",
         "unknown-error", "replay-field-unsupported", "driver-unreachable", "a100x4-short-rows"]


@pytest.fixture
def smi(fake_path, shared_fixtures, monkeypatch):
    monkeypatch.setenv("CORVANE_FAKE_SMI_DIR", str(shared_fixtures / "nvidia-smi"))
    monkeypatch.delenv("CORVANE_INJECT", raising=False)
    monkeypatch.setattr(m, "pynvml", None)

    def use(case):
        monkeypatch.setenv("CORVANE_FAKE_SMI_CASE", case)

    return use


# -- the shell backend over every recorded output --------------------------------------

@pytest.mark.parametrize("case", CASES)
def test_shell_snapshots_of_recorded_outputs(smi, case, shared_fixtures):
    smi(case)
    snaps = m._build_shell_gpu_snapshot()
    main_file = shared_fixtures / "nvidia-smi" / f"{case}.main.csv"
    if not main_file.exists():  # a recording of the replay query alone
        assert snaps == []
        return
    main = main_file.read_text()
    exit_file = shared_fixtures / "nvidia-smi" / f"{case}.main.exit"
    if exit_file.exists():
        assert snaps == []
        return
    rows = [r for r in main.splitlines() if len(r.split(",")) >= 10]
    assert [s["index"] for s in snaps] == [int(r.split(",")[0]) for r in rows]
    for s in snaps:
        assert list(s) == ["index", "pci_bus_id", "temperature_c", "util_gpu", "memory_used_mb",
                           "memory_total_mb", "power_draw_w", "power_limit_w",
                           "throttle_reasons_text", "ecc_corrected", "ecc_uncorrected",
                           "pcie_replay", "nvlink_errors"]
        assert s["nvlink_errors"] == {}


def test_shell_snapshot_details(smi, monkeypatch):
    smi("h100x8-healthy")
    snaps = m._build_shell_gpu_snapshot()
    assert snaps[0]["pci_bus_id"] == "18:00.0" and snaps[0]["temperature_c"] == 34.0
    assert snaps[3]["ecc_corrected"] == 2 and snaps[3]["pcie_replay"] == 12
    smi("unknown-error")
    (s,) = m._build_shell_gpu_snapshot()
    assert s["ecc_corrected"] is None and s["ecc_uncorrected"] is None
    smi("h100x8-healthy")
    monkeypatch.setenv("CORVANE_FAKE_SMI_REPLAY_CASE", "replay-field-unsupported")  # status 2
    snaps = m._build_shell_gpu_snapshot()
    assert len(snaps) == 8 and all(s["pcie_replay"] is None for s in snaps)
    assert m._shell_pcie_replay_counters() == {}
    monkeypatch.delenv("CORVANE_FAKE_SMI_REPLAY_CASE")
    smi("a100x4-short-rows")
    snaps = m._build_shell_gpu_snapshot()
    assert [s["index"] for s in snaps] == [0, 2, 3] and snaps[0]["ecc_uncorrected"] is None


@pytest.mark.parametrize("field, number", [
    ("n/a", None), ("[N/A]", None), ("[Not Supported]", None), ("", None), (None, None),
    (" 41 ", 41.0), ("250.500", 250.5), ("[ 7 ]", 7.0), ("1_000", 1000.0), ("0x40", None)])
def test_shell_numeric(field, number):
    assert m._shell_numeric(field) == number
    with pytest.raises(TypeError):
        m._shell_numeric(41)


# -- the NVML backend with a fake binding ----------------------------------------------

def test_nvml_backend_and_snapshots(monkeypatch):
    devices = [Device(0, links=2, nvlink={(0, "replay"): 1, (0, "crc_flit"): 0, (0, "crc_data"): 0,
                                         (0, "recovery"): 7, (1, "replay"): 0, (1, "crc_flit"): 0,
                                         (1, "crc_data"): 0, (1, "recovery"): 0},
                      remap=(0, 2, 1, 0), retired_pending=0, persistence=0, ecc_mode=(1, 0),
                      fabric=types.SimpleNamespace(state=3, status=0x1d), pcie_width=8, pcie_width_max=16),
               Device(1), Device(2), Device(3)]
    devices[1].fail["ecc"] = NVMLError(3)  # ECC unsupported
    devices[2].fail["temp"] = NVMLError_GpuIsLost(15)
    devices[3].fail["util"] = NVMLError(999)
    binding = make_binding(devices)
    monkeypatch.setattr(m, "pynvml", binding)
    mode, backend = m._build_nvml_backend()
    assert mode == "nvml" and [i for i, _ in backend["handles"]] == [0, 1, 2, 3]
    assert backend["pci_map"]["18:00.0"] == 0
    snaps = m._collect_nvml_snapshots(backend, link_count=18)
    assert snaps[0]["memory_used_mb"] == 40960.0 and snaps[0]["power_draw_w"] == 300.0
    assert snaps[0]["nvlink_errors"] == {0: {"replay": 1, "crc_flit": 0, "crc_data": 0, "recovery": 7},
                                         1: {"replay": 0, "crc_flit": 0, "crc_data": 0, "recovery": 0}}
    assert [snaps[0][k] for k in ("remap_pending", "remap_failure", "retired_pages_pending",
                                  "persistence_mode", "ecc_mode", "fabric_state", "fabric_status",
                                  "pcie_width", "pcie_width_max")] == [True, False, False, False, True,
                                                                       3, 0x1d, 8, 16]
    assert snaps[1]["remap_pending"] is None and snaps[1]["fabric_state"] is None  # unsupported: silent
    assert snaps[1]["ecc_corrected"] is None and snaps[1]["temperature_c"] == 40.0
    assert snaps[2] == {"index": 2, "nvlink_errors": {}, "pci_bus_id": "1a:00.0", "gpu_lost": True}
    assert snaps[3]["query_error"] == "NVML error 999" and "gpu_lost" not in snaps[3]
    assert m._collect_nvml_snapshots(backend, link_count=0)[0]["nvlink_errors"] == {}
    assert m._collect_nvml_snapshots(backend, link_count=-3)[0]["nvlink_errors"] == {}
    with pytest.raises(TypeError):
        m._collect_nvml_snapshots(backend, link_count="18")


def test_nvml_reading_that_is_no_number_names_its_own_error(monkeypatch):
    # A power reading the binding gives as text: that GPU's query error says what was wrong
    # with it, and the other GPUs are still read.
    monkeypatch.setattr(m, "pynvml", make_binding([Device(0, power="n/a"), Device(1)]))
    mode, backend = m._build_nvml_backend()
    bad, good = m._collect_nvml_snapshots(backend)
    assert "unsupported operand" in bad["query_error"] and "power_draw_w" not in bad
    assert good["power_draw_w"] == 300.0 and "query_error" not in good


def test_nvml_binding_variants(monkeypatch):
    devices = [Device(0, links=1, nvlink={(0, "replay"): 1, (0, "crc_flit"): 2, (0, "crc_data"): 3,
                                         (0, "recovery"): 4})]
    monkeypatch.setattr(m, "pynvml", make_binding(devices, recovery_name=None, throttle="new"))
    mode, backend = m._build_nvml_backend()
    (snap,) = m._collect_nvml_snapshots(backend)
    assert snap["nvlink_errors"][0] == {"replay": 1, "crc_flit": 2, "crc_data": 3}
    assert snap["throttle_reasons"] == 0  # through the newer query name
    monkeypatch.setattr(m, "pynvml", make_binding(devices, recovery_name="NVML_NVLINK_ERROR_RECOVERY"))
    mode, backend = m._build_nvml_backend()
    assert m._collect_nvml_snapshots(backend)[0]["nvlink_errors"][0]["recovery"] == 4


def test_nvml_failures_fall_back(smi, monkeypatch):
    smi("h100x8-healthy")
    monkeypatch.setattr(m, "pynvml", make_binding([], init_error=NVMLError(12)))
    assert m._build_nvml_backend()[0] == "shell"
    broken = make_binding([Device(0)], count_error=NVMLError(3))
    monkeypatch.setattr(m, "pynvml", broken)
    assert m._build_nvml_backend()[0] == "shell"
    assert broken.calls.count("shutdown") == 1  # NVML came up: it is closed again
    smi("driver-unreachable")
    assert m._build_nvml_backend() == ("none", {"snapshots": []})


def test_read_snapshots_with_injection(smi, monkeypatch, tmp_path):
    smi("h100x8-healthy")
    rules = tmp_path / "rules.json"
    rules.write_text(json.dumps([{"gpu": 0, "set": {"temperature_c": 97}}, {"gpu": 1, "lost": True}]))
    monkeypatch.setenv("CORVANE_INJECT_RULES", str(rules))
    monkeypatch.setenv("CORVANE_INJECT", " Yes ")
    snaps = m._read_gpu_snapshots("shell", {})
    assert snaps[0]["temperature_c"] == 97 and snaps[1]["gpu_lost"] is True
    for off in ("2", "enabled", ""):
        monkeypatch.setenv("CORVANE_INJECT", off)
        assert m._read_gpu_snapshots("shell", {})[0]["temperature_c"] == 34.0
    assert m._read_gpu_snapshots("none", {}) == []
    import corvane.injection as injection

    monkeypatch.setenv("CORVANE_INJECT", "1")
    monkeypatch.setattr(injection.engine, "intercept_gpu_snapshots", lambda s: None)
    assert m._read_gpu_snapshots("shell", {}) is None
    monkeypatch.setattr(injection.engine, "intercept_gpu_snapshots", lambda s: "bad")
    with pytest.raises(TypeError):
        m._read_gpu_snapshots("shell", {})
    for args in [(1, {}), ("shell", []), ("shell", {}, "18")]:
        with pytest.raises(TypeError):
            m._read_gpu_snapshots(*args)


# -- the detectors through the telemetry loop --------------------------------------------

class Script:
    """Feeds the loop one scripted snapshot list per poll, with a scripted clock."""

    def __init__(self, monkeypatch, polls, clock_step=1.0, inventory=2):
        self.polls = list(polls)
        self.now = 1000.0
        self.step = clock_step
        self.inventory = [types.SimpleNamespace(index=i, pci_bus_id="", name="NVIDIA H100 80GB HBM3")
                          for i in range(inventory)]
        self.done = threading.Event()
        monkeypatch.setattr(m, "_build_nvml_backend", lambda: ("nvml", {"handles": []}))
        monkeypatch.setattr(m, "_read_gpu_snapshots", self.read)
        monkeypatch.setattr(m, "_telemetry_clock", self.clock)
        monkeypatch.setattr(m, "detect_gpu_inventory", lambda: self.inventory)
        monkeypatch.setattr(m, "pynvml", make_binding([]))

    def clock(self):
        return self.now

    def read(self, mode, backend, link_count=18):
        self.now += self.step
        if not self.polls:
            self.done.set()
            return []
        return self.polls.pop(0)


class QuickEvent(threading.Event):
    """A stop event whose poll-interval waits return at once: the scripted clock stands in."""

    def wait(self, timeout=None):
        return super().wait(0.001 if timeout is not None else None)


def run_loop(script, config=None, **kw):
    findings, lock, stop = [], threading.Lock(), QuickEvent()
    cfg = config or fast_config()
    thread = threading.Thread(target=m._hardware_telemetry_loop,
                              args=(cfg, findings, lock, stop, [time.time()]), kwargs=kw, daemon=True)
    thread.start()
    assert script.done.wait(30)
    stop.set()
    thread.join(5)
    assert not thread.is_alive()
    return [(f.event_type, f.severity, f.summary, f.details) for f in findings
            if f.event_type != "telemetry_ready"]


def snap(index=0, **values):
    return dict({"index": index, "nvlink_errors": {}}, **values)


def thresholds(warn=85, critical=92, ecc=100):
    cfg = fast_config()
    cfg["thermal"] = {"warn": warn, "critical": critical}
    cfg["ecc"] = {"sbe_rate_warn": ecc}
    return cfg


def test_thermal(monkeypatch):
    temps = [86, 87, 88, 85.0, 93, 86]
    script = Script(monkeypatch, [[snap(temperature_c=t)] for t in temps])
    got = run_loop(script, thresholds(), job_running_ref=[True])
    assert [(e, s, summ) for e, s, summ, _ in got] == [
        ("thermal_warning", "WARN", "GPU 0 temperature stayed above 85C"),
        ("thermal_warning", "CRITICAL", "GPU 0 temperature reached 93.0C")]
    assert got[1][3] == {"gpu_index": 0, "temperature_c": 93}


def test_ecc_throttle_util_memory_power(monkeypatch):
    polls = [
        [snap(ecc_uncorrected=0, ecc_corrected=0, throttle_reasons=72, util_gpu=5.0,
              memory_used_mb=60000.0, memory_total_mb=81920.0, power_draw_w=451.0, power_limit_w=400.0)],
        [snap(ecc_uncorrected=2, ecc_corrected=1, throttle_reasons=4, util_gpu=5.0,
              memory_used_mb=20000.0, memory_total_mb=81920.0, power_draw_w=440.0, power_limit_w=400.0)],
        [snap(ecc_uncorrected=2, ecc_corrected=1, throttle_reasons_text="HW Slowdown: Active",
              util_gpu=5.0)],
        [snap(util_gpu=5.0)], [snap(util_gpu=5.0)],
    ]
    got = run_loop(Script(monkeypatch, polls), thresholds(ecc=100), job_running_ref=[True])
    events = [(e, summ, d) for e, _, summ, d in got]
    assert ("power_anomaly", "GPU 0 power draw exceeded expected limit",
            {"gpu_index": 0, "power_draw_w": 451.0, "power_limit_w": 400.0}) in events
    masks = [d["mask"] for e, _, d in events if e == "clock_throttle" and "mask" in d]
    assert masks == [64, 8]
    assert ("ecc_dbe", "GPU 0 reported a new uncorrectable ECC error", {"gpu_index": 0, "delta": 2}) in events
    assert ("ecc_sbe_rate", "GPU 0 correctable ECC error rate is elevated",
            {"gpu_index": 0, "rate_per_hour": 3600.0}) in events
    assert ("memory_drop", "GPU 0 memory usage dropped suddenly",
            {"gpu_index": 0, "before_mb": 60000.0, "after_mb": 20000.0}) in events
    texts = [d for e, _, d in events if e == "clock_throttle" and "reason" in d]
    assert texts == [{"gpu_index": 0, "reason": "HW Slowdown: Active"}]
    assert [e for e, _, _ in events].count("low_gpu_util") == 1  # at the fifth active poll
    assert [e for e, _, _ in events].count("power_anomaly") == 1  # 440 W is not above 440


def test_hex_throttle_text_from_the_tool(monkeypatch):
    polls = [[snap(throttle_reasons_text="0x0000000000000048")],
             [snap(throttle_reasons_text="0x0000000000000004")]]
    got = run_loop(Script(monkeypatch, polls), thresholds())
    assert [(e, d.get("mask")) for e, _, _, d in got] == [("clock_throttle", 64), ("clock_throttle", 8)]


def test_low_power_nvlink_and_pcie(monkeypatch):
    polls = []
    for k in range(4):
        polls.append([snap(power_draw_w=50.0, power_limit_w=400.0, util_gpu=95.0,
                           nvlink_errors={0: {"crc_flit": 5 * k, "replay": 20 * k}},
                           pcie_replay=2 * k)])
    script = Script(monkeypatch, polls, clock_step=10.0)
    cfg = thresholds()
    cfg["monitor"]["poll_interval"] = "10s"
    got = run_loop(script, cfg, job_running_ref=[True])
    kinds = [(e, s) for e, s, _, _ in got]
    assert kinds.count(("power_anomaly", "WARN")) == 2  # third and fourth polls
    nv = [(s, d["counter"], d["delta"]) for e, s, _, d in got if e == "nvlink_errors"]
    assert ("WARN", "crc_flit", 5) in nv and ("CRITICAL", "replay", 20) in nv
    pcie = [(s, d["rate_per_min"]) for e, s, _, d in got if e == "pcie_replay"]
    assert pcie == [("WARN", 12.0), ("WARN", 12.0), ("CRITICAL", 12.0)]


@pytest.mark.parametrize("values, want", [
    ({"remap_pending": True}, [("row_remap_pending", "WARN")]),
    ({"remap_failure": True, "remap_pending": True},
     [("row_remap_failure", "CRITICAL"), ("row_remap_pending", "WARN")]),
    ({"retired_pages_pending": True}, [("retired_pages_pending", "WARN")]),
    ({"fabric_state": 2}, [("gpu_fabric_incomplete", "CRITICAL")]),  # still in progress
    ({"fabric_state": 3, "fabric_status": 0x1d}, [("gpu_fabric_incomplete", "CRITICAL")]),
    ({"fabric_state": 3, "fabric_status": 0}, []),
    ({"fabric_state": 0}, []),  # no fabric on this system
    ({"pcie_width": 8, "pcie_width_max": 16}, [("pcie_link_degraded", "WARN")]),
    ({"pcie_gen": 3, "pcie_gen_max": 5, "util_gpu": 95.0}, [("pcie_link_degraded", "WARN")]),
    ({"pcie_gen": 1, "pcie_gen_max": 5, "util_gpu": 0.0}, []),  # an idle link saves power
    ({"nvlink_links_up": 10, "nvlink_links_down": [4, 5]}, [("nvlink_link_down", "WARN")]),
    ({"nvlink_links_up": 0, "nvlink_links_down": [0, 1]}, []),  # no bridge fitted: never up
    ({"persistence_mode": False, "ecc_mode": False},
     [("persistence_mode_off", "WARN"), ("ecc_disabled", "WARN")]),
    ({"remap_pending": None, "persistence_mode": None}, []),  # unsupported readings
])
def test_gpu_state_told_once_while_it_lasts(monkeypatch, values, want):
    # Two polls in the state, one out of it, one in again: told on the first and the last.
    polls = [[snap(**values)], [snap(**values)], [snap()], [snap(**values)]]
    got = run_loop(Script(monkeypatch, polls), job_running_ref=[True])
    assert [(e, s) for e, s, _, _ in got] == want * 2


def test_network_ports_over_a_recorded_tree(monkeypatch, shared_fixtures, tmp_path):
    root = tmp_path / "infiniband"
    shutil.copytree(shared_fixtures / "ib-sysfs", root)
    monkeypatch.setenv("CORVANE_IB_SYSFS_ROOT", str(root))
    port = root / "mlx5_0" / "ports" / "1"
    changes = [  # made after each look
        lambda: [(port / "counters" / c).write_text(v) for c, v in
                 (("symbol_error", "5\n"), ("link_downed", "1\n"), ("port_xmit_wait", "9\n"))],
        lambda: (port / "rate").write_text("100 Gb/sec (1X NDR)\n"),
        lambda: None,
    ]

    def read(*args, **kw):
        if changes:
            changes.pop(0)()
        return [snap()]

    Script(monkeypatch, [])  # the scripted clock and backend
    monkeypatch.setattr(m, "_read_gpu_snapshots", read)
    findings, lock, stop = [], threading.Lock(), QuickEvent()
    thread = threading.Thread(target=m._hardware_telemetry_loop,
                              args=(fast_config(), findings, lock, stop, [time.time()]), daemon=True)
    thread.start()
    assert wait_for(lambda: not changes and sum(f.event_type.startswith("ib_") for f in findings) >= 4)
    stop.set()
    thread.join(5)
    got = [(f.event_type, f.severity, f.details["port"], f.details.get("counter"), f.details["class"])
           for f in findings if f.event_type.startswith("ib_")]
    assert got == [("ib_port_down", "CRITICAL", "mlx5_1/1", None, "network"),  # told once
                   ("ib_port_errors", "CRITICAL", "mlx5_0/1", "link_downed", "network"),
                   ("ib_port_errors", "WARN", "mlx5_0/1", "symbol_error", "network"),
                   ("ib_port_degraded", "WARN", "mlx5_0/1", None, "network")]


def test_lost_gpu_unavailable_and_inventory_shrink(monkeypatch):
    polls = [[snap(0, gpu_lost=True), snap(1, query_error="x", temperature_c=99.0)]] * 3
    script = Script(monkeypatch, polls, clock_step=30.0)
    findings = run_loop(script, thresholds())
    assert [summ for _, _, summ, _ in findings].count("GPU 0 was lost from NVML") == 3
    assert not any(e == "thermal_warning" for e, *_ in findings)

    script = Script(monkeypatch, [[snap(0, temperature_c=30.0)]] * 4, clock_step=30.0)
    original = script.inventory
    script.read_original = script.read

    def shrinking(mode, backend, link_count=18):
        result = script.read_original(mode, backend, link_count)
        script.inventory = original[:1]
        return result

    monkeypatch.setattr(m, "_read_gpu_snapshots", shrinking)
    got = run_loop(script, thresholds())
    shrink = [d for e, _, summ, d in got if summ == "GPU inventory shrank during runtime monitoring"]
    assert shrink and shrink[0] == {"before": 2, "after": 1}


def test_ready_and_unavailable(monkeypatch, smi):
    findings, lock, stop = [], threading.Lock(), threading.Event()
    smi("driver-unreachable")
    m._hardware_telemetry_loop(fast_config(), findings, lock, stop, [time.time()])
    assert [(f.event_type, f.summary) for f in findings] == [
        ("telemetry_unavailable", "GPU telemetry backend unavailable")]
    binding = make_binding([])
    monkeypatch.setattr(m, "pynvml", binding)
    monkeypatch.setattr(m, "detect_gpu_inventory", lambda: [])
    findings = []
    stop.set()
    m._hardware_telemetry_loop(fast_config(), findings, lock, stop, [time.time()])
    assert [(f.summary, f.details) for f in findings] == [
        ("Telemetry backend nvml attached to unknown GPU(s)", {"backend": "nvml", "gpu_count": 0})]
    assert binding.calls.count("shutdown") == 1


def test_bridge_and_failing_polls_keep_going(monkeypatch, caplog):
    class Bridge:
        active = True
        calls = []

        def log_gpu_metrics(self, snapshots, step=None, phase=None):
            self.calls.append((len(snapshots), step, phase))

    polls = [[snap(temperature_c="hot")], [snap(temperature_c=99.0)]]
    bridge = Bridge()
    got = run_loop(Script(monkeypatch, polls), thresholds(), wandb_bridge=bridge,
                   training_state={"step": 7, "phase": "fwd"})
    assert [e for e, *_ in got] == ["thermal_warning"]  # the bad poll was logged, not fatal
    assert bridge.calls == [(1, 7, "fwd"), (1, 7, "fwd")]
    assert sum("telemetry poll failed" in r.getMessage() for r in caplog.records) == 1


def test_active_job_window(monkeypatch):
    cfg = thresholds()
    cfg["monitor"]["poll_interval"] = "2s"
    for silence, counted in [(14.0, True), (16.0, False)]:
        polls = [[snap(util_gpu=1.0)]] * 5
        script = Script(monkeypatch, polls, clock_step=0.0)
        findings, lock, stop = [], threading.Lock(), QuickEvent()
        thread = threading.Thread(target=m._hardware_telemetry_loop,
                                  args=(cfg, findings, lock, stop, [script.now - silence]), daemon=True)
        thread.start()
        assert script.done.wait(30)
        stop.set()
        thread.join(5)
        assert any(f.event_type == "low_gpu_util" for f in findings) is counted


def test_injected_faults_reach_the_job_result(smi, monkeypatch, tmp_path, caplog):
    from runner_helpers import RecordingRegistry, script

    smi("h100x8-healthy")
    rules = tmp_path / "rules.json"
    rules.write_text(json.dumps([{"gpu": 0, "set": {"temperature_c": 97}}, {"gpu": 1, "lost": True},
                                 {"gpu": 2, "set": {"remap_failure": True, "pcie_width": 4,
                                                    "pcie_width_max": 16}},
                                 # the H100's own link is gen 5: a slot that allows gen 4 at most
                                 {"gpu": 3, "set": {"pcie_gen": 4, "pcie_gen_max": 4}},
                                 {"gpu": 4, "set": {"nvlink_links_up": 16, "nvlink_links_down": [3, 9]}},
                                 {"kernel_line": "nvidia-nvswitch3: SXid (PCI:0000:05:00.0): 12028, "
                                                 "Non-fatal, Link 32 egress non-posted PRIV error"},
                                 {"kernel_line": "a line of no known form"}]))
    monkeypatch.setenv("CORVANE_INJECT", "1")
    monkeypatch.setenv("CORVANE_INJECT_RULES", str(rules))
    result = m.run_monitored_command(script("import time; print('training', flush=True); time.sleep(2.5)"),
                                     thresholds(), RecordingRegistry(), str(tmp_path))
    got = {(f.event_type, f.severity, f.summary) for f in result.findings}
    assert ("telemetry_ready", "INFO", "Telemetry backend shell attached to 8 GPU(s)") in got
    assert ("thermal_warning", "CRITICAL", "GPU 0 temperature reached 97.0C") in got
    assert ("metric_disappearance", "CRITICAL", "GPU 1 was lost from NVML") in got
    assert ("row_remap_failure", "CRITICAL", "GPU 2 could not remap a memory row (needs replacing)") in got
    assert ("pcie_link_degraded", "WARN", "GPU 2 PCIe link runs at x4, below x16") in got
    assert ("pcie_link_degraded", "WARN", "GPU 3 PCIe link runs at gen 4, below gen 5") in got
    assert ("nvlink_link_down", "WARN", "GPU 4 has 2 NVLink links down") in got
    assert ("nvswitch_sxid", "WARN", "NVSwitch reported SXid 12028 (Non-fatal)") in got
    by_type = {f.event_type: f.details for f in result.findings}
    assert by_type["nvswitch_sxid"]["injected"] is True
    assert "no SXid, OOM-kill or PCIe AER line" in caplog.text
    assert by_type["nvlink_link_down"]["links_down"] == [3, 9]
    assert (by_type["row_remap_failure"]["class"], by_type["row_remap_failure"]["action"]) == (
        "memory", "inspect_hardware")


def test_counters_backwards_and_inactive_polls(monkeypatch):
    polls = [[snap(ecc_uncorrected=5, ecc_corrected=9, pcie_replay=50,
                   nvlink_errors={0: {"replay": 9}}, util_gpu=1.0)]]
    polls += [[snap(ecc_uncorrected=0, ecc_corrected=0, pcie_replay=0,
                    nvlink_errors={0: {"replay": 0}}, util_gpu=1.0)]]  # a driver reload
    polls += [[snap(ecc_uncorrected=1, util_gpu=1.0)]]
    running = [True]
    script = Script(monkeypatch, polls)
    got = run_loop(script, thresholds(), job_running_ref=running)
    assert [(e, d.get("delta")) for e, _, _, d in got] == [("ecc_dbe", 1)]  # only the real rise

    # Utilisation counts hold (neither count nor reset) on polls where the job is idle.
    class Toggle(list):
        def __getitem__(self, i):
            return script2.now % 2 == 0  # active on every other poll

    script2 = Script(monkeypatch, [[snap(util_gpu=1.0)]] * 10)
    got = run_loop(script2, thresholds(), job_running_ref=Toggle([True]))
    assert [e for e, *_ in got].count("low_gpu_util") == 1  # the fifth active poll


def test_inactive_bridge_and_shutdown_once(monkeypatch):
    class Bridge:
        active = False
        calls = 0

        def log_gpu_metrics(self, *a, **k):
            Bridge.calls += 1

    script = Script(monkeypatch, [[snap(temperature_c=30.0)]] * 3)
    binding = m.pynvml
    run_loop(script, thresholds(), wandb_bridge=Bridge())
    assert Bridge.calls == 0
    assert binding.calls.count("shutdown") == 1
