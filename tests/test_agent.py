"""`corvane agent` on its own, and its findings merged into a job's by the monitor (with a
stand-in for the Slurm step; tests/test_slurm_cluster.py runs the real one)."""

import json
import os
import signal
import subprocess
import threading
import time

import pytest

from corvane.agent_step import AgentStep, agent_targets, parse_agent_line, unwatched_nodes_line
from corvane.monitor import monitoring as m
from corvane.trust.registry import TrustRegistry
from runner_helpers import PY, Bridge, RecordingRegistry, fast_config, script, wait_for

HOT_GPU = {"gpus": [{"name": "NVIDIA H100 80GB HBM3", "pci_bus_id": "00000000:3B:00.0",
                     "readings": {"temperature_c": 50, "util_gpu": 90}}],
           "rules": [{"gpu": 0, "set": {"temperature_c": 97}, "after_polls": 1}]}


@pytest.fixture
def agent_env(empty_path, tmp_path):
    """No GPU tools: one synthetic H100 that overheats at its second poll, a 1 s poll."""
    rules = tmp_path / "rules.json"
    rules.write_text(json.dumps(HOT_GPU))
    config = tmp_path / "agent.toml"
    config.write_text('[monitor]\npoll_interval = "1s"\n')
    env = {k: v for k, v in os.environ.items() if not k.startswith(("SLURM", "CORVANE_"))}
    env.update(PATH=str(empty_path), CORVANE_INJECT="1", CORVANE_INJECT_RULES=str(rules),
               CORVANE_NODE_ID="node-7", PYTHONUNBUFFERED="1")
    return env, str(config)


class Agent:
    """A `corvane agent` process whose stdout lines are collected as they come."""

    def __init__(self, args, env):
        self.proc = subprocess.Popen([PY, "-m", "corvane", "agent", *args], env=env,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True)
        self.lines = []
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.append(line.rstrip("\n"))

    def wait_for_line(self, text, seconds=20):
        assert wait_for(lambda: any(text in line for line in self.lines), seconds), \
            (self.lines, self.proc.poll())

    def end(self, how):
        if how == "stdin":
            self.proc.stdin.close()
        else:
            self.proc.send_signal(how)
        try:
            code = self.proc.wait(10)
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()
        self.reader.join(5)
        return code


@pytest.mark.parametrize("how", ["stdin", signal.SIGTERM, signal.SIGINT])
def test_agent_prints_findings_as_json_lines_until_stopped(agent_env, how):
    env, config = agent_env
    args = ["--config", config] + (["--stdin-eof"] if how == "stdin" else [])
    agent = Agent(args, env)
    agent.wait_for_line('"thermal_warning"')
    assert agent.end(how) == 0
    records = [json.loads(line) for line in agent.lines]
    assert all(list(r) == ["node", "time", "event_type", "severity", "summary", "details"]
               for r in records)
    assert records[0]["event_type"] == "agent_started" and records[0]["node"] == "node-7"
    hot = [r for r in records if r["event_type"] == "thermal_warning"]
    assert [(r["node"], r["severity"], r["summary"]) for r in hot] == [
        ("node-7", "CRITICAL", "GPU 0 temperature reached 97.0C")]
    assert hot[0]["details"]["injected"] is True and hot[0]["details"]["gpu_index"] == 0
    assert records[0]["time"] <= hot[0]["time"]


def test_agent_without_stdin_eof_outlives_its_input(agent_env):
    env, config = agent_env
    agent = Agent(["--config", config], env)
    agent.wait_for_line("agent_started")
    agent.proc.stdin.close()
    agent.wait_for_line('"thermal_warning"')  # still watching after stdin closed
    assert agent.proc.poll() is None
    assert agent.end(signal.SIGTERM) == 0


