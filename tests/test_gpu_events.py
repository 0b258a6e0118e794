"""GPU events from NVML (Xids and ECC errors through an event set), their pairing with the
kernel log's Xid reports, and what the "watching:" line says of each source."""

import logging
import os
import threading
import time
import types

import pytest

from corvane.monitor import monitoring as m
from fake_nvml import (DBE, SBE, XID, Device, NVMLError, NVMLError_GpuIsLost,
                       NVMLError_NotSupported, event, make_binding)
from runner_helpers import RecordingRegistry, fast_config, script, wait_for

LOCAL_FIXTURES = os.path.join(os.path.dirname(__file__), "fixtures")


def inventory(devices):
    return [types.SimpleNamespace(index=d.index, pci_bus_id=d.values["bus"],
                                  name="NVIDIA H100 80GB HBM3") for d in devices]


class Job:
    """The telemetry thread and, when asked, the kernel-log watcher of one job, sharing its
    findings and stop event as the runner's threads do."""

    def __init__(self, monkeypatch, devices, **binding_kw):
        self.binding = make_binding(devices, **binding_kw)
        monkeypatch.setattr(m, "pynvml", self.binding)
        monkeypatch.setattr(m, "detect_gpu_inventory", lambda: inventory(devices))
        self.findings, self.lock, self.stop = [], threading.Lock(), threading.Event()
        self.threads = []

    def start_telemetry(self):
        self._start(m._hardware_telemetry_loop,
                    (fast_config(), self.findings, self.lock, self.stop, [time.time()]))
        assert wait_for(self.ready)

    def start_kernel_log(self):
        self._start(m._dmesg_watcher_loop, (self.findings, self.lock, self.stop))

    def _start(self, target, args):
        thread = threading.Thread(target=target, args=args, daemon=True)
        thread.start()
        self.threads.append(thread)

    def ready(self):
        return any(f.event_type == "telemetry_ready" for f in self.findings)

    @property
    def events(self):
        return self.binding.event_sets[-1]

    def push(self, device, kind, data=0, **ids):
        self.events.push(event(device, kind, data, **ids))

    def xids(self):
        return [(f.details["xid"], f.details["source"]) for f in self.findings
                if f.event_type == "xid_critical"]

    def end(self):
        self.stop.set()
        for thread in self.threads:
            thread.join(5)
            assert not thread.is_alive()


@pytest.fixture
def devices():
    return [Device(i) for i in range(3)]


# -- events become findings ---------------------------------------------------------------

MARKER = 31  # an Xid pushed last: once it is reported, every earlier event was handled


@pytest.mark.parametrize("kind, data, ids, want", [
    (XID, 79, {}, [("xid_critical", "CRITICAL", "Kernel reported XID 79 (GPU fell off the bus)",
                    {"xid": 79, "gpu_index": 1, "pci_bus_id": "19:00.0", "source": "nvml",
                     "class": "hardware", "action": "reboot"})]),
    (XID, 13, {"gpu_instance": 2, "compute_instance": 0},
     [("xid_critical", "WARN", "Kernel reported XID 13 (GPU fault)",
       {"xid": 13, "gpu_index": 1, "pci_bus_id": "19:00.0", "source": "nvml",
        "gpu_instance_id": 2, "compute_instance_id": 0, "class": "application", "action": "restart_job"})]),
    (DBE, 0, {}, [("ecc_dbe", "CRITICAL", "GPU 1 reported a new uncorrectable ECC error",
                   {"gpu_index": 1, "pci_bus_id": "19:00.0", "source": "nvml"})]),
    (SBE, 0, {}, []),  # left to the corrected-error counter
], ids=["xid", "xid-mig", "double-bit", "single-bit"])
def test_event_becomes_finding(monkeypatch, devices, kind, data, ids, want):
    job = Job(monkeypatch, devices)
    job.start_telemetry()
    job.push(devices[1], kind, data, **ids)
    job.push(devices[0], XID, MARKER)
    assert wait_for(lambda: (MARKER, "nvml") in job.xids())
    job.end()
    got = [(f.event_type, f.severity, f.summary, f.details) for f in job.findings
           if f.details.get("source") == "nvml"]
    assert got[:-1] == want
    assert all(ms <= 1000 for ms in job.events.waits)  # never waits longer than a second


