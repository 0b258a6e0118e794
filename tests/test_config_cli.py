import copy
import json
import re
import subprocess
import sys
from pathlib import Path

import pytest

from corvane import cli
from corvane.config import DEFAULT_CONFIG, ConfigError, load_config, validate_config
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


def test_findings_command(tmp_path, capsys, empty_path, monkeypatch):
    path = tmp_path / "r.sqlite3"
    assert cli.main(["findings", "--registry", str(path)]) == 1  # nothing there, nothing made
    assert "no registry at" in capsys.readouterr().err and not path.exists()
    reg = TrustRegistry(path)
    assert cli.main(["findings", "--registry", str(path)]) == 0
    assert "no jobs recorded" in capsys.readouterr().out
    reg.start_job("job-1", "python train.py", {})
    reg.record_event(node_id="n", job_id="job-1", event_type="output_stall", severity="WARN",
                     summary="quiet", details={})
    reg.finish_job("job-1", "completed", ["n"])
    assert cli.main(["findings", "--registry", str(path)]) == 0
    out = capsys.readouterr().out
    assert "job-1" in out and "output_stall" in out and "completed" in out
    assert cli.main(["findings", "--registry", str(path), "--job", "job-2"]) == 1
    # The monitor's closing line is a command that works as typed, from anywhere.
    monkeypatch.chdir(tmp_path)
    capsys.readouterr()
    assert cli.main(["monitor", "--registry", "r.sqlite3", "--", sys.executable, "-c", ""]) == 0
    assert capsys.readouterr().out.splitlines()[-1].endswith(f" --registry {path}")


def test_config_command_reports_bad_file(tmp_path, capsys):
    assert cli.main(["config", "--config", str(tmp_path / "none.toml")]) == 2
    assert "cannot read configuration" in capsys.readouterr().err
    # What --format toml prints is a file that reads back as the same configuration.
    source = tmp_path / "c.toml"
    source.write_text('[cluster.baselines."h100 sxm"]\nreference_tflops_expected = 450.0\n'
                      '[cluster.slurm]\nextra_args = ["--comment=a \\"b\\""]\n')
    assert cli.main(["config", "--config", str(source), "--format", "toml"]) == 0
    (tmp_path / "out.toml").write_text(capsys.readouterr().out)
    assert cli.main(["config", "--config", str(source)]) == 0
    first = capsys.readouterr().out
    assert cli.main(["config", "--config", str(tmp_path / "out.toml")]) == 0
    assert capsys.readouterr().out == first and first.endswith("}\n")


def test_profile_command(tmp_path, capsys, empty_path):
    assert cli.main(["profile", "NVIDIA H100 80GB HBM3"]) == 0
    assert capsys.readouterr().out.startswith("GPU: NVIDIA H100 80GB HBM3 (detected profile: H100 SXM)")
    cfg = tmp_path / "c.toml"
    cfg.write_text('[cluster.baselines."h100 sxm"]\nreference_tflops_expected = 450.0\n')
    assert cli.main(["profile", "NVIDIA H100 80GB HBM3", "--config", str(cfg)]) == 0
    assert "Reference target: 450 TFLOPS" in capsys.readouterr().out
    assert cli.main(["profile"]) == 0  # no GPU tool on PATH: the generic profile
    assert capsys.readouterr().out.startswith("GPU: generic (detected profile: generic)")
    # Marketplace spellings go through the marketplace's GPU name table; a fallback is said.
    for name, profile, fell_back in [("H100_SXM", "H100 SXM", False),
                                     ("rtx_4090", "RTX 4090", False),
                                     ("Tesla T4", "generic", True)]:
        assert cli.main(["profile", name]) == 0
        out, err = capsys.readouterr()
        assert f"(detected profile: {profile})" in out
        assert ("generic profile stands in" in err) == fell_back


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


# -- validation ----------------------------------------------------------------------------

REPO = Path(__file__).resolve().parent.parent


def _path(dotted: str) -> list:
    return [seg.strip("'") for seg in re.findall(r"'[^']*'|[^.]+", dotted)]


