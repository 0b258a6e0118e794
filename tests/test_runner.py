import os
import re
import subprocess
import sys
import threading
import time
from types import SimpleNamespace

import pytest

from corvane.monitor import monitoring as m
from corvane.trust.registry import TrustRegistry
from runner_helpers import PY, Bridge, RecordingRegistry, alive, fast_config, script


LOCAL_FIXTURES = os.path.join(os.path.dirname(__file__), "fixtures")


@pytest.fixture(autouse=True)
def platform_fakes(fake_path, monkeypatch):
    """No real GPU tools or kernel log: the fakes come first on PATH, with two healthy GPUs."""
    monkeypatch.setenv("CORVANE_FAKE_SMI_DIR", os.path.join(LOCAL_FIXTURES, "nvidia-smi"))
    monkeypatch.setenv("CORVANE_FAKE_SMI_CASE", "two-gpus")
    monkeypatch.delenv("CORVANE_FAKE_DMESG_FILE", raising=False)
    monkeypatch.setattr(m, "pynvml", None)
    return fake_path


def recorded(reg):
    return [c[2]["event_type"] for c in reg.named("record_event")
            if c[2]["event_type"] != "telemetry_ready"]


CUT = " [corvane: line longer than 1 MiB, cut here]"


def run(command, config=None, registry=None, tmp=None, **kw):
    registry = registry if registry is not None else RecordingRegistry()
    result = m.run_monitored_command(command, config or fast_config(), registry, str(tmp), **kw)
    return result, registry


def job_findings(result):
    # Telemetry announces itself ("telemetry_ready", INFO); these tests are about the rest.
    return [f for f in result.findings if f.event_type != "telemetry_ready"]


def kinds(result):
    return [(f.event_type, f.severity) for f in job_findings(result)]


def test_output_is_echoed_parsed_and_recorded(tmp_path, capfd):
    cmd = script("""
        import sys
        print("loss=0.5 step_time=1.5", flush=True)
        print("Xid 79 on GPU 3", flush=True)
        print("Xid 79 on GPU 3", flush=True)
        sys.stdout.buffer.write(b"bad \\xff\\xfe\\xed\\xa0\\x80 bytes\\rlone cr\\r\\ncrlf  \\t\\nlast")
        sys.exit(3)
    """)
    result, reg = run(cmd, tmp=tmp_path)
    lines = ["loss=0.5 step_time=1.5", "Xid 79 on GPU 3", "Xid 79 on GPU 3",
             "bad \ufffd\ufffd\ufffd\ufffd\ufffd bytes", "lone cr", "crlf  \t", "last"]
    assert result.output_lines == lines
    assert result.returncode == 3 and result.job_id.startswith("job-") and len(result.job_id) == 12
    out = capfd.readouterr().out.splitlines()
    assert out[0] == f"[corvane] monitoring job {result.job_id} on {os.uname().nodename} " \
                     "(poll=1s, hang_timeout=1s)" or out[0].startswith("[corvane] monitoring job")
    echoed = [ln for ln in out if not ln.startswith("[corvane")]
    assert echoed == lines
    assert kinds(result) == [("xid_critical", "CRITICAL")]  # the repeated line is one report
    assert recorded(reg) == ["xid_critical"]
    assert reg.named("finish_job")[0][1][1] == "failed"
    assert result.sbatch_job_id is None and result.recovery is None  # mode "plan": recorded only
    (planned,) = reg.named("record_recovery_event")
    assert planned[2]["status"] == "planned" and planned[2]["details"] == {"trigger": "Detected XID 79 in job output"}


def test_stall_then_hang_one_finding_per_silence(tmp_path):
    cmd = script("""
        import time
        print("starting", flush=True)
        time.sleep(2.6)
        print("loss=0.5", flush=True)
        time.sleep(2.6)
    """)
    result, reg = run(cmd, tmp=tmp_path)
    assert kinds(result) == [("output_stall", "WARN"), ("training_hang", "CRITICAL")]
    stall, hang = job_findings(result)
    assert set(stall.details) == {"hang_timeout_s", "hang_grace_s", "silence_s", "class", "action"}
    assert stall.details["hang_timeout_s"] == 1 and stall.details["hang_grace_s"] == 0
    assert stall.details["silence_s"] >= 1 and round(stall.details["silence_s"], 2) == stall.details["silence_s"]
    (planned,) = reg.named("record_recovery_event")
    assert planned[2]["summary"].startswith("Prepared recovery plan for ")


