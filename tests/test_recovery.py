import os
import time

import pytest

from corvane.health import recovery, remediation


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