def _with(dotted: str, value) -> dict:
    cfg = copy.deepcopy(DEFAULT_CONFIG)
    *parents, last = _path(dotted)
    node = cfg
    for key in parents:
        node = node.setdefault(key, {})
    node[last] = value
    return cfg


BAD = [
    ("monitor", "fast"),
    ("monitor.on_hang", "kill"),
    ("monitor.warmup_steps", -1),
    ("monitor.straggler_min_gap_s", -0.1),
    ("monitor.loss_spike_ratio", 1),
    ("monitor.repeat_after", "later"),
    ("monitor.poll_interval", "soon"),
    ("monitor.poll_interval", "0s"),
    ("monitor.poll_interval", True),
    ("monitor.hang_detection_timeout", "9" * 400),  # parses to infinity
    ("monitor.hang_detection_timeout", "10000000h"),  # beyond what a wait accepts
    ("monitor.hang_detection_grace", [1]),
    ("monitor.stop_grace", "0ms"),
    ("monitor.stop_grace", "later"),
    ("monitor.max_output_lines", 0),
    ("monitor.max_output_lines", "100"),
    ("monitor.max_output_lines", True),
    ("monitor.structural_monitoring", "false"),
    ("monitor.rank_divergence_threshold", float("nan")),
    ("monitor.rank_straggler_threshold", "0.1"),
    ("monitor.nvlink", 5),
    ("monitor.nvlink.crc_rate_per_sec_critical", float("inf")),
    ("monitor.pcie.replay_rate_per_min_critical", None),
    ("thermal.warn", "85"),
    ("thermal.critical", True),
    ("ecc.sbe_rate_warn", 10**400),
    ("cluster.gpu_type", 5),
    ("cluster.scheduler", ["slurm"]),
    ("cluster.slurm", []),
    ("cluster.slurm.partition", 3),
    ("cluster.slurm.gpus_per_node", 8.0),
    ("cluster.slurm.gpus_per_node", -1),
    ("cluster.slurm.qos", None),
    ("cluster.slurm.extra_args", "--exclusive"),
    ("cluster.slurm.extra_args", ["--exclusive", 1]),
    ("cluster.baselines", [1]),
    ("cluster.baselines.'h100 sxm'", 5),
    ("cluster.baselines.'h100 sxm'.reference_tflops_expected", "450"),
    ("cluster.baselines.'h100 sxm'.tdp_watts", True),
    ("cluster.baselines.'h100 sxm'.tdp_wats", 650.0),
    ("cluster.baselines.'h100 sxm'.has_ecc", "yes"),
    ("recovery.enabled", "no"),
    ("recovery.live_execute", "maybe"),
    ("recovery.mode", 1),
    ("recovery.drain_command", "echo {nosuch}"),
    ("recovery.drain_command", 5),
    ("recovery.restart_command", "run {0}"),
    ("recovery.restart_command", "run {node.upper}"),
    ("recovery.restart_command", "run {node"),
    ("recovery.restart_command", "run {node:d}"),
    ("recovery.restart_command", "run {node:{width}}"),
    ("recovery.replacement_node", 5),
    ("cost.gpu_count", 0),
    ("cost.gpu_hourly_usd", -1.0),
    # Numbers out of range: sizes past 64 bits, negative thresholds and rates.
    ("monitor.max_output_lines", 2**63),
    ("cost.gpu_count", 2**63),
    ("cluster.slurm.gpus_per_node", 2**31),
    ("monitor.rank_divergence_threshold", -3),
    ("monitor.rank_straggler_threshold", 0),
    ("monitor.nvlink.error_rate_per_min_critical", -1),
    ("ecc.sbe_rate_warn", -0.5),
    ("thermal.warn", -1),
    ("cluster.baselines.'h100 sxm'.tdp_watts", -650),
    ("cluster.baselines.'h100 sxm'.matmul_size", 2**64),
    # A placeholder where a value could become shell syntax.
    ("recovery.restart_command", 'echo RESTART "{checkpoint}"'),
    ("recovery.restart_command", "echo '{checkpoint}'"),
    ("recovery.restart_command", 'sh -c "$(echo {command})"'),
    ("recovery.restart_command", "cat <<EOF\n{checkpoint}\nEOF"),
    ("recovery.restart_command", "echo ${X:-{checkpoint}}"),
    ("recovery.drain_command", "echo `cat {node}`"),
    ("recovery.drain_command", "echo \\{node}"),
    ("recovery.drain_command", "scontrol update Reason={reason!r}"),
]


