"""No single input ends a watcher thread; a watcher that stops anyway says so; a hung tool
neither stalls the monitor nor crashes the interpreter at exit."""

import json
import os
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path
from types import SimpleNamespace

import pytest

from corvane.monitor import monitoring as m
from corvane.provision import environment as env
from runner_helpers import RecordingRegistry, fast_config, script
from test_kernel_log import wait_for
from test_telemetry import Script, run_loop, snap, thresholds

HERE = Path(__file__).resolve().parent
ROW = "{index}, 00000000:{bus}:00.0, {temp}, 97, 71235, 81559, 612.34, 700.00, 0x0, {sbe}, {dbe}"


def row(index=0, temp=40, sbe=0, dbe=0, bus="18"):
    return ROW.format(index=index, bus=bus, temp=temp, sbe=sbe, dbe=dbe)


class Watcher:
    """One watcher thread; its findings list, lock and stop event sit around `args`."""

    def __init__(self, target, before=(), after=()):
        self.findings, self.lock, self.stop = [], threading.Lock(), threading.Event()
        self.thread = threading.Thread(
            target=target, args=(*before, self.findings, self.lock, self.stop, *after), daemon=True)
        self.thread.start()

    def events(self):
        return [(f.event_type, f.severity, f.summary) for f in list(self.findings)]

    def close(self):
        self.stop.set()
        self.thread.join(10)
        assert not self.thread.is_alive()


@pytest.fixture
def smi(fake_path, tmp_path, monkeypatch):
    """A fake nvidia-smi answering from files the test writes: node.main.csv, node.replay.csv."""
    folder = tmp_path / "smi"
    folder.mkdir()
    monkeypatch.setenv("CORVANE_FAKE_SMI_DIR", str(folder))
    monkeypatch.setenv("CORVANE_FAKE_SMI_CASE", "node")
    monkeypatch.delenv("CORVANE_INJECT", raising=False)
    monkeypatch.setattr(m, "pynvml", None)

    def write(main, replay="0, 0\n"):
        (folder / "node.main.csv").write_text(main)
        (folder / "node.replay.csv").write_text(replay)

    write.folder = folder
    return write


# -- tool output ----------------------------------------------------------------------------

BAD_ROWS = {
    "index beyond 64 bits": (row(index=2 ** 64, bus="2A"), "0, 0\n", [0, 2 ** 64]),
    "index that is no integer": (row(index="GPU-1", bus="2A"), "0, 0\n", [0]),
    "counters that are no finite number": (row(index=1, sbe="nan", dbe="1e400", bus="2A"),
                                           "0, 0\n1, 0\n", [0, 1]),
    "replay counts that are no finite number": (row(index=1, bus="2A"), "0, inf\n1, nan\n", [0, 1]),
}


@pytest.mark.parametrize("bad, replay, indices", BAD_ROWS.values(), ids=BAD_ROWS.keys())
def test_unreadable_tool_rows_leave_the_other_gpus_watched(smi, bad, replay, indices):
    smi(row(temp=40) + "\n" + bad + "\n", replay)
    snaps = m._build_shell_gpu_snapshot()
    assert [s["index"] for s in snaps] == indices
    for s in snaps:  # what is no number is not available, never a made-up count
        assert s["ecc_corrected"] in (0, None) and s["ecc_uncorrected"] in (0, None)
        assert s["pcie_replay"] in (0, None)

    # At start and in the middle of the job: telemetry comes up, and a later 99 C reading
    # of the good GPU is still reported.
    watch = Watcher(m._hardware_telemetry_loop, before=(thresholds(critical=92),),
                    after=([time.time()],))
    try:
        assert wait_for(lambda: any(e == "telemetry_ready" for e, _, _ in watch.events()))
        smi(row(temp=99) + "\n" + bad + "\n", replay)
        assert wait_for(lambda: ("thermal_warning", "CRITICAL", "GPU 0 temperature reached 99.0C")
                        in watch.events())
        assert watch.thread.is_alive()
    finally:
        watch.close()


