import io
import os
import signal
import sys
import threading
import time

import pytest

from corvane.health import recovery, remediation
from runner_helpers import alive


@pytest.mark.parametrize("value, expected", [
    (True, True), (False, False), ("true", True), (" YES ", True), ("on", True), ("1", True),
    ("false", False), ("No", False), ("0", False), ("off", False),
])
def test_strict_bool_accepts(value, expected):
    assert remediation.strict_bool(value, flag="recovery.live_execute") is expected


@pytest.mark.parametrize("value", ["maybe", "", None, 1, 0, 2.0, [], "tru"])
def test_strict_bool_rejects_naming_the_flag(value):
    with pytest.raises(ValueError, match="recovery.live_execute"):
        remediation.strict_bool(value, flag="recovery.live_execute")


def _touch(path, age_s):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(b"x")
    t = time.time() - age_s
    os.utime(path, (t, t))


def test_plan_names_newest_checkpoint_and_slurm_drain(tmp_path):
    _touch(tmp_path / "old.pt", 300)
    _touch(tmp_path / "run" / "step_200.ckpt", 10)
    _touch(tmp_path / "job-1-hooks.jsonl", 0)  # the hook file is not a checkpoint
    _touch(tmp_path / "notes.txt", 0)
    config = {"cluster": {"scheduler": "slurm"}, "recovery": {"mode": "auto"}}
    plan = recovery.build_recovery_plan(
        config, job_id="job-1", node_id="gpu-a17", command="python train.py",
        checkpoint_dir=tmp_path, failed_triggers=["xid_critical", "output_stall", "xid_critical"])
    assert plan.checkpoint_path == str(tmp_path / "run" / "step_200.ckpt")
    assert plan.drain_command.startswith("scontrol update NodeName=gpu-a17 State=DRAIN")
    assert "output_stall, xid_critical" in plan.drain_command
    assert plan.restart_command == "python train.py"
    assert plan.failed_triggers == ("output_stall", "xid_critical")


@pytest.mark.parametrize("action, drains, shown", [
    ("reset_gpu", True, "node:       reset the GPU"),
    ("reboot", True, "node:       reboot the node"),
    ("restart_job", False, "node:       restart the job only"),  # the job's fault: no drain
    ("bogus", True, None),
    (None, True, None),
])
def test_plan_follows_the_catalogue_action(tmp_path, action, drains, shown):
    plan = recovery.build_recovery_plan(
        {"cluster": {"scheduler": "slurm"}}, job_id="job-1", node_id="gpu-a17",
        command="python train.py", failed_triggers=["xid_critical"], action=action)
    assert (plan.drain_command is not None) == drains
    text = recovery.describe_plan(plan)
    assert (shown in text) if shown else ("node:" not in text and plan.action is None)


def test_plan_templates_and_empty_dir(tmp_path):
    config = {"recovery": {"restart_command": "{command} --resume {checkpoint}",
                           "replacement_node": "spare-1"}}
    plan = recovery.build_recovery_plan(config, job_id="j", node_id="n", command="train",
                                        checkpoint_dir=tmp_path / "missing", failed_triggers=[])
    assert plan.checkpoint_path is None and plan.drain_command is None
    assert plan.restart_command == "train --resume ''" and plan.replacement_node == "spare-1"


class Recorder:
    def __init__(self):
        self.calls = []

    def record_recovery_event(self, **kw):
        self.calls.append(kw)


def test_simulated_execution_runs_nothing(tmp_path):
    marker = tmp_path / "ran"
    config = {"recovery": {"mode": "confirm", "drain_command": f"touch {marker}"}}
    plan = recovery.build_recovery_plan(config, job_id="j", node_id="n", command=f"touch {marker}",
                                        checkpoint_dir=tmp_path, failed_triggers=["x"])
    reg = Recorder()
    result = recovery.execute_recovery(plan, config, reg, simulate=True)
    assert result.status == "simulated" and result.simulated and not marker.exists()
    assert [s.name for s in result.steps] == ["drain", "restart"]
    assert reg.calls[0]["status"] == "simulated"