def test_injected_xid_takes_the_nvml_event_path(monkeypatch, devices, tmp_path):
    import json

    import corvane.injection as injection
    from corvane.injection.engine import InjectionEngine

    rules = tmp_path / "rules.json"
    rules.write_text(json.dumps({"rules": [{"gpu": 2, "xid": 79}]}))
    monkeypatch.setenv("CORVANE_INJECT", "1")
    monkeypatch.setenv("CORVANE_INJECT_RULES", str(rules))
    monkeypatch.setattr(injection, "engine", InjectionEngine())
    job = Job(monkeypatch, devices)
    job.start_telemetry()
    assert wait_for(lambda: (79, "nvml") in job.xids())
    job.end()
    xid, = [f for f in job.findings if f.details.get("xid") == 79]
    assert xid.severity == "CRITICAL" and xid.summary.startswith("Kernel reported XID 79")
    assert {k: xid.details[k] for k in ("injected", "gpu_index", "source")} == {
        "injected": True, "gpu_index": 2, "source": "nvml"}
    assert xid.details["pci_bus_id"]  # the GPU's address, as for a real event


def test_devices_register_what_they_support(monkeypatch):
    devices = [Device(0), Device(1, events=0), Device(2), Device(3), Device(4, events=XID | 0x40)]
    devices[2].fail["events"] = NVMLError_NotSupported()
    devices[3].fail["register"] = NVMLError_GpuIsLost(15)
    job = Job(monkeypatch, devices)
    job.start_telemetry()
    assert job.events.registered == {0: XID | DBE | SBE, 4: XID}
    job.end()
    assert job.events.freed
    calls = job.binding.calls
    assert calls.count("shutdown") == 1 and calls.index("event_set_free") < calls.index("shutdown")


@pytest.mark.parametrize("setup", ["none-supported", "no-event-api"])
def test_without_events_telemetry_goes_on(monkeypatch, setup):
    devices = [Device(0, events=0)]
    job = Job(monkeypatch, devices, events=setup != "no-event-api")
    job.start_telemetry()
    assert wait_for(job.ready)
    if setup == "none-supported":
        assert job.events.freed and job.events.waits == []
    job.end()
    assert job.binding.calls.count("shutdown") == 1


def test_wait_errors_are_logged_once_each(monkeypatch, devices, caplog):
    job = Job(monkeypatch, devices)
    job.start_telemetry()
    for error in (NVMLError(999), NVMLError(999), NVMLError_GpuIsLost(15), NVMLError(999)):
        job.events.push(error)
    job.push(devices[2], XID, MARKER)
    with caplog.at_level(logging.WARNING):
        assert wait_for(lambda: (MARKER, "nvml") in job.xids())
    job.end()
    messages = [r.getMessage() for r in caplog.records if "GPU event wait failed" in r.getMessage()]
    assert sorted(messages) == ["GPU event wait failed: NVMLError: NVML error 999",
                                "GPU event wait failed: NVMLError_GpuIsLost: NVML error 15"]


def test_event_of_an_unknown_device_keeps_its_gpu_unknown(monkeypatch, devices):
    job = Job(monkeypatch, devices)
    job.start_telemetry()
    job.push(Device(9), XID, 48)
    assert wait_for(lambda: job.xids())
    job.end()
    details = job.findings[-1].details
    assert details["gpu_index"] is None and details["pci_bus_id"] is None


# -- one Xid from two sources -----------------------------------------------------------

@pytest.fixture
def kernel_log(fake_path, monkeypatch, tmp_path):
    monkeypatch.setattr(m, "_DMESG_POLL_SECONDS", 0.1)
    path = tmp_path / "kern.log"
    monkeypatch.setenv("CORVANE_FAKE_DMESG_FILE", str(path))
    return path