@pytest.mark.parametrize("dotted, value", BAD)
def test_invalid_values_name_their_key(dotted, value):
    with pytest.raises(ConfigError) as info:
        validate_config(_with(dotted, value))
    message = str(info.value)
    assert message.startswith(dotted + ":") and re.search(r"(?<!\w)expected ", message)
    assert "\n" not in message


@pytest.mark.parametrize("dotted, value", [
    ("monitor.poll_interval", 2), ("monitor.poll_interval", "250ms"),
    ("monitor.hang_detection_grace", "0s"), ("monitor.max_output_lines", None),
    ("monitor.on_hang", "stop"), ("monitor.repeat_after", "0s"), ("monitor.warmup_steps", 0),
    ("monitor.max_output_lines", 1), ("thermal.warn", 80.5),
    ("recovery.live_execute", "yes"), ("recovery.mode", "plan"),
    ("recovery.drain_command", "scontrol update NodeName={node} Reason={reason} {{x}}"),
    ("recovery.restart_command", "{command} --resume={checkpoint} $(echo {node}) # {job_id}"),
    ("recovery.restart_command", "echo \"it's\" '\"' {checkpoint}"),
    ("cluster.slurm.gpus_per_node", "a100:8"), ("cluster.slurm.extra_args", ["--exclusive"]),
    ("cluster.gpu_type", "NVIDIA H100 80GB HBM3"),
    ("cluster.baselines.'h100 sxm'.has_ecc", None),
    ("cluster.baselines.hbm3", {"tdp_watts": 650, "reference_tflops_expected": 450.0}),
    ("cost.gpu_hourly_usd", 2.5),
])
def test_values_in_range_pass(dotted, value):
    assert validate_config(_with(dotted, value)) == []


@pytest.mark.parametrize("dotted, hint", [
    ("monitr", "did you mean monitor?"),
    ("monitor.poll_intervall", "did you mean monitor.poll_interval?"),
    ("cluster.slurm.partitions", "did you mean cluster.slurm.partition?"),
    ("cluster.baselines.x.name", "cannot be overridden"),
    ("zzz", None),
])
def test_unknown_keys_give_one_warning(dotted, hint):
    warnings = validate_config(_with(dotted, {} if dotted in ("monitr", "zzz") else "X"))
    assert len(warnings) == 1 and dotted in warnings[0]
    assert hint is None or hint in warnings[0]


def test_load_config_prints_each_warning_once_and_keeps_going(tmp_path, capsys):
    path = tmp_path / "c.toml"
    path.write_text('[monitr]\npoll_interval = "1s"\n[monitor]\npoll_interval = "2s"\n')
    cfg = load_config(path)
    assert cfg["monitor"]["poll_interval"] == "2s" and "monitr" in cfg
    lines = capsys.readouterr().err.splitlines()
    assert len(lines) == 1 and lines[0].startswith("corvane: warning: ") and "monitr" in lines[0]


@pytest.mark.parametrize("path", [None, *sorted((REPO / "examples").glob("*.toml"))],
                         ids=lambda p: "defaults" if p is None else p.name)
def test_shipped_configurations_are_clean(path, capsys):
    assert validate_config(load_config(path)) == []
    assert capsys.readouterr().err == ""