def test_inventory_rows_that_are_no_gpu_are_left_out(smi):
    (smi.folder / "node.inventory.csv").write_text(
        "\u00b2, 00000000:18:00.0, NVIDIA H100 80GB HBM3\n"  # "²": a digit int() refuses
        "1, 00000000:2A:00.0, NVIDIA H100 80GB HBM3\n")
    inventory = env.detect_gpu_inventory()
    assert [g.index for g in inventory] == [1] and inventory.no_answer is None


# -- configuration values of the wrong type --------------------------------------------------

def bad_thermal(cfg, value):
    cfg["thermal"] = value


class Unreadable:
    """A value whose str(), bool() and type checks all fail."""

    @property
    def __class__(self):
        raise RuntimeError("no class")

    def __str__(self):
        raise ValueError("no text")

    def __bool__(self):
        raise ValueError("no truth value")

    def __repr__(self):
        return "<unreadable>"


@pytest.mark.parametrize("spoil, logged", [
    (lambda cfg: cfg["thermal"].update(warn="hot"), "thermal.warn = 'hot' is not a number"),
    (lambda cfg: cfg["thermal"].update(warn=True), "thermal.warn = True is not a number"),
    (lambda cfg: bad_thermal(cfg, "cool"), "thermal = 'cool' is not a table"),
    (lambda cfg: cfg["monitor"].update(poll_interval="often"), "poll_interval = 'often' is not a duration"),
    (lambda cfg: bad_thermal(cfg, Unreadable()), "thermal = <unreadable> is not a table"),
    (lambda cfg: cfg["monitor"].update(structural_monitoring=Unreadable()),
     "monitor.structural_monitoring = <unreadable> has no truth value"),
    (lambda cfg: cfg.setdefault("cluster", {}).update(gpu_type=Unreadable()),
     "cluster.gpu_type = <unreadable> cannot be read as text"),
])
def test_telemetry_settings_of_the_wrong_type_fall_back(monkeypatch, caplog, spoil, logged):
    cfg = thresholds(warn=85, critical=95)
    spoil(cfg)
    polls = [[snap(temperature_c=90.0)]] * 3 + [[snap(temperature_c=99.0)]]
    got = run_loop(Script(monkeypatch, polls), cfg, job_running_ref=[True])
    # The defaults (85 C, 95 C) apply: three polls above 85 C, then one above 95 C.
    assert [(e, s, summ) for e, s, summ, _ in got] == [
        ("thermal_warning", "WARN", "GPU 0 temperature stayed above 85C"),
        ("thermal_warning", "CRITICAL", "GPU 0 temperature reached 99.0C")]
    assert sum(logged in r.getMessage() for r in caplog.records) == 1


def straggler_lines(ts, phase="fwd"):
    return "".join(json.dumps({"rank": r, "timestamp": ts, "step_time": 1.0 + (r == 2) * 0.5,
                               "phase_times": {phase: 1.0 + (r == 2) * 0.5}}) + "\n"
                   for r in range(3))


@pytest.mark.parametrize("monitor", [{"rank_divergence_threshold": "x"},
                                     {"rank_straggler_threshold": None},
                                     {"rank_straggler_threshold": float("nan")}])
def test_hook_settings_of_the_wrong_type_fall_back(tmp_path, caplog, monitor):
    path = tmp_path / "h.jsonl"
    path.write_text(straggler_lines(time.time()))
    state = {"phase": None, "step": None}
    watch = Watcher(m._hook_monitor_loop, before=(path, {"monitor": monitor}), after=(state,))
    try:
        assert wait_for(lambda: ("rank_straggler", "WARN", "Rank 2 is consistently slower than peers")
                        in watch.events())
        assert watch.thread.is_alive()
    finally:
        watch.close()
    assert sum("is not a number" in r.getMessage() for r in caplog.records) == 1