def test_training_state_step_makes_silence_a_hang(tmp_path, monkeypatch):
    def hook_loop(hook_path, config, findings, findings_lock, stop_event, training_state=None):
        training_state["step"] = 5
        stop_event.wait()

    monkeypatch.setattr(m, "_hook_monitor_loop", hook_loop)
    result, _ = run(script("import time; time.sleep(2.6)"), tmp=tmp_path)
    assert kinds(result) == [("training_hang", "CRITICAL")]


def test_environment_and_extra_env(tmp_path, monkeypatch):
    monkeypatch.setenv("CORVANE_TEST_MARK", "inherited")
    monkeypatch.setenv("SLURM_JOB_ID", "")
    cmd = script("""
        import os
        for k in ("CORVANE_JOB_ID", "CORVANE_HOOK_FILE", "CORVANE_TEST_MARK", "EXTRA"):
            print(k, os.environ.get(k))
    """)
    result, reg = run(cmd, tmp=tmp_path / "ck" / "deep", extra_env={"EXTRA": "1"})
    env = dict(line.split(" ", 1) for line in result.output_lines)
    assert env["CORVANE_JOB_ID"] == result.job_id
    assert env["CORVANE_HOOK_FILE"] == str(tmp_path / "ck" / "deep" / f"{result.job_id}-hooks.jsonl")
    assert (tmp_path / "ck" / "deep").is_dir()
    assert env["CORVANE_TEST_MARK"] == "inherited" and env["EXTRA"] == "1"
    (start,) = reg.named("start_job")
    assert start[1][2] == {"node_id": start[1][2]["node_id"], "pre_check": []}  # no slurm_job_id

    result, reg = run(script("import os; print(os.environ['CORVANE_JOB_ID'])"), tmp=tmp_path,
                      extra_env={"CORVANE_JOB_ID": "mine"}, pre_check_result=[{"ok": True}])
    assert result.output_lines == ["mine"]
    assert reg.named("start_job")[0][1][2]["pre_check"] == [{"ok": True}]


def test_slurm_job_id_and_srun_wrapping(tmp_path, monkeypatch):
    monkeypatch.setenv("SLURM_JOB_ID", "4242")
    cfg = fast_config()
    cfg["cluster"]["scheduler"] = "slurm"
    result, reg = run(script("print('ran')"), config=cfg, tmp=tmp_path)
    assert result.output_lines == ["ran"]  # the fake srun ran the command
    (start,) = reg.named("start_job")
    assert start[1][1].startswith("srun --partition gpu ") and start[1][2]["slurm_job_id"] == "4242"


def test_early_exit_one_second_floor_and_statuses(tmp_path, monkeypatch):
    calls = []
    real = m.host_snapshot

    def counting():
        calls.append(time.monotonic())
        return real()

    monkeypatch.setattr(m, "host_snapshot", counting)
    cfg = fast_config()
    cfg["monitor"]["poll_interval"] = "200ms"
    start = time.monotonic()
    result, reg = run(script("print('nan'); raise SystemExit(0)"), config=cfg, tmp=tmp_path)
    assert time.monotonic() - start < 5
    assert kinds(result) == [("training_divergence", "WARN")]  # delivered at shutdown
    assert len(calls) == 1  # setup only: no loop iteration ran
    assert reg.named("finish_job")[0][1][1:] == ("completed", [reg.named("ensure_node")[0][1][0]])

    calls.clear()
    result, reg = run(script("import time; time.sleep(3.3)"), config=cfg, tmp=tmp_path)
    assert 3 <= len(calls) <= 5  # one setup call, then one per loop period of at least 1 s

    result, reg = run(script("import os, signal; os.kill(os.getpid(), signal.SIGTERM)"),
                      tmp=tmp_path)
    assert result.returncode == -15 and reg.named("finish_job")[0][1][1] == "failed"