def test_agent_text_format_and_registry(agent_env, tmp_path):
    env, config = agent_env
    registry = tmp_path / "agent.sqlite3"
    agent = Agent(["--config", config, "--format", "text", "--registry", str(registry),
                   "--stdin-eof"], env)
    agent.wait_for_line("thermal_warning")
    assert agent.end("stdin") == 0
    assert agent.lines[0] == "node-7: corvane agent watching node-7"
    hot = [line for line in agent.lines if "thermal_warning" in line]
    assert len(hot) == 1 and hot[0].startswith("node-7: [corvane ")
    assert "CRITICAL thermal_warning: GPU 0 temperature reached 97.0C [GPU 0]" in hot[0]
    reg = TrustRegistry(registry, create=False)
    (job,) = reg.jobs()
    assert job["metadata"] == {"kind": "agent", "node_id": "node-7"}
    assert job["status"] == "completed" and job["node_ids"] == ["node-7"]
    events = reg.events(job["job_id"])
    assert ("node-7", "thermal_warning", "CRITICAL") in {
        (e["node_id"], e["event_type"], e["severity"]) for e in events}


def test_agent_exports_its_node_to_prometheus(agent_env, tmp_path):
    from prometheus_client.parser import text_string_to_metric_families

    env, config = agent_env
    textfile = tmp_path / "prom" / "corvane.prom"
    textfile.parent.mkdir()

    def value(name, **labels):
        text = textfile.read_text() if textfile.exists() else ""
        found = [s.value for f in text_string_to_metric_families(text) for s in f.samples
                 if s.name == name and all(s.labels.get(k) == v for k, v in labels.items())]
        return found[0] if found else None

    agent = Agent(["--config", config, "--stdin-eof", "--prometheus-textfile",
                   str(textfile.parent), "--prometheus-port", "0"], env)
    agent.wait_for_line('"thermal_warning"')
    # Standard output holds only findings; the exporter's address is said on stderr.
    assert all(line.startswith("{") for line in agent.lines)
    assert wait_for(lambda: value("corvane_findings_total", node="node-7",
                                  event_type="thermal_warning", severity="CRITICAL") == 1, 10)
    assert value("corvane_gpu_temperature_celsius", node="node-7", gpu="0") == 97.0
    assert value("corvane_telemetry_up", node="node-7") == 1
    assert agent.end("stdin") == 0
    assert "Prometheus metrics at http://127.0.0.1:" in agent.proc.stderr.read()
    assert value("corvane_job_running", node="node-7") == 0


def test_agent_takes_the_monitors_configuration(agent_env):
    env, _ = agent_env
    config = json.loads(json.dumps(fast_config()))
    config["thermal"]["critical"] = 99  # 97C is then only a warning
    env = dict(env, CORVANE_AGENT_CONFIG=json.dumps(config))
    agent = Agent(["--stdin-eof"], env)
    agent.wait_for_line('"thermal_warning"')
    assert agent.end("stdin") == 0
    hot = [json.loads(line) for line in agent.lines if "thermal_warning" in line]
    assert [r["severity"] for r in hot] == ["WARN"]


@pytest.mark.parametrize("passed, words", [("{nope", "not valid JSON"),
                                           ("[1]", "not a table"),
                                           ('{"thermal": {"warn": "hot"}}', "thermal.warn")])
def test_agent_refuses_a_bad_passed_configuration(agent_env, passed, words):
    env, _ = agent_env
    out = subprocess.run([PY, "-m", "corvane", "agent"], env=dict(env, CORVANE_AGENT_CONFIG=passed),
                         capture_output=True, text=True, timeout=30, stdin=subprocess.DEVNULL)
    assert out.returncode == 2 and out.stdout == ""
    assert "CORVANE_AGENT_CONFIG" in out.stderr and words in out.stderr


# -- what the monitor reads from the agents ------------------------------------------------

NESTED = json.loads("[" * 20 + "1" + "]" * 20)
GOOD = {"node": "n2", "time": 1.0, "event_type": "thermal_warning", "severity": "CRITICAL",
        "summary": "GPU 0 temperature reached 97.0C", "details": {"gpu_index": 0}}


