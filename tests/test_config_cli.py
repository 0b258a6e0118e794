import json

import pytest

from corvane import cli
from corvane.config import DEFAULT_CONFIG, ConfigError, load_config
from corvane.trust.registry import TrustRegistry


def test_defaults_hold_every_key_the_monitor_reads():
    cfg = load_config()
    assert cfg == DEFAULT_CONFIG and cfg is not DEFAULT_CONFIG
    for section, key in [("monitor", "poll_interval"), ("monitor", "hang_detection_timeout"),
                         ("thermal", "warn"), ("thermal", "critical"), ("ecc", "sbe_rate_warn"),
                         ("recovery", "mode")]:
        assert key in cfg[section]


def test_file_overrides_key_by_key(tmp_path):
    path = tmp_path / "c.toml"
    path.write_text('[monitor]\npoll_interval = "1s"\n[cluster.slurm]\npartition = "a100"\n')
    cfg = load_config(path)
    assert cfg["monitor"]["poll_interval"] == "1s"
    assert cfg["monitor"]["hang_detection_timeout"] == DEFAULT_CONFIG["monitor"]["hang_detection_timeout"]
    assert cfg["cluster"]["slurm"] == {**DEFAULT_CONFIG["cluster"]["slurm"], "partition": "a100"}
    jpath = tmp_path / "c.json"
    jpath.write_text(json.dumps({"thermal": {"warn": 80}}))
    assert load_config(jpath)["thermal"] == {"warn": 80, "critical": 95}


@pytest.mark.parametrize("name, text", [("bad.toml", "[monitor"), ("bad.json", "[1]"),
                                        ("missing.toml", None)])
def test_bad_files_are_clear_errors(tmp_path, name, text):
    path = tmp_path / name
    if text is not None:
        path.write_text(text)
    with pytest.raises(ConfigError, match=name):
        load_config(path)


def test_findings_command(tmp_path, capsys):
    path = tmp_path / "r.sqlite3"
    assert cli.main(["findings", "--registry", str(path)]) == 0
    assert "no jobs recorded" in capsys.readouterr().out
    reg = TrustRegistry(path)
    reg.start_job("job-1", "python train.py", {})
    reg.record_event(node_id="n", job_id="job-1", event_type="output_stall", severity="WARN",
                     summary="quiet", details={})
    reg.finish_job("job-1", "completed", ["n"])
    assert cli.main(["findings", "--registry", str(path)]) == 0
    out = capsys.readouterr().out
    assert "job-1" in out and "output_stall" in out and "completed" in out
    assert cli.main(["findings", "--registry", str(path), "--job", "job-2"]) == 1


def test_config_command_reports_bad_file(tmp_path, capsys):
    assert cli.main(["config", "--config", str(tmp_path / "none.toml")]) == 2
    assert "cannot read configuration" in capsys.readouterr().err


def test_profile_command(tmp_path, capsys, empty_path):
    assert cli.main(["profile", "NVIDIA H100 80GB HBM3"]) == 0
    assert capsys.readouterr().out.startswith("GPU: NVIDIA H100 80GB HBM3 (detected profile: H100 SXM)")
    cfg = tmp_path / "c.toml"
    cfg.write_text('[cluster.baselines."h100 sxm"]\nreference_tflops_expected = 450.0\n')
    assert cli.main(["profile", "NVIDIA H100 80GB HBM3", "--config", str(cfg)]) == 0
    assert "Reference target: 450 TFLOPS" in capsys.readouterr().out
    assert cli.main(["profile"]) == 0  # no GPU tool on PATH: the generic profile
    assert capsys.readouterr().out.startswith("GPU: generic (detected profile: generic)")


def test_profile_command_uses_the_detected_gpu(fake_path, shared_fixtures, monkeypatch, capsys):
    monkeypatch.setenv("CORVANE_FAKE_SMI_DIR", str(shared_fixtures / "nvidia-smi"))
    monkeypatch.setenv("CORVANE_FAKE_SMI_NAME", "NVIDIA L40S")
    assert cli.main(["profile"]) == 0
    assert "(detected profile: L40S)" in capsys.readouterr().out


def test_monitor_module_carries_the_baselines():
    from corvane.monitor import monitoring
    from corvane.trust import baselines

    assert monitoring.GPUProfile is baselines.GPUProfile
    assert monitoring.detect_gpu_profile("NVIDIA A10").name == "A10"
