"""Texts from outside (job output, hook reports, file names, the environment) reach neither
a terminal nor a shell as anything but text, and are recorded as they came."""

import io
import json
import shlex
import sys

import pytest

from corvane import cli
from corvane.health import recovery
from corvane.monitor.monitoring import MonitorFinding
from corvane.trust.registry import TrustRegistry
from corvane.ui.display import format_finding

HOSTILE = [
    "\x1b]0;owned\x07\x1b[2J\x1b[31mred",  # retitle, clear the screen, colour
    "phase\x9b31m\r\bover\x7f",  # C1 CSI, carriage return, backspace, DEL
    "ckpt-$(touch pwned)-`touch pwned`",
    "x'; touch pwned; echo '",
    'x" && touch pwned && echo "',
    "line\nbreak\u2028\u202eevil",  # line breaks and a right-to-left override
]


def _shown_safely(text: str) -> bool:
    return all(line.isprintable() for line in text.split("\n"))


@pytest.mark.parametrize("hostile", HOSTILE)
def test_hostile_text_is_shown_escaped_and_never_run(tmp_path, monkeypatch, capsys, hostile):
    # Live: a finding whose summary, type and phase came from a hook report.
    finding = MonitorFinding(hostile, "WARN", f"Rank 2 is slow in {hostile}",
                             {"rank": 2, "phase": hostile})
    assert _shown_safely(format_finding(finding, timestamp="t"))

    # Recovery: a checkpoint file, the job's command and the node id all hostile, run live.
    monkeypatch.chdir(tmp_path)
    checkpoint = tmp_path / f"{hostile}.pt"
    checkpoint.write_bytes(b"x")
    argv = [sys.executable, "-c", "import json, sys; print(json.dumps(sys.argv[1:]))", hostile]
    config = {"recovery": {"mode": "auto", "live_execute": True,
                           "drain_command": "echo {node} {reason}",
                           "restart_command": "{command} --resume={checkpoint} {node}"}}
    plan = recovery.build_recovery_plan(config, job_id="j", node_id=hostile,
                                        command=shlex.join(argv), checkpoint_dir=tmp_path,
                                        failed_triggers=["xid_critical"])
    out = io.StringIO()
    result = recovery.execute_recovery(plan, config, None, simulate=False, out=out)
    assert result.status == "executed" and not (tmp_path / "pwned").exists()
    assert json.loads(result.steps[1].output) == [hostile, f"--resume={checkpoint}", hostile]
    assert _shown_safely(out.getvalue() + recovery.describe_plan(plan))

    # From the registry: recorded as it came, shown escaped.
    path = tmp_path / "r.sqlite3"
    registry = TrustRegistry(path)
    registry.start_job("job-1", hostile, {})
    registry.record_event(node_id=hostile, job_id="job-1", event_type=hostile, severity="WARN",
                          summary=hostile)
    registry.record_recovery_event(job_id="job-1", node_id=hostile, mode="auto",
                                   status="executed", summary=hostile, plan={})
    assert registry.events("job-1")[0]["summary"] == hostile
    capsys.readouterr()
    assert cli.main(["findings", "--registry", str(path)]) == 0
    assert cli.main(["jobs", "--registry", str(path)]) == 0
    shown = capsys.readouterr().out
    assert _shown_safely(shown) and (hostile.isprintable() or "\\" in shown)


def test_monitor_shows_the_node_id_and_checkpoint_names_escaped(tmp_path, monkeypatch, capsys,
                                                                 fake_path):
    node = HOSTILE[0]
    monkeypatch.setenv("CORVANE_NODE_ID", node)
    ck = tmp_path / "ck"
    ck.mkdir()
    (ck / f"{HOSTILE[1]}.pt").write_bytes(b"x")
    path, config = tmp_path / "r.sqlite3", tmp_path / "c.toml"
    config.write_text('[recovery]\nrestart_command = "{command} --resume {checkpoint}"\n')
    status = cli.main(["monitor", "--registry", str(path), "--checkpoint-dir", str(ck),
                       "--config", str(config), "--", sys.executable, "-c",
                       "print('Xid 79 on GPU 3')"])
    out = capsys.readouterr().out
    assert status == 0 and "xid_critical" in out and "Would run" in out
    assert _shown_safely(out) and "\\x1b]0;owned" in out and "\\x9b31m" in out
    assert TrustRegistry(path).jobs()[0]["node_ids"] == [node]  # recorded as it came