@pytest.mark.parametrize("line, parsed", [
    (json.dumps(GOOD), ("n2", "thermal_warning", "CRITICAL", "GPU 0 temperature reached 97.0C",
                        {"gpu_index": 0})),
    (json.dumps(dict(GOOD, details=[1])), ("n2", "thermal_warning", "CRITICAL",
                                            "GPU 0 temperature reached 97.0C", {})),
    ("srun: error: n2: task 0: Exited with exit code 1", None),
    ("[1, 2]", None),
    (json.dumps(dict(GOOD, node="")), None),
    (json.dumps(dict(GOOD, node=7)), None),
    (json.dumps(dict(GOOD, severity="FATAL")), None),
    (json.dumps(dict(GOOD, summary=None)), None),
    (json.dumps(dict(GOOD, event_type=["x"])), None),
    (json.dumps(dict(GOOD, summary="x" * 70000)), None),
    ('{"node": "n2", "event_type": "a", "severity": "WARN", "summary": "\\ud800"}',
     ("n2", "a", "WARN", "\ud800", {})),
    ("[" * 30000 + "]" * 30000, None),  # deeper than the parser goes
    (json.dumps(dict(GOOD, details={"a": NESTED})),
     ("n2", "thermal_warning", "CRITICAL", "GPU 0 temperature reached 97.0C", {"a": NESTED})),
])
def test_agent_lines_are_checked(line, parsed):
    assert parse_agent_line(line) == parsed


def test_agent_output_is_read_in_bounded_lines():
    import io

    from corvane.agent_step import MAX_LINE, _lines

    good = json.dumps(GOOD)
    stream = io.BytesIO(b"\n".join([good.encode(), b"x" * (3 * MAX_LINE), b"\xff" + good.encode(),
                                     good.encode()]))
    lines = list(_lines(stream))
    assert len(lines) == 4 and all(len(line) <= MAX_LINE + 2 for line in lines)
    assert [parse_agent_line(line) is not None for line in lines] == [True, False, False, True]


SLURM_CONFIG = {"cluster": {"scheduler": "slurm", "slurm": {}}}


# The last column: whether the monitor says that only its own node is watched.
@pytest.mark.parametrize("config, env, targets, unwatched", [
    (SLURM_CONFIG, {"SLURM_JOB_ID": "5", "SLURM_JOB_NUM_NODES": "3",
                    "SLURMD_NODENAME": "n1"}, ["n2", "n3"], False),
    (SLURM_CONFIG, {"SLURM_JOB_ID": "5", "SLURM_NNODES": "3"}, ["n1", "n2", "n3"], False),
    (SLURM_CONFIG, {"SLURM_JOB_ID": "5", "SLURM_JOB_NUM_NODES": "1"}, None, False),
    (SLURM_CONFIG, {"SLURM_JOB_NUM_NODES": "3"}, None, False),
    (SLURM_CONFIG, {"SLURM_JOB_ID": "5", "SLURM_JOB_NUM_NODES": "x"}, None, False),
    ({"cluster": {"scheduler": "none"}}, {"SLURM_JOB_ID": "5", "SLURM_NNODES": "3"}, None, True),
    ({"cluster": {"scheduler": "none"}}, {"SLURM_JOB_ID": "5", "SLURM_NNODES": "1"}, None, False),
    ({"cluster": {"scheduler": "slurm", "slurm": {"node_agents": False}}},
     {"SLURM_JOB_ID": "5", "SLURM_NNODES": "3"}, None, False),
])
def test_which_nodes_get_an_agent(monkeypatch, config, env, targets, unwatched):
    monkeypatch.setattr("corvane.agent_step.allocation_nodes", lambda environ: ["n1", "n2", "n3"])
    assert agent_targets(config, env) == targets
    line = unwatched_nodes_line(config, env)
    assert (line is not None) == unwatched and (not line or "has 3 nodes; only this" in line)


@pytest.mark.parametrize("key, default, bad", [("node_agents", True, "no"),
                                                ("agent_extra_args", [], "--gpus=8")])
def test_agent_settings_are_checked(key, default, bad):
    from corvane.config import ConfigError, DEFAULT_CONFIG, validate_config

    assert DEFAULT_CONFIG["cluster"]["slurm"][key] == default
    config = json.loads(json.dumps(DEFAULT_CONFIG))
    config["cluster"]["slurm"][key] = bad
    with pytest.raises(ConfigError, match=f"cluster.slurm.{key}"):
        validate_config(config)