def test_live_execution_stops_at_a_failed_step(tmp_path):
    marker = tmp_path / "restarted"
    config = {"recovery": {"mode": "auto", "drain_command": "exit 7"}}
    plan = recovery.build_recovery_plan(config, job_id="j", node_id="n", command=f"touch {marker}",
                                        checkpoint_dir=tmp_path, failed_triggers=["x"])
    result = recovery.execute_recovery(plan, config, None, simulate=False)
    assert result.status == "failed" and result.steps[0].returncode == 7
    assert len(result.steps) == 1 and not marker.exists()


def _live_plan(tmp_path, mode, restart, drain=None):
    recovery_cfg = {"mode": mode, "live_execute": True, "restart_command": restart}
    if drain is not None:
        recovery_cfg["drain_command"] = drain
    config = {"recovery": recovery_cfg}
    plan = recovery.build_recovery_plan(config, job_id="j", node_id="vm", command="train",
                                        checkpoint_dir=tmp_path, failed_triggers=["xid_critical"])
    return plan, config


def _never_asked(question):
    raise AssertionError("asked in a mode that must not ask")


@pytest.mark.parametrize("mode, answer, status, ran", [
    ("confirm", True, "executed", True),
    ("confirm", False, "declined", False),
    ("confirm", None, "awaiting_confirmation", False),  # no terminal to ask on
    ("auto", _never_asked, "executed", True),
])
def test_confirm_asks_before_running_and_auto_does_not(tmp_path, mode, answer, status, ran):
    marker = tmp_path / "restarted"
    plan, config = _live_plan(tmp_path, mode, f"touch {marker}")
    asked = []

    def ask(question):
        asked.append(question)
        return answer(question) if callable(answer) else answer

    reg, out = Recorder(), io.StringIO()
    result = recovery.execute_recovery(plan, config, reg, simulate=False, ask=ask, out=out)
    assert (result.status, marker.exists()) == (status, ran)
    assert [c["status"] for c in reg.calls] == [status]
    if mode == "confirm":
        (question,) = asked
        assert f"restart:    touch {marker}" in question and "xid_critical" in question
    if status == "awaiting_confirmation":
        assert f"touch {marker}" in out.getvalue() and "no terminal" in result.summary
        assert result.steps == ()


def test_confirm_without_a_terminal_runs_nothing(tmp_path, monkeypatch):
    marker = tmp_path / "restarted"
    plan, config = _live_plan(tmp_path, "confirm", f"touch {marker}")
    with open(os.devnull) as devnull:
        monkeypatch.setattr(sys, "stdin", devnull)
        result = recovery.execute_recovery(plan, config, None, simulate=False, out=io.StringIO())
    assert result.status == "awaiting_confirmation" and not marker.exists()


def test_live_output_is_shown_and_a_failure_told_in_one_line(tmp_path):
    plan, config = _live_plan(tmp_path, "auto", "echo resuming; echo oops >&2; printf tail; exit 3",
                              drain="echo drained")
    out = io.StringIO()
    result = recovery.execute_recovery(plan, config, None, simulate=False, out=out)
    lines = out.getvalue().splitlines()
    assert [ln for ln in lines if ln.startswith("[corvane recovery ")] == [
        "[corvane recovery drain] drained", "[corvane recovery restart] resuming",
        "[corvane recovery restart] oops", "[corvane recovery restart] tail"]
    failures = [ln for ln in lines if "failed" in ln]
    assert failures == [f"[corvane] {result.summary}"]
    assert result.status == "failed" and result.summary.startswith("Recovery failed for vm: ")
    assert "restart step" in result.summary and result.summary.endswith("exited with status 3")
    assert result.steps[1].returncode == 3 and "resuming" in result.steps[1].output


def test_live_step_that_outlives_its_time_is_ended(tmp_path):
    pidfile = tmp_path / "pid"
    plan, config = _live_plan(tmp_path, "auto", f"sleep 60 & echo $! > {pidfile}; wait")
    result = recovery.execute_recovery(plan, config, None, simulate=False, timeout=0.5,
                                       out=io.StringIO())
    assert result.status == "failed" and result.summary.endswith("timed out after 0.5 s")
    assert result.steps[0].timed_out and result.steps[0].returncode == 124
    # Killed with its group: gone once the kernel has delivered the signal.
    pid, deadline = int(pidfile.read_text()), time.monotonic() + 10
    while alive(pid) and time.monotonic() < deadline:
        time.sleep(0.01)
    assert not alive(pid)