@pytest.mark.parametrize("first", ["kernel_log", "nvml"])
def test_same_xid_from_both_sources_is_one_finding(monkeypatch, devices, kernel_log, first):
    # GPU 0 is 00000000:18:00.0 to NVML and 0000:18:00 to the kernel.
    kernel_log.write_text("NVRM: Xid (PCI:0000:18:00): 79, pid=1\n"
                          "NVRM: Xid (PCI:0000:18:00): 43, pid=1\n")
    job = Job(monkeypatch, devices)
    if first == "kernel_log":
        job.start_kernel_log()
        assert wait_for(lambda: len(job.xids()) == 2)
        job.start_telemetry()
        job.push(devices[0], XID, 79)
        job.push(devices[0], XID, MARKER)
        assert wait_for(lambda: (MARKER, "nvml") in job.xids())
        want = [(79, "kernel_log"), (43, "kernel_log"), (MARKER, "nvml")]
    else:
        job.start_telemetry()
        job.push(devices[0], XID, 79)
        assert wait_for(lambda: job.xids() == [(79, "nvml")])
        job.start_kernel_log()
        assert wait_for(lambda: (43, "kernel_log") in job.xids())
        want = [(79, "nvml"), (43, "kernel_log")]
    job.end()
    assert job.xids() == want


@pytest.mark.parametrize("case", ["other-gpu", "other-xid", "outside-window", "second-event"])
def test_distinct_xids_stay_apart(monkeypatch, devices, kernel_log, case):
    kernel_log.write_text("NVRM: Xid (PCI:0000:18:00): 79, pid=1\n")
    if case == "outside-window":
        monkeypatch.setattr(m, "_XID_PAIRING_SECONDS", 0.0)
    job = Job(monkeypatch, devices)
    job.start_kernel_log()
    assert wait_for(lambda: len(job.xids()) == 1)
    job.start_telemetry()
    device, xid = {"other-gpu": (devices[1], 79), "other-xid": (devices[0], 94)}.get(case, (devices[0], 79))
    job.push(device, XID, xid)
    if case == "second-event":
        job.push(devices[0], XID, 79)  # the kernel's one report answers only the first
    job.push(devices[0], XID, MARKER)
    assert wait_for(lambda: (MARKER, "nvml") in job.xids())
    job.end()
    nvml = [x for x, source in job.xids() if source == "nvml"]
    assert nvml == [xid, MARKER]


def test_gpu_in_a_nonzero_pci_domain(monkeypatch, kernel_log):
    # Grace-Hopper nodes put GPUs in domain 9: 0009:01:00 to the kernel, 00000009:01:00.0
    # to NVML and the tool.
    devices = [Device(0, bus="00000009:01:00.0"), Device(1, bus="00000019:01:00.0")]
    kernel_log.write_text("NVRM: Xid (PCI:0009:01:00): 79, pid=1\n")
    job = Job(monkeypatch, devices)
    job.start_kernel_log()
    assert wait_for(lambda: len(job.xids()) == 1)
    job.start_telemetry()
    job.push(devices[0], XID, 79)
    job.push(devices[1], XID, 79)
    assert wait_for(lambda: len(job.xids()) == 2)
    job.end()
    assert [(f.details["source"], f.details["gpu_index"]) for f in job.findings
            if f.event_type == "xid_critical"] == [("kernel_log", 0), ("nvml", 1)]


# -- through the runner: the "watching:" line and the GPU count -------------------------

@pytest.fixture
def node(fake_path, monkeypatch, tmp_path):
    monkeypatch.setenv("CORVANE_FAKE_SMI_DIR", os.path.join(LOCAL_FIXTURES, "nvidia-smi"))
    monkeypatch.setenv("CORVANE_FAKE_SMI_CASE", "two-gpus")
    kern = tmp_path / "kern.log"
    kern.write_text("Linux version 6.1\n")  # printed at once: the follower is seen working
    monkeypatch.setenv("CORVANE_FAKE_DMESG_FILE", str(kern))
    log = tmp_path / "smi.log"
    monkeypatch.setenv("CORVANE_FAKE_SMI_LOG", str(log))
    return log