def test_disk_and_inventory_checks_deduplicated(tmp_path, monkeypatch):
    monkeypatch.setattr(m, "host_snapshot", lambda: {"hostname": "n1", "disk_free_gb": 0.5})
    counts = iter([2, 2, 1, 1, 2, 1])
    gpu = SimpleNamespace(index=0, pci_bus_id="", name="NVIDIA H100 80GB HBM3")
    monkeypatch.setattr(m, "detect_gpu_inventory", lambda: [gpu] * next(counts, 1))
    result, reg = run(script("import time; print('x', flush=True); time.sleep(4.4)"),
                      config=fast_config(enabled=False), tmp=tmp_path)
    got = kinds(result)
    assert got.count(("filesystem_lost", "CRITICAL")) == 1
    assert got.count(("metric_disappearance", "CRITICAL")) == 1
    shrink = next(f for f in result.findings if f.event_type == "metric_disappearance")
    assert shrink.details == {"before": 2, "after": 1, "class": "hardware", "action": "reboot"}
    assert not reg.named("record_recovery_event")  # recovery disabled
    # The low disk is found every pass: shown once, every pass counted, also in the registry.
    counts = dict(zip((f.event_type for f in result.findings), result.finding_counts))
    assert counts["filesystem_lost"] >= 3
    assert reg.named("record_occurrences")[-1][2]["occurrences"] == counts["filesystem_lost"]


def test_repeats_are_counted_and_never_hide_another_gpu(tmp_path, monkeypatch):
    def kernel_log(findings, lock, stop):
        for gpu in (0, 3, 0, 0):
            m._append_finding(findings, lock, m.MonitorFinding(
                "xid_critical", "WARN", "Kernel reported XID 13 (GPU fault)", {"gpu_index": gpu}))

    monkeypatch.setattr(m, "_dmesg_watcher_loop", kernel_log)
    result, _ = run(script("print('x')"), config=fast_config(enabled=False), tmp=tmp_path)
    assert [(f.details["gpu_index"], n) for f, n in zip(result.findings, result.finding_counts)
            if f.event_type == "xid_critical"] == [(0, 3), (3, 1)]


@pytest.mark.parametrize("mode, live, simulate", [("confirm", None, True), ("auto", "true", False),
                                                  ("auto", False, True)])
def test_recovery_executes_in_confirm_and_auto(tmp_path, monkeypatch, mode, live, simulate):
    seen = {}

    def fake_plan(config, **kw):
        seen["plan"] = kw
        return type("Plan", (), {"checkpoint_path": None, "drain_command": None,
                                 "restart_command": "r", "replacement_node": None})()

    def fake_execute(plan, config, registry, simulate, end_job=None):
        seen["simulate"] = simulate
        return "RESULT"

    monkeypatch.setattr(m, "build_recovery_plan", fake_plan)
    monkeypatch.setattr(m, "execute_recovery", fake_execute)
    extra = {"mode": mode} if live is None else {"mode": mode, "live_execute": live}
    cmd = script("""
        import time
        time.sleep(2.6)
        print("Xid 79", flush=True)
        time.sleep(1.5)
    """)
    result, reg = run(cmd, config=fast_config(**extra), tmp=tmp_path)
    assert result.recovery == "RESULT" and seen["simulate"] is simulate
    assert seen["plan"]["failed_triggers"] == ["output_stall", "xid_critical"]
    assert seen["plan"]["command"] == m.pretty_command(cmd)
    assert not reg.named("record_recovery_event")


def test_recovery_without_mode_is_recorded_as_planned(tmp_path):
    cfg = fast_config()
    del cfg["recovery"]["mode"]
    result, reg = run(script("print('Xid 48')"), config=cfg, tmp=tmp_path)
    (planned,) = reg.named("record_recovery_event")
    assert planned[2]["mode"] is None and planned[2]["status"] == "planned"
    assert result.recovery is None


def test_bridge_only_when_active(tmp_path):
    cmd = script("print('inf'); print('Xid 13')")
    inactive = Bridge(False)
    result, reg = run(cmd, tmp=tmp_path, wandb_bridge=inactive)
    assert inactive.findings == [] and len(recorded(reg)) == 2
    active = Bridge(True)
    run(cmd, tmp=tmp_path, wandb_bridge=active)
    args, kwargs = [f for f in active.findings if f[0][0] != "telemetry_ready"][0]
    assert args[:3] == ("training_divergence", "WARN", "Detected NaN/Inf in training output")
    assert kwargs == {"step": None, "phase": None}