@pytest.mark.parametrize("typed, expected", [
    (b"y\n", True), (b"YES\n", True), (b"\n", False), (b"n\n", False), (b"sure\n", False),
    (b"", False),  # no answer in time
])
def test_question_on_a_terminal(typed, expected):
    master, slave = os.openpty()
    try:
        os.write(master, typed)
        out = io.StringIO()
        with os.fdopen(os.dup(slave), "rb", buffering=0) as tty:
            answer = recovery.ask_on_terminal("run it?", stdin=tty, out=out, timeout=0.3)
        assert answer is expected
        assert out.getvalue().startswith("run it? [y/N] (no answer in 0.3 s is no): ")
    finally:
        os.close(master)
        os.close(slave)


def test_a_stop_signal_at_the_question_answers_no():
    received = []

    def own_handler(signum, frame):
        received.append(signum)

    def stop_once_asking():
        # The question has its own handler in place once it waits for the answer.
        deadline = time.monotonic() + 10
        while signal.getsignal(signal.SIGTERM) is own_handler and time.monotonic() < deadline:
            time.sleep(0.01)
        os.kill(os.getpid(), signal.SIGTERM)

    previous = signal.signal(signal.SIGTERM, own_handler)
    master, slave = os.openpty()
    try:
        sender = threading.Thread(target=stop_once_asking)
        sender.start()
        with os.fdopen(os.dup(slave), "rb", buffering=0) as tty:
            answer = recovery.ask_on_terminal("run it?", stdin=tty, out=io.StringIO(), timeout=30)
        sender.join()
    finally:
        signal.signal(signal.SIGTERM, previous)
        os.close(master)
        os.close(slave)
    assert answer is False and received == [signal.SIGTERM]  # the process's own handler ran too


@pytest.mark.parametrize("triggers, returncode, wanted", [
    (["training_hang"], 0, False),
    (["output_stall", "training_hang"], 0, False),
    (["filesystem_lost"], 0, False),
    (["training_hang", "xid_critical"], 0, True),
    (["metric_disappearance"], 0, True),
    (["training_hang"], 1, True),
    (["training_hang"], -9, True),
    (["training_hang"], None, True),  # still running
])
def test_recovery_wanted(triggers, returncode, wanted):
    assert recovery.recovery_wanted(triggers, returncode) is wanted


def test_monitored_job_in_confirm_mode_without_a_terminal_is_not_rerun(tmp_path, fake_path,
                                                                      monkeypatch, capfd):
    from corvane.monitor import monitoring as m
    from runner_helpers import RecordingRegistry, fast_config, script

    monkeypatch.setenv("CORVANE_FAKE_SMI_DIR", os.path.join(os.path.dirname(__file__),
                                                            "fixtures", "nvidia-smi"))
    monkeypatch.setenv("CORVANE_FAKE_SMI_CASE", "two-gpus")
    monkeypatch.delenv("CORVANE_FAKE_DMESG_FILE", raising=False)
    monkeypatch.setattr(m, "pynvml", None)
    runs = tmp_path / "runs"
    cmd = script(f"""
        import sys
        with open({str(runs)!r}, "a") as fh:
            fh.write("run\\n")
        print("Xid 79 on GPU 3", flush=True)
        sys.exit(3)
    """)
    reg = RecordingRegistry()
    result = m.run_monitored_command(cmd, fast_config(mode="confirm", live_execute=True), reg,
                                     str(tmp_path))
    assert result.recovery.status == "awaiting_confirmation"
    assert runs.read_text() == "run\n"  # the job's command was not run again
    (event,) = reg.named("record_recovery_event")
    assert event[2]["status"] == "awaiting_confirmation"
    assert "awaits confirmation" in capfd.readouterr().out