def run_job(tmp_path, seconds):
    cmd = script(f"import time; print('start', flush=True); time.sleep({seconds}); print('end')")
    return m.run_monitored_command(cmd, fast_config(), RecordingRegistry(), str(tmp_path))


def inventory_queries(log):
    return sum("index,pci.bus_id,name" in line for line in log.read_text().splitlines())


@pytest.mark.parametrize("nvml", [True, False], ids=["nvml", "tool"])
def test_watching_line_and_gpu_count(monkeypatch, tmp_path, capfd, node, nvml):
    if nvml:
        monkeypatch.setattr(m, "pynvml", make_binding([Device(0), Device(1)]))
    else:
        monkeypatch.setattr(m, "pynvml", None)
    run_job(tmp_path, 5.5)
    out = capfd.readouterr().out
    line = next(x for x in out.splitlines() if "watching:" in x)
    telemetry = "telemetry (nvml, 2 GPUs), gpu events (nvml)" if nvml else "telemetry (nvidia-smi, 2 GPUs)"
    assert f"watching: output, {telemetry}, kernel log (dmesg -w), hook file (" in line
    # With NVML the runner's loop takes the count from it: the tool is asked at the start
    # only (the runner, the telemetry thread and the kernel-log watcher once each).
    queries = inventory_queries(node)
    assert queries <= 4 if nvml else queries >= 6  # about one a second from the runner


@pytest.mark.parametrize("env, how", [
    ({}, "dmesg -w"),
    ({"CORVANE_FAKE_DMESG_FOLLOW_EXIT": "1", "CORVANE_FAKE_SUDO_ROOT": "1"}, "sudo -n dmesg -w"),
    ({"CORVANE_FAKE_DMESG_FOLLOW_EXIT": "1"}, "polling: dmesg -w not permitted"),
    ({"CORVANE_FAKE_DMESG_FOLLOW_EXIT": "1", "CORVANE_FAKE_DMESG_EXIT": "1", "CORVANE_FAKE_SUDO_DENY": "1"},
     "unavailable: dmesg: read kernel buffer failed: Operation not permitted; "
     "sudo: a password is required"),
], ids=["stream", "sudo-stream", "polling", "unreadable"])
def test_watching_line_names_the_kernel_log_reader(monkeypatch, tmp_path, capfd, node, env, how):
    monkeypatch.setattr(m, "pynvml", None)
    for key, value in env.items():
        monkeypatch.setenv(key, value)
    result = run_job(tmp_path, 1.5)
    out = capfd.readouterr().out
    assert f"kernel log ({how}), hook file (" in out
    unavailable = [f for f in result.findings if f.event_type == "kernel_log_unavailable"]
    assert len(unavailable) == (1 if how.startswith("unavailable") else 0)


# -- the fake binding against the real one ----------------------------------------------

def test_fake_event_api_matches_the_real_binding():
    real = pytest.importorskip("pynvml")  # nvidia-ml-py imports without a GPU
    fake = make_binding([Device(0)])
    for name in ("nvmlEventTypeXidCriticalError", "nvmlEventTypeDoubleBitEccError",
                 "nvmlEventTypeSingleBitEccError", "NVML_ERROR_TIMEOUT", "NVML_ERROR_NOT_SUPPORTED",
                 "NVML_ERROR_GPU_IS_LOST"):
        assert getattr(real, name) == getattr(fake, name), name
    for name in ("nvmlEventSetCreate", "nvmlDeviceGetSupportedEventTypes", "nvmlDeviceRegisterEvents",
                 "nvmlEventSetWait_v2", "nvmlEventSetFree", "nvmlDeviceGetCount"):
        assert callable(getattr(real, name)), name
    fields = [f[0] for f in real.c_nvmlEventData_t._fields_]
    assert set(fields) == set(vars(event(None, XID)))
    timeout = real.NVMLError(real.NVML_ERROR_TIMEOUT)
    assert type(timeout).__name__ == "NVMLError_Timeout" and timeout.value == fake.NVML_ERROR_TIMEOUT