# -- hook lines ------------------------------------------------------------------------------

def many_phases(n):
    return json.dumps({"rank": 7, "phase_times": {f"p{k}": 1 for k in range(n)}},
                      separators=(",", ":"))


BAD_HOOK_LINES = {
    "lone surrogate phase name": '{"rank":5,"phase_times":{"\\ud800":1.0}}',
    "74 000 phase names": many_phases(74_000),
    "large line only the full decoder reads": many_phases(10_000).replace('"p1"', '"p\\u00e9"'),
    "large line cut off": many_phases(10_000)[:-2],
    "huge rank": '{"rank": 1e999, "phase_times": {"fwd": 1}}',
}


@pytest.mark.parametrize("bad", BAD_HOOK_LINES.values(), ids=BAD_HOOK_LINES.keys())
def test_a_bad_hook_line_is_skipped_and_later_ranks_still_reported(tmp_path, bad):
    path = tmp_path / "h.jsonl"
    ts = time.time()
    # The phase is named with a lone surrogate too: such names are compared exactly.
    path.write_text(bad + "\n" + straggler_lines(ts, phase="\ud800"))
    state = {"phase": None, "step": None}
    watch = Watcher(m._hook_monitor_loop, before=(path, {"monitor": {}}), after=(state,))
    try:
        assert wait_for(lambda: len(watch.findings) >= 2)
        assert watch.thread.is_alive()
    finally:
        watch.close()
    kinds = {(f.event_type, f.details["rank"], f.details.get("phase")) for f in watch.findings}
    assert kinds == {("rank_straggler", 2, None), ("phase_straggler", 2, "\ud800")}


def phase_line(rank, pairs):
    """A hook line whose "phase_times" has these (name, duration) pairs, repeats and all."""
    body = ",".join(f"{json.dumps(name)}:{value}" for name, value in pairs)
    return f'{{"rank":{rank},"timestamp":5000,"phase_times":{{{body}}}}}'


@pytest.mark.parametrize("lines, stragglers", [
    # a repeated name keeps its first place and takes its last value
    ([phase_line(0, [("a", 9), ("a", 1)]), phase_line(1, [("a", 1)]), phase_line(2, [("a", 1.5)])],
     [(2, "a")]),
    # 32 distinct names, one of them repeated on the way: the 32nd is still examined
    ([phase_line(r, [(f"p{k}", 1) for k in range(31)] + [("p0", 1), ("p31", 1 + (r == 2))])
      for r in range(3)],
     [(2, "p31")]),
    # names that are lone surrogates are told apart exactly
    ([phase_line(r, [("\ud800", 1 + (r == 2) * 0.5), ("\udc00", 1)]) for r in range(3)],
     [(2, "\ud800")]),
])
def test_repeated_and_odd_phase_names_read_as_the_host_decoder_reads_them(lines, stragglers):
    for host_only in (False, True):
        state = {"phase": None, "step": None}
        found = m._testing.hook_replay_lines(lines, {"monitor": {}}, 5000.0, state, host_only)
        assert [(f.details["rank"], f.details["phase"]) for f in found] == stragglers, host_only


# -- the kernel log --------------------------------------------------------------------------

def test_a_kernel_line_that_cannot_be_read_is_skipped_while_streaming(fake_path, monkeypatch,
                                                                      tmp_path, caplog):
    monkeypatch.setenv("CORVANE_FAKE_SMI_DIR", str(HERE / "fixtures" / "nvidia-smi"))
    monkeypatch.setenv("CORVANE_FAKE_SMI_CASE", "two-gpus")
    log = tmp_path / "kern.log"
    # An Xid code longer than the host converts to an integer, then a real one.
    log.write_text("NVRM: Xid (PCI:0000:18:00): " + "9" * 5000 + ", pid=1\n"
                   "NVRM: Xid (PCI:0000:18:00): 79, pid=42\n")
    monkeypatch.setenv("CORVANE_FAKE_DMESG_FILE", str(log))
    watch = Watcher(m._dmesg_watcher_loop)
    try:
        assert wait_for(lambda: len(watch.findings) == 1)
        assert watch.thread.is_alive()
    finally:
        watch.close()
    assert watch.findings[0].details == {"pci_bus_id": "0000:18:00", "gpu_index": 0, "xid": 79,
                                          "source": "kernel_log", "class": "hardware",
                                          "action": "reboot"}
    assert sum("kernel-log line skipped" in r.getMessage() for r in caplog.records) == 1


