"""`corvane monitor` on a real Slurm cluster of two nodes (tests/slurm_cluster.py): the job
wrapped in the real srun, inside salloc and sbatch, and the agent step on the other node."""

import json
import re
import os
import signal
import socket
import sqlite3
import subprocess
import textwrap

import pytest

from runner_helpers import PY, readme_block, wait_for
from test_monitor_cli import env  # noqa: F401

EXAMPLE = os.path.join(os.path.dirname(__file__), "..", "examples", "ddp_training.py")

# The job reports the step it runs in (only a real srun gives it one), prints a line the
# monitor turns into a finding, then waits for `gate` (when given) and exits with `status`.
JOB = textwrap.dedent("""
    import os, sys, time
    gate, status = sys.argv[1], int(sys.argv[2])
    print("step", os.environ.get("SLURM_STEP_ID"), "on", os.environ.get("SLURMD_NODENAME"),
          flush=True)
    print("step 1 loss=nan", flush=True)
    deadline = time.monotonic() + 120
    while gate != "-" and not os.path.exists(gate) and time.monotonic() < deadline:
        time.sleep(0.05)
    sys.exit(status)
""")

HOT_GPU = {"gpus": [{"name": "NVIDIA H100 80GB HBM3", "pci_bus_id": "00000000:3B:00.0",
                     "readings": {"temperature_c": 50, "util_gpu": 90}}],
           "rules": [{"gpu": 0, "set": {"temperature_c": 97}, "after_polls": 1}]}


@pytest.fixture
def work(tmp_path):
    """The job, its configuration and an environment without GPU tools (none here)."""
    (tmp_path / "job.py").write_text(JOB)
    (tmp_path / "c.toml").write_text(textwrap.dedent("""
        [monitor]
        poll_interval = "1s"
        [cluster]
        scheduler = "slurm"
        [recovery]
        mode = "plan"
    """))
    (tmp_path / "rules.json").write_text(json.dumps(HOT_GPU))
    env = {k: v for k, v in os.environ.items() if not k.startswith(("SLURM", "CORVANE_"))}
    env.update(CORVANE_REGISTRY=str(tmp_path / "r.sqlite3"), PYTHONUNBUFFERED="1")
    return tmp_path, env


def monitor_command(tmp, gate="-", status=0) -> list[str]:
    return [PY, "-m", "corvane", "monitor", "--config", str(tmp / "c.toml"), "--checkpoint-dir",
            str(tmp / "ckpt"), "--", PY, str(tmp / "job.py"), str(gate), str(status)]


def shell(args) -> str:
    return " ".join("'" + a.replace("'", "'\\''") + "'" for a in args)


def text_of(path) -> str:
    try:
        return path.read_text()
    except FileNotFoundError:  # the job has not started yet
        return ""


def rows(db, sql, *params):
    conn = sqlite3.connect(db)
    conn.row_factory = sqlite3.Row
    try:
        return [dict(r) for r in conn.execute(sql, params)]
    except sqlite3.OperationalError:  # not created yet
        return []
    finally:
        conn.close()


@pytest.mark.parametrize("launcher", ["salloc", "sbatch"])
@pytest.mark.parametrize("status", [0, 3])
def test_the_job_runs_in_the_real_srun(slurm_cluster, work, launcher, status):
    tmp, env = work
    command = monitor_command(tmp, status=status)
    if launcher == "salloc":
        out = slurm_cluster.run(["salloc", "-N1", *command], env=env, timeout=120, cwd=tmp)
        text = out.stdout
    else:
        log = tmp / "slurm.out"
        out = slurm_cluster.run(["sbatch", "--wait", "-N1", f"--output={log}",
                                 f"--wrap={shell(command)}"], env=env, timeout=120, cwd=tmp)
        text = log.read_text()
    assert out.returncode == status, (out.stdout, out.stderr, text)
    assert "step 0 on n" in text  # the job ran as step 0 of the allocation, through srun
    assert "training_divergence: Detected NaN/Inf in training output" in text  # parsed
    (job,) = rows(tmp / "r.sqlite3", "SELECT * FROM jobs")
    assert job["command"].startswith("srun --partition gpu ")
    assert job["status"] == ("completed" if status == 0 else "failed")
    assert json.loads(job["metadata"])["slurm_job_id"]
    events = {e["event_type"] for e in rows(tmp / "r.sqlite3", "SELECT * FROM events")}
    assert "training_divergence" in events, events
    assert "monitor_degraded" not in events  # one node: no agents
    assert wait_for(slurm_cluster.queue_empty, 20)