def test_real_registry_reads_back(tmp_path):
    reg = TrustRegistry(tmp_path / "r.sqlite3")
    result, _ = run(script("print('ECC error: double-bit')"), registry=reg, tmp=tmp_path)
    assert reg.job(result.job_id)["status"] == "completed"
    assert [e["event_type"] for e in reg.events(result.job_id)
            if e["event_type"] != "telemetry_ready"] == ["ecc_dbe"]


def test_grandchild_holding_the_pipe(tmp_path):
    cmd = ["bash", "-c", "sleep 20 & echo $!"]
    start = time.monotonic()
    result, _ = run(cmd, tmp=tmp_path)
    assert len(result.output_lines) == 1 and result.returncode == 0
    assert time.monotonic() - start < 1 + 2 + 1.5 + 1  # period, reader's bound, leftovers, slack
    assert not alive(int(result.output_lines[0]))  # what the job left behind went with it


@pytest.mark.parametrize("keep", [1, 3, 5000, None])
def test_max_output_lines_keeps_the_most_recent(tmp_path, keep, capfd):
    cfg = fast_config()
    cfg["monitor"]["max_output_lines"] = keep
    total = 12000
    result, _ = run(script(f"""
        for i in range({total}):
            print(f"step {{i}} loss={{i}}")
        print("loss: nan")
    """), config=cfg, tmp=tmp_path)
    lines = [f"step {i} loss={i}" for i in range(total)] + ["loss: nan"]
    expected = lines if keep is None else lines[len(lines) - keep:]
    assert result.output_lines == expected
    assert result.output_lines_dropped == len(lines) - len(expected)
    assert "training_divergence" in {f.event_type for f in result.findings}  # all parsed
    assert capfd.readouterr().out.count("\nstep ") == total  # and all echoed


@pytest.mark.parametrize("lines, kept", [
    ([b"a" * (3 << 20) + b" loss: nan"], ["a" * (1 << 20) + CUT]),  # echoed and parsed whole
    ([b"step " + b"y" * 99_995] * 400, ["step " + "y" * 99_995] * 335),  # 32 MiB kept
])
def test_kept_output_is_bounded_in_bytes(tmp_path, capfdbinary, lines, kept):
    out = tmp_path / "out"
    out.write_bytes(b"\n".join(lines) + b"\n")
    result, _ = run(["cat", str(out)], tmp=tmp_path)
    assert result.output_lines == kept
    assert result.output_lines_dropped == len(lines) - len(kept)
    shown = re.sub(rb"\[corvane \d\d:\d\d:\d\d\][^\n]*\n", b"", capfdbinary.readouterr().out)
    assert out.read_bytes() in shown  # every byte echoed, no line cut (findings may come between)
    assert ("loss: nan" in lines[0].decode()) == any(
        f.event_type == "training_divergence" for f in result.findings)


@pytest.mark.parametrize("keep, error", [
    (0, "must be at least 1"), (-5, "must be at least 1"),
    (True, "must be a whole number or None"), ("100", "must be a whole number or None"),
    (100.0, "must be a whole number or None"),
])
def test_a_bad_output_bound_stops_the_run_before_its_job(tmp_path, monkeypatch, keep, error):
    # The runner checks the bound itself, even where the host's validation lets it pass.
    monkeypatch.setattr(m, "validate_config", lambda config: [])
    cfg = fast_config()
    cfg["monitor"]["max_output_lines"] = keep
    marker = tmp_path / "started"
    registry = RecordingRegistry()
    with pytest.raises(ValueError) as raised:
        run(script(f"open({str(marker)!r}, 'w').close()"), config=cfg, registry=registry,
            tmp=tmp_path)
    assert str(raised.value) == f"monitor.max_output_lines {error}"
    assert not marker.exists()
    assert not registry.named("record_event")


def test_nothing_left_behind(tmp_path):
    before_fds = set(os.listdir("/proc/self/fd"))
    before_threads = set(threading.enumerate())
    run(script("print('hello')"), tmp=tmp_path)
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline and set(threading.enumerate()) - before_threads:
        time.sleep(0.05)
    assert set(threading.enumerate()) - before_threads == set()
    assert set(os.listdir("/proc/self/fd")) - before_fds == set()


