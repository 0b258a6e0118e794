import pytest

from corvane.monitor import monitoring as m

SLURM = {"cluster": {"scheduler": "slurm"}}


def test_default_prefix(fake_path):
    cmd = ["./train", "--epochs", "1"]
    assert m._maybe_wrap_srun(cmd, SLURM) == ["srun", "--partition", "gpu", "./train", "--epochs", "1"]
    assert m._maybe_wrap_srun([], SLURM) == ["srun", "--partition", "gpu"]


def test_prefix_from_configuration(fake_path):
    cfg = {"cluster": {"scheduler": "slurm", "slurm": {
        "partition": "a100", "gpus_per_node": 8, "account": "ml", "qos": "",
        "constraint": "nvlink", "extra_args": ("--exclusive",)}}}
    assert m._maybe_wrap_srun(["python", "t.py"], cfg) == [
        "srun", "--partition", "a100", "--gpus", "8", "--account", "ml", "--constraint", "nvlink",
        "--exclusive", "python", "t.py"]


@pytest.mark.parametrize("config", [{}, {"cluster": {}}, {"cluster": {"scheduler": "Slurm"}},
                                    {"cluster": {"scheduler": "none"}}])
def test_not_a_slurm_cluster(fake_path, config):
    cmd = ["python"]
    assert m._maybe_wrap_srun(cmd, config) is cmd


def test_already_wrapped_and_srun_missing(fake_path, empty_path):
    cmd = ["/usr/bin/srun", "python"]
    assert m._maybe_wrap_srun(cmd, SLURM) is cmd
    cmd = ["python"]
    assert m._maybe_wrap_srun(cmd, SLURM) is cmd  # empty_path came last: no srun anywhere


def test_srun_is_looked_up_at_call_time(monkeypatch, fake_path, empty_path):
    cmd = ["python"]
    assert m._maybe_wrap_srun(cmd, SLURM) is cmd
    monkeypatch.setenv("PATH", str(fake_path))
    assert m._maybe_wrap_srun(cmd, SLURM)[0] == "srun"


@pytest.mark.parametrize("config, error", [
    ({"cluster": ["slurm"]}, AttributeError),
    ({"cluster": {"scheduler": "slurm", "slurm": "gpu"}}, AttributeError),
    ({"cluster": {"scheduler": "slurm", "slurm": {"extra_args": 5}}}, TypeError),
])
def test_bad_entries(fake_path, config, error):
    with pytest.raises(error):
        m._maybe_wrap_srun(["python"], config)


@pytest.mark.parametrize("args", [("python", SLURM), (["python"], "cfg"), ([1], SLURM)])
def test_wrong_types(fake_path, args):
    with pytest.raises(TypeError):
        if isinstance(args[0], list) and args[0] and not isinstance(args[0][0], str):
            m._command_is_slurm_wrapped(args[0])
        else:
            m._maybe_wrap_srun(*args)