def test_agent_step_spans_the_other_node(slurm_cluster, work):
    tmp, env = work
    # The fault is injected on n2 only: the monitor's own node n1 stays healthy.
    env.update(CORVANE_INJECT="1", CORVANE_INJECT_RULES=str(tmp / "rules.json"),
               CORVANE_INJECT_NODES="n2")
    gate, log, db = tmp / "gate", tmp / "slurm.out", tmp / "r.sqlite3"
    with open(tmp / "c.toml", "a") as config:  # options for the agents' step reach its srun
        config.write('[cluster.slurm]\nagent_extra_args = ["--job-name=node-watch"]\n')
    script = tmp / "job.sh"
    script.write_text("#!/bin/sh\n" + shell(monitor_command(tmp, gate=gate)) + "\n")
    out = slurm_cluster.run(["sbatch", "--parsable", "-N2", f"--output={log}", str(script)],
                            env=env, timeout=30, cwd=tmp)
    assert out.returncode == 0, out.stderr
    slurm_id = out.stdout.strip().split(";")[0]
    try:
        # The overheating GPU of n2, seen by n2's agent, reaches the job's findings.
        hot_on_n2 = "SELECT * FROM events WHERE node_id = 'n2' AND event_type = 'thermal_warning'"
        assert wait_for(lambda: rows(db, hot_on_n2), 60), log.read_text()
        steps = slurm_cluster.run(["squeue", "-h", "-s", "-j", slurm_id, "-o", "%j %N"],
                                  timeout=10).stdout
        assert "node-watch n2" in steps, steps
    finally:
        gate.write_text("")
    assert wait_for(slurm_cluster.queue_empty, 30)
    text = log.read_text()
    assert "[corvane] starting agents on n2" in text
    assert "[corvane] node n2 is watched by its agent" in text
    assert "thermal_warning: GPU 0 temperature reached 97.0C [node n2; GPU 0]" in text
    (job,) = rows(db, "SELECT * FROM jobs")
    assert job["status"] == "completed" and json.loads(job["node_ids"]) == ["n1", "n2"]
    events = rows(db, "SELECT node_id, event_type, severity FROM events")
    assert {"node_id": "n2", "event_type": "thermal_warning", "severity": "CRITICAL"} in events
    # The agent ended with the job, not before it: no node was reported unwatched.
    assert not [e for e in events if e["event_type"] == "monitor_degraded"], events
    assert not [e for e in events if e["node_id"] == "n1" and e["event_type"] == "thermal_warning"]
    (plan,) = rows(db, "SELECT node_id, summary FROM recovery_events")
    assert plan == {"node_id": "n2", "summary": "Prepared recovery plan for n2"}
    assert wait_for(lambda: not slurm_cluster.job_processes(), 10)


def agent_pids(cluster, node) -> list[int]:
    """The agent on `node` among the processes of the cluster's jobs (all started by this
    test); the srun that started it runs on the monitor's node. A child the agent is just
    forking to run a tool has its command line and environment until it executes the tool,
    so a match whose parent also matches is not an agent."""
    found = {}
    for pid in cluster.job_processes():
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as cmd, open(f"/proc/{pid}/environ",
                                                                  "rb") as env:
                if (b"\0corvane\0agent\0" in cmd.read()
                        and f"\0SLURMD_NODENAME={node}\0".encode() in b"\0" + env.read()):
                    with open(f"/proc/{pid}/stat", "rb") as stat:
                        found[pid] = int(stat.read().rsplit(b")", 1)[1].split()[1])
        except (OSError, ValueError, IndexError):
            continue
    return [pid for pid, parent in found.items() if parent not in found]


def test_an_agent_that_dies_is_reported_once(slurm_cluster, work):
    tmp, env = work
    gate, log, db = tmp / "gate", tmp / "slurm.out", tmp / "r.sqlite3"
    script = tmp / "job.sh"
    script.write_text("#!/bin/sh\n" + shell(monitor_command(tmp, gate=gate)) + "\n")
    out = slurm_cluster.run(["sbatch", "-N2", f"--output={log}", str(script)], env=env,
                            timeout=30, cwd=tmp)
    assert out.returncode == 0, out.stderr
    degraded = "SELECT * FROM events WHERE event_type = 'monitor_degraded'"
    try:
        assert wait_for(lambda: "node n2 is watched" in text_of(log), 60), text_of(log)
        (agent,) = agent_pids(slurm_cluster, "n2")
        os.kill(agent, signal.SIGKILL)
        assert wait_for(lambda: rows(db, degraded), 30), text_of(log)
    finally:
        gate.write_text("")
    assert wait_for(slurm_cluster.queue_empty, 30)
    (event,) = rows(db, degraded)  # once, though both srun and the step's end tell of it
    assert event["node_id"] == "n2" and event["severity"] == "WARN"
    details = json.loads(event["details"])
    assert details["source"] == "agent" and details["node"] == "n2"
    assert "Node n2 is no longer watched" in event["summary"], event["summary"]
    assert "[node n2" in log.read_text().split("is no longer watched")[1].splitlines()[0]
    (job,) = rows(db, "SELECT * FROM jobs")
    assert job["status"] == "completed"  # the job itself is not failed for its agent