BAD_FILES = [
    ("bad.toml", '[recovery]\ndrain_command = "echo {nosuch}"\n', "{nosuch}"),
    ("big.toml", "[monitor]\nmax_output_lines = 9223372036854775808\n", "max_output_lines"),
    ("deep.toml", "a = " + "[" * 100000 + "]" * 100000 + "\n", "nested more than 32"),
    ("deep.json", "[" * 5000 + "]" * 5000, "nested more than 32"),
    ("nested.json", '{"a": ' * 40 + "1" + "}" * 40, "nested more than 32"),
]


@pytest.mark.parametrize("command", ["config", "profile"])
@pytest.mark.parametrize("name, content, text", BAD_FILES, ids=[f[0] for f in BAD_FILES])
def test_commands_reject_a_bad_file_in_one_line(tmp_path, capsys, command, name, content, text):
    path = tmp_path / name
    path.write_text(content)
    argv = [command, "--config", str(path)] + (["NVIDIA A10"] if command == "profile" else [])
    assert cli.main(argv) == 2
    captured = capsys.readouterr()
    assert captured.out == ""
    lines = captured.err.splitlines()
    assert len(lines) == 1 and text in lines[0]


def test_monitor_rejects_a_bad_file_before_the_job_starts(tmp_path, capsys):
    path = tmp_path / "bad.toml"
    path.write_text('[cluster.slurm]\nextra_args = "--exclusive"\n')
    marker = tmp_path / "ran"
    argv = ["monitor", "--config", str(path), "--registry", str(tmp_path / "r.sqlite3"),
            "--checkpoint-dir", str(tmp_path / "ck"), "--",
            sys.executable, "-c", f"open({str(marker)!r}, 'w')"]
    assert cli.main(argv) == 2
    assert len(capsys.readouterr().err.splitlines()) == 1
    assert not marker.exists() and not (tmp_path / "ck").exists()


@pytest.mark.parametrize("value", ['"450"', "[1]", "{a=1}"])
def test_profile_with_a_non_number_override_is_an_error_not_a_crash(tmp_path, value):
    path = tmp_path / "c.toml"
    path.write_text(f'[cluster.baselines."h100 sxm"]\nreference_tflops_expected = {value}\n')
    proc = subprocess.run([sys.executable, "-m", "corvane", "profile", "NVIDIA H100 80GB HBM3",
                           "--config", str(path)], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 2, proc.stderr
    lines = proc.stderr.splitlines()
    assert len(lines) == 1
    assert "cluster.baselines.'h100 sxm'.reference_tflops_expected" in lines[0]
    assert proc.stdout == ""


@pytest.mark.parametrize("dotted, value", [
    ("recovery.drain_command", "echo {nosuch}"),
    ("cluster.slurm.extra_args", "--exclusive"),
    ("monitor.stop_grace", "0s"),
    ("cluster.baselines.'h100 sxm'.reference_tflops_expected", "450"),
])
def test_runner_refuses_an_invalid_configuration_before_the_child(tmp_path, dotted, value):
    from corvane.monitor import monitoring

    from runner_helpers import RecordingRegistry

    marker = tmp_path / "ran"
    registry = RecordingRegistry()
    with pytest.raises(ValueError, match=re.escape(dotted)):
        monitoring.run_monitored_command(
            [sys.executable, "-c", f"open({str(marker)!r}, 'w')"], _with(dotted, value),
            registry, str(tmp_path / "ck"))
    assert registry.calls == [] and not marker.exists()


def test_the_readme_documents_every_configuration_key():
    from corvane.config import DEFAULT_CONFIG

    def keys(d, prefix=""):
        for k, v in d.items():
            yield from keys(v, f"{prefix}{k}.") if isinstance(v, dict) and v else [prefix + k]

    readme = (Path(__file__).resolve().parent.parent / "README.md").read_text()
    documented = set(re.findall(r"^\| `([a-z_.]+)` \| `(.*?)` \|", readme, re.M))
    assert {(k, json.dumps(v)) for k, v in
            ((k, _get(DEFAULT_CONFIG, k)) for k in keys(DEFAULT_CONFIG))} <= documented


def _get(config, dotted):
    for part in dotted.split("."):
        config = config[part]
    return config