# -- a watcher that stops early says so --------------------------------------------------------

def no_thermal_section():
    cfg = fast_config()
    del cfg["thermal"]
    return cfg


TELEMETRY = lambda f, l, s: m._hardware_telemetry_loop(no_thermal_section(), f, l, s, [0.0])
HOOKS = lambda f, l, s: m._hook_monitor_loop(Path("h.jsonl"), {}, f, l, s)
KERNEL_LOG = lambda f, l, s: m._dmesg_watcher_loop(f, l, s)


@pytest.mark.parametrize("source, call, stopped, error, message", [
    ("telemetry", TELEMETRY, False, KeyError, "KeyError: 'thermal'"),
    ("telemetry", TELEMETRY, True, KeyError, None),
    ("hooks", HOOKS, False, KeyError, "KeyError: 'monitor'"),
    ("hooks", HOOKS, True, KeyError, None),
    # A C++ error at the boundary (the poll period is no number) becomes a host error.
    ("kernel_log", KERNEL_LOG, False, RuntimeError, "internal error"),
])
def test_a_watcher_that_stops_early_leaves_one_finding(fake_path, monkeypatch, source, call,
                                                       stopped, error, message):
    monkeypatch.setenv("CORVANE_FAKE_DMESG_FOLLOW_EXIT", "1")  # the kernel watcher polls
    monkeypatch.setattr(m, "_DMESG_POLL_SECONDS", "soon")
    findings, lock, stop = [], threading.Lock(), threading.Event()
    if stopped:
        stop.set()
    with pytest.raises(error):
        call(findings, lock, stop)
    if stopped:
        assert findings == []  # asked to stop: nothing is lost
        return
    (f,) = findings
    assert (f.event_type, f.severity, f.details["source"]) == ("monitor_degraded", "WARN", source)
    assert f.details["error"].startswith(message) and "\n" not in f.details["error"]


# -- a tool that hangs -----------------------------------------------------------------------

def test_a_poll_that_hangs_past_its_time_out_is_reported_once(smi, monkeypatch, tmp_path):
    smi(row(temp=40) + "\n")
    hang = tmp_path / "hang"
    monkeypatch.setenv("CORVANE_FAKE_SMI_HANG_FILE", str(hang))
    calls = []

    def short_shell(command, timeout, stop=None):
        calls.append(command)
        return env.run_shell(command, timeout=0.5, stop=stop)

    monkeypatch.setattr(m, "run_shell", short_shell)
    watch = Watcher(m._hardware_telemetry_loop, before=(thresholds(),), after=([time.time()],))
    try:
        assert wait_for(lambda: any(e == "telemetry_ready" for e, _, _ in watch.events()))
        hang.touch()
        assert wait_for(lambda: any(e == "telemetry_unavailable" for e, _, _ in watch.events()))
        seen = len(calls)
        assert wait_for(lambda: len(calls) >= seen + 2)  # two more polls hang as well
        (hung,) = [f for f in watch.findings if f.event_type == "telemetry_unavailable"]
        # The main query, or the replay query when the tool hung between the two.
        assert hung.severity == "WARN" and hung.details["tool"] == "nvidia-smi"
        assert hung.details["reason"] in ("no answer within 15 s", "no answer within 10 s")
    finally:
        watch.close()