def test_from_outside_the_allocation_every_node_gets_an_agent(slurm_cluster, work):
    tmp, env = work
    gate, log, db = tmp / "gate", tmp / "salloc.out", tmp / "r.sqlite3"
    with open(log, "w") as out:  # salloc runs the monitor here, outside the nodes
        proc = subprocess.Popen(["salloc", "-N2", *monitor_command(tmp, gate=gate)], cwd=tmp,
                                env=dict(env, SLURM_CONF=str(slurm_cluster.conf)), stdout=out,
                                stderr=subprocess.STDOUT)
    try:
        seen = "SELECT DISTINCT node_id FROM events WHERE event_type = 'telemetry_unavailable'"
        assert wait_for(lambda: {"n1", "n2"} <= {r["node_id"] for r in rows(db, seen)}, 60), \
            text_of(log)
    finally:
        gate.write_text("")
        assert proc.wait(60) == 0, text_of(log)
    text = log.read_text()
    assert "[corvane] starting agents on n1, n2" in text
    (job,) = rows(db, "SELECT * FROM jobs")
    assert json.loads(job["node_ids"]) == [socket.gethostname(), "n1", "n2"]
    assert not rows(db, "SELECT * FROM events WHERE event_type = 'monitor_degraded'")


@pytest.mark.parametrize("job", ["train.py", f"{EXAMPLE} --steps 40 --hang-node n2 --hang-step 12"],
                         ids=["healthy", "rank-stuck-on-n2"])
def test_torchrun_over_both_nodes(slurm_cluster, tmp_path, env, job):
    """The README's two-node sbatch script as written, 2 ranks per node (gloo); the healthy
    job's hook file is shared, the stuck one's is node-local where mount namespaces are
    allowed (n2's reports then reach the monitor only through n2's agent)."""
    pytest.importorskip("torch")
    hang = job != "train.py"
    (tmp_path / "train.py").write_text(readme_block("A complete job (`train.py`):"))
    (tmp_path / "train.sbatch").write_text(
        readme_block("A two-node job (`train.sbatch`").replace("train.py", job))
    settings = ('hang_detection_timeout = "10s"\nhang_detection_grace = "0s"\non_hang = "stop"\n'
                'stop_grace = "3s"\n' if hang else "")
    (tmp_path / "cluster.toml").write_text(readme_block("with `cluster.toml`:")
                                           + '[monitor]\npoll_interval = "1s"\n' + settings)
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    tools = tmp_path / "bin"  # the fake nvidia-smi and the real srun
    tools.mkdir()
    (tools / "nvidia-smi").symlink_to(os.path.join(os.path.dirname(__file__), "fakes", "bin",
                                                   "nvidia-smi"))
    env = {k: v for k, v in env.items() if not k.startswith("SLURM")}
    path = [p for p in env["PATH"].split(os.pathsep) if not p.endswith(os.sep + "fakes/bin")]
    env.update(PATH=os.pathsep.join([os.path.dirname(PY), str(tools), *path]),
               MASTER_ADDR="127.0.0.1", MASTER_PORT=str(port), OMP_NUM_THREADS="1")
    if hang and slurm_cluster.node_local is not None:
        env["CORVANE_CHECKPOINT_DIR"] = str(slurm_cluster.node_local)
    out = slurm_cluster.run(["sbatch", "--wait", "train.sbatch"], env=env, timeout=240,
                            cwd=tmp_path)
    text = "".join(p.read_text() for p in tmp_path.glob("train-*.out"))
    assert out.returncode == (124 if hang else 0), (out.stderr, text[-4000:])
    assert "[corvane] node n2 is watched by its agent" in text
    db = env["CORVANE_REGISTRY"]
    (job_row,) = rows(db, "SELECT * FROM jobs")
    assert json.loads(job_row["node_ids"]) == ["n1", "n2"]
    events = rows(db, "SELECT * FROM events WHERE severity != 'INFO'")
    assert wait_for(lambda: not slurm_cluster.job_processes(), 30)
    assert re.search(r"\n  INFO +telemetry_ready +n2 +1x", text)  # the end table says where
    if not hang:
        assert events == [], text[-4000:]
        return
    (found,) = [e for e in events if e["event_type"] == "training_hang"]
    details = json.loads(found["details"])
    assert found["node_id"] == "n2" and details["node"] == "n2", details
    assert details["step"] == 11 and details["phase"] == "forward-compute"
    (plan,) = rows(db, "SELECT * FROM recovery_events")
    assert plan["node_id"] == "n2" and "NodeName=n2" in json.loads(plan["plan"])["drain_command"]