# The agent step's stand-in: prints what agents on n2 and n3 would, then either waits for
# its input to close (the job's end) or exits early, as a step whose agents died; n3's
# agent may also stay silent, as one that never started.
STEP = """
import json, sys
def say(node, event_type, severity, summary):
    print(json.dumps({"node": node, "time": 0, "event_type": event_type, "severity": severity,
                      "summary": summary, "details": {"gpu_index": 0}}), flush=True)
say("n2", "agent_started", "INFO", "corvane agent watching n2")
say("n2", "thermal_warning", "CRITICAL", "GPU 0 temperature reached 97.0C")
say("n2", "thermal_warning", "CRITICAL", "GPU 0 temperature reached 97.0C")
if sys.argv[1] != "n3 silent":
    say("n3", "agent_started", "INFO", "corvane agent watching n3")
    say("n3", "thermal_warning", "CRITICAL", "GPU 0 temperature reached 97.0C")
print("not a finding", flush=True)
if sys.argv[1] == "dies":
    print("srun: error: n3: task 1: Killed", file=sys.stderr, flush=True)
    sys.exit(9)
sys.stdin.read()
print("ended", file=sys.stderr, flush=True)
"""


@pytest.fixture
def fake_step(monkeypatch, tmp_path):
    """The runner starts the stand-in step for nodes n2 and n3; what it did is kept."""
    steps = []

    def start(config, findings, lock, **_hooks):
        mode = config["cluster"]["stand_in"]
        step = AgentStep(["n2", "n3"], findings, lock, [PY, "-c", STEP, mode])
        steps.append(step)
        return step

    monkeypatch.setattr(m, "start_agent_step", start)
    monkeypatch.setattr(m, "pynvml", None)
    monkeypatch.setenv("CORVANE_NODE_ID", "n1")
    return steps


def job_config(mode):
    cfg = fast_config()
    cfg["cluster"]["stand_in"] = mode
    return cfg


def test_agent_findings_join_the_jobs_with_their_node(fake_step, empty_path, tmp_path, capfd):
    cmd = script("""
        import time
        time.sleep(1.5)
        print("done", flush=True)
    """)
    registry, bridge = RecordingRegistry(), Bridge(True)
    result = m.run_monitored_command(cmd, job_config("waits"), registry, str(tmp_path),
                                     wandb_bridge=bridge)
    (step,) = fake_step
    assert step.proc.returncode == 0  # its input closed with the job's end
    hot = [(f.node_id, f.severity) for f in result.findings if f.event_type == "thermal_warning"]
    assert hot == [("n2", "CRITICAL"), ("n3", "CRITICAL")]  # once per node
    assert not [f for f in result.findings if f.event_type in ("agent_started",
                                                               "monitor_degraded")]
    events = [(c[2]["node_id"], c[2]["event_type"]) for c in registry.named("record_event")]
    assert ("n2", "thermal_warning") in events and ("n3", "thermal_warning") in events
    assert {c[1][0] for c in registry.named("ensure_node")} == {"n1", "n2", "n3"}
    (finish,) = registry.named("finish_job")
    assert finish[1][2] == ["n1", "n2", "n3"]
    plans = [c[2] for c in registry.named("record_recovery_event")]  # one per node
    assert [(p["node_id"], p["summary"][-6:]) for p in plans] == [("n2", "for n2"),
                                                                 ("n3", "for n3")]
    sent = [(args[0], args[3]) for args, _ in bridge.findings if args[0] == "thermal_warning"]
    fault = {"class": "hardware", "action": "inspect_hardware"}
    assert sent == [("thermal_warning", {"gpu_index": 0, "node": "n2", **fault}),
                    ("thermal_warning", {"gpu_index": 0, "node": "n3", **fault})]
    out = capfd.readouterr().out
    assert "[corvane] starting agents on n2, n3" in out
    assert "[corvane] node n3 is watched by its agent" in out
    assert "thermal_warning: GPU 0 temperature reached 97.0C [node n2; GPU 0]" in out


@pytest.mark.parametrize("cancelled", [False, True])
def test_a_dead_agent_is_reported_once_per_node(fake_step, empty_path, tmp_path, cancelled):
    cmd = script("""
        import sys, time
        time.sleep(2.5)
    """)
    if cancelled:  # as `scancel` does: every step ends and the monitor is told at once
        def cancel():
            while not fake_step or fake_step[0].proc.poll() is None:
                time.sleep(0.01)
            m.request_stop(signal.SIGTERM)

        threading.Thread(target=cancel, daemon=True).start()
    result = m.run_monitored_command(cmd, job_config("dies"), RecordingRegistry(), str(tmp_path))
    degraded = [(f.node_id, f.severity, f.details["source"], f.details["node"])
                for f in result.findings if f.event_type == "monitor_degraded"]
    if cancelled:
        assert degraded == []  # the user's own cancel is no fault of the nodes
        return
    assert sorted(degraded) == [("n2", "WARN", "agent", "n2"), ("n3", "WARN", "agent", "n3")]
    why = {f.node_id: f.summary for f in result.findings if f.event_type == "monitor_degraded"}
    assert "Killed" in why["n3"] and "status 9" in why["n2"]