def test_a_hung_inventory_neither_holds_up_the_loop_nor_counts_as_lost_gpus(tmp_path,
                                                                           monkeypatch):
    gpu = SimpleNamespace(index=0, pci_bus_id="", name="NVIDIA H100 80GB HBM3")
    probes = []

    def inventory(stop=None):
        # Two GPUs for everybody; the runner's loop counts them on its helper thread, where
        # the tool answers once, then times out, then hangs until the job's stop event.
        if "_inventory_probe" not in threading.current_thread().name:
            return [gpu, gpu]
        probes.append(stop)
        if len(probes) == 1:
            return [gpu, gpu]
        if len(probes) == 2:
            return env.GpuInventory(no_answer="no answer within 10 s")
        stop.wait()
        return env.GpuInventory(no_answer="stopped before it answered")

    monkeypatch.setattr(m, "detect_gpu_inventory", inventory)
    monkeypatch.setattr(m, "pynvml", None)
    monkeypatch.setattr(m, "run_shell", lambda command, timeout, stop=None:
                        SimpleNamespace(returncode=1, stdout=""))
    result = m.run_monitored_command(script("import time; print('x', flush=True); time.sleep(3.5)"),
                                     fast_config(enabled=False), RecordingRegistry(), str(tmp_path))
    kinds = [(f.event_type, f.severity) for f in result.findings]
    assert len(probes) >= 3
    assert ("output_stall", "WARN") in kinds  # the loop went on while the tool hung
    assert ("metric_disappearance", "CRITICAL") not in kinds  # no answer is no lost GPU


HUNG_TOOL_JOB = textwrap.dedent("""
    import json, sys, tempfile, time
    from corvane.monitor import monitoring as m
    from corvane.provision import environment as env
    from runner_helpers import RecordingRegistry, fast_config, script

    if sys.argv[1] == "stoppable":
        # The tools' time-outs, shortened so that the job outlives them.
        m.run_shell = lambda command, timeout, stop=None: env.run_shell(command, 0.5, stop)
        m.detect_gpu_inventory = lambda stop=None: env.detect_gpu_inventory(0.5, stop)
    else:
        # A replacement that cannot be stopped: its thread is still busy in the host when
        # the interpreter exits.
        def stubborn(command, timeout=15):
            while True:
                time.sleep(0.001)
        m.run_shell = stubborn
        m.detect_gpu_inventory = lambda: []
    result = m.run_monitored_command(script("import time; print('x', flush=True); time.sleep(1.5)"),
                                     fast_config(), RecordingRegistry(), tempfile.mkdtemp())
    print(json.dumps([[f.event_type, f.severity, f.details] for f in result.findings]))
""")


@pytest.mark.parametrize("tool, runs", [("stoppable", 3), ("stubborn", 1)])
def test_a_hung_tool_never_crashes_the_monitor(fake_path, tmp_path, tool, runs):
    env_vars = dict(os.environ, PYTHONPATH=str(HERE), CORVANE_FAKE_SMI_HANG_FILE=str(tmp_path),
                    CORVANE_FAKE_SMI_DIR=str(HERE / "fixtures" / "nvidia-smi"),
                    CORVANE_FAKE_SMI_CASE="two-gpus")
    env_vars.pop("CORVANE_INJECT", None)
    for _ in range(runs):
        proc = subprocess.run([sys.executable, "-X", "faulthandler", "-c", HUNG_TOOL_JOB, tool],
                              capture_output=True, text=True, timeout=60, env=env_vars)
        assert proc.returncode == 0, proc.stderr[-3000:]
        assert "Fatal Python error" not in proc.stderr
        findings = json.loads(proc.stdout.splitlines()[-1])
        if tool == "stoppable":
            assert ["telemetry_unavailable", "WARN",
                    {"tool": "nvidia-smi", "reason": "no answer within 15 s"}] in findings