def test_bad_arguments_fail_before_any_work(tmp_path):
    reg = RecordingRegistry()
    for args in [("python", {}), (["python"], []), ]:
        with pytest.raises(TypeError, match="command|config"):
            m.run_monitored_command(args[0], args[1], reg, str(tmp_path))
    with pytest.raises(TypeError, match="pre_check_result"):
        m.run_monitored_command([PY], fast_config(), reg, str(tmp_path), pre_check_result={})
    with pytest.raises(TypeError, match="extra_env"):
        m.run_monitored_command([PY], fast_config(), reg, str(tmp_path), extra_env=[])
    for missing in ("monitor", "cluster"):
        cfg = fast_config()
        del cfg[missing]
        with pytest.raises(KeyError):
            m.run_monitored_command([PY], cfg, reg, str(tmp_path))
    cfg = fast_config()
    cfg["monitor"]["poll_interval"] = "soon"
    with pytest.raises(ValueError, match="soon"):
        m.run_monitored_command([PY], cfg, reg, str(tmp_path))
    assert reg.calls == []


def test_failing_probe_is_logged_once_and_the_job_stays_watched(tmp_path, monkeypatch, caplog):
    snapshots = iter([{"hostname": "n", "disk_free_gb": 9}])

    def snapshot():
        try:
            return next(snapshots)
        except StopIteration:
            raise RuntimeError("probe failed") from None

    monkeypatch.setattr(m, "host_snapshot", snapshot)
    # Much more output than a pipe holds, written after the probe began to fail, then a
    # fault line that must still be found.
    cmd = script("""
        import time
        time.sleep(2.5)
        for i in range(20000):
            print("line", i, "x" * 60)
        print("loss: nan")
    """)
    before = set(threading.enumerate())
    with caplog.at_level("WARNING", logger="corvane.monitor.monitoring"):
        result, _ = run(cmd, tmp=tmp_path)
    assert result.returncode == 0 and len(result.output_lines) == 20001
    assert any(f.event_type == "training_divergence" for f in result.findings)
    failures = [r for r in caplog.records if "probe failed" in r.getMessage()]
    assert len(failures) == 1
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline and set(threading.enumerate()) - before:
        time.sleep(0.05)
    assert set(threading.enumerate()) - before == set()


def test_start_failures_are_recorded_as_failed_with_the_reason(tmp_path):
    reg = RecordingRegistry()
    with pytest.raises(FileNotFoundError):
        m.run_monitored_command(["/nonexistent/train"], fast_config(), reg, str(tmp_path))
    assert reg.named("start_job")
    (_, args, kwargs), = reg.named("finish_job")
    assert args[1] == "failed" and "FileNotFoundError" in kwargs["details"]["reason"]

    blocker = tmp_path / "file"
    blocker.write_text("")
    reg = RecordingRegistry()
    with pytest.raises(NotADirectoryError):
        m.run_monitored_command([PY, "-c", "pass"], fast_config(), reg, str(blocker / "ckpt"))
    (_, args, kwargs), = reg.named("finish_job")
    assert args[1] == "failed" and "NotADirectoryError" in kwargs["details"]["reason"]


def test_interpreter_exit_with_the_monitor_running(tmp_path):
    # A daemon thread runs a job while the interpreter exits: no crash, no hang.
    code = f"""
import sys, threading, time
sys.path.insert(0, {os.path.dirname(__file__)!r})
from corvane.monitor import monitoring as m
from runner_helpers import RecordingRegistry, fast_config
cmd = [sys.executable, "-c", "import time\\nwhile True:\\n    print('tick', flush=True)\\n    time.sleep(0.01)"]
t = threading.Thread(target=m.run_monitored_command,
                     args=(cmd, fast_config(), RecordingRegistry(), {str(tmp_path)!r}), daemon=True)
t.start()
time.sleep(1.5)
print("main exits", flush=True)
"""
    proc = subprocess.run([PY, "-c", code], capture_output=True, text=True, timeout=30)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert "main exits" in proc.stdout


def test_multi_rank_example_end_to_end(tmp_path):
    example = os.path.join(os.path.dirname(__file__), "..", "examples", "multi_rank_training.py")
    config = fast_config()
    config["monitor"]["warmup_steps"] = 2  # the window of 5 steps then closes by step 7
    result, _ = run([PY, example, "--steps", "16"], config=config, tmp=tmp_path)
    assert result.returncode == 0
    got = {(f.event_type, f.details.get("rank"), f.details.get("phase")) for f in result.findings}
    assert ("rank_straggler", 2, None) in got
    assert ("phase_straggler", 2, "backward-compute") in got
    assert ("rank_divergence", 1, None) in got