def test_an_agent_that_never_starts_is_reported_once(fake_step, empty_path, tmp_path,
                                                    monkeypatch):
    monkeypatch.setattr("corvane.agent_step.START_DEADLINE_S", 1.0)
    cmd = script("""
        import time
        time.sleep(3)
    """)
    result = m.run_monitored_command(cmd, job_config("n3 silent"), RecordingRegistry(),
                                     str(tmp_path))
    degraded = [f for f in result.findings if f.event_type == "monitor_degraded"]
    assert [(f.node_id, f.details["source"], f.details["node"]) for f in degraded] == [
        ("n3", "agent", "n3")]
    assert "did not start within 1s" in degraded[0].summary
    assert fake_step[0].proc.returncode == 0  # the step itself ended with the job


def test_a_step_that_cannot_start_leaves_the_job_running(monkeypatch, empty_path, tmp_path):
    monkeypatch.setenv("SLURM_JOB_ID", "5")
    monkeypatch.setenv("SLURM_JOB_NUM_NODES", "2")
    monkeypatch.setenv("SLURMD_NODENAME", "n1")
    monkeypatch.setattr("corvane.agent_step.allocation_nodes", lambda environ: ["n1", "n2"])
    monkeypatch.setattr("corvane.agent_step.agent_command",
                        lambda targets, srun, extra: [str(tmp_path / "no-such-srun")])
    monkeypatch.setattr(m, "pynvml", None)
    cfg = fast_config()
    cfg["cluster"]["scheduler"] = "slurm"
    result = m.run_monitored_command(script("print('ran')"), cfg, RecordingRegistry(),
                                     str(tmp_path))
    assert result.returncode == 0 and result.output_lines == ["ran"]
    (degraded,) = [f for f in result.findings if f.event_type == "monitor_degraded"]
    assert degraded.node_id == "n2" and degraded.details["source"] == "agent"


@pytest.mark.parametrize("switch, nodes, on", [
    ("1", None, True), ("1", "", True), ("yes", "n2", True), ("1", "n1, n2", True),
    ("1", "n1,n3", False), ("0", "n2", False), (None, "n2", False),
])
def test_injection_can_be_limited_to_nodes(monkeypatch, switch, nodes, on):
    from corvane.injection.engine import injection_enabled

    monkeypatch.setenv("CORVANE_NODE_ID", "n2")
    for name, value in (("CORVANE_INJECT", switch), ("CORVANE_INJECT_NODES", nodes)):
        if value is None:
            monkeypatch.delenv(name, raising=False)
        else:
            monkeypatch.setenv(name, value)
    assert injection_enabled() is on


def test_the_agent_passes_on_its_nodes_hook_reports(tmp_path):
    from corvane.agent import HookForwarder

    path = tmp_path / "hooks.jsonl"
    forwarder = HookForwarder(str(path), "n2")
    assert forwarder.lines() == []  # no file yet
    mine = '{"rank": 2, "step": 1, "node": "n2"}'
    with open(path, "w") as fh:  # another node's report, garbage, a report cut short
        fh.write('{"rank": 0, "step": 1, "node": "n1"}\nnot json\n' + mine + "\n" + mine[:9])
    assert [json.loads(line) for line in forwarder.lines()] == [{"node": "n2", "hook": mine}]
    with open(path, "a") as fh:  # the rest of the cut report, then one too long to pass on
        fh.write(mine[9:] + "\n" + '{"node": "n2", "x": "' + "y" * 40000 + '"}\n' + mine + "\n")
    assert [json.loads(line)["hook"] for line in forwarder.lines()] == [mine, mine]
    path.write_text(mine + "\n")  # a new, shorter file is read from its start
    assert len(forwarder.lines()) == 1
