"""The fleet view: node trust from recorded findings, `corvane jobs` and `corvane trust`, the
JSON documents, the trust-steered marketplace, and a shared registry that goes away while a
monitored job runs."""

import json
import os
import subprocess
import sys
import time
from pathlib import Path

import pytest

from corvane import cli
from corvane.trust.node_trust import node_trust
from corvane.trust.registry import TrustRegistry
from fakes.marketplace import Marketplace
from postgres_fixture import PostgresServer

PY = sys.executable
HERE = Path(__file__).resolve().parent
KEY = "sk-test-very-secret"
DAY = 86400


def wait_for(predicate, what, timeout=60.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.05)


@pytest.fixture
def reg(tmp_path):
    return TrustRegistry(tmp_path / "r.sqlite3")


def _event(reg, node, event_type, severity, age_days=0.0, job="job-x", details=None):
    reg.record_event(node_id=node, job_id=job, event_type=event_type, severity=severity,
                     summary=f"{event_type} {severity}", details=details)
    if age_days:
        shift = age_days * DAY
        conn = __import__("sqlite3").connect(reg.path)
        with conn:
            conn.execute("UPDATE events SET recorded_at = recorded_at - ? WHERE id = "
                         "(SELECT MAX(id) FROM events)", (shift,))
        conn.close()


# -- trust states -------------------------------------------------------------------------------

@pytest.mark.parametrize("event_type, severity, age_days, state, details", [(*row, None)[:5] for row in [
    ("xid_critical", "CRITICAL", 0, "distrusted"),
    ("ecc_dbe", "CRITICAL", 6.9, "distrusted"),
    ("metric_disappearance", "CRITICAL", 1, "distrusted"),
    ("pcie_replay", "CRITICAL", 0, "distrusted"),
    ("nvlink_errors", "CRITICAL", 0, "distrusted"),
    ("ecc_dbe", "CRITICAL", 7.1, "trusted"),        # older than the window
    ("xid_critical", "WARN", 0, "suspect"),          # an Xid the driver does not call critical
    ("nvlink_errors", "WARN", 0, "suspect"),
    ("pcie_aer", "WARN", 0, "suspect"),
    ("thermal_warning", "CRITICAL", 0, "suspect"),   # about the machine, not a failed part
    ("ecc_sbe_rate", "WARN", 8, "trusted"),
    ("training_divergence", "WARN", 0, "trusted"),   # about the job
    ("training_hang", "CRITICAL", 0, "trusted"),
    ("output_stall", "WARN", 0, "trusted"),
    ("rank_straggler", "WARN", 0, "trusted"),
    ("filesystem_lost", "CRITICAL", 0, "trusted"),
    ("telemetry_ready", "INFO", 0, "trusted"),
    # The fault catalogue's class decides where a finding has one.
    ("xid_critical", "CRITICAL", 0, "trusted", {"xid": 31, "class": "application"}),
    ("job_error", "CRITICAL", 0, "distrusted", {"class": "memory"}),  # uncorrectable ECC
    ("job_error", "WARN", 0, "suspect", {"class": "network"}),
    ("job_error", "WARN", 0, "trusted", {"class": "application"}),
    ("nvswitch_sxid", "CRITICAL", 0, "distrusted", {"class": "interconnect"}),
    ("host_oom_kill", "WARN", 0, "trusted", {"class": "host_resource"}),
    ("row_remap_failure", "CRITICAL", 0, "distrusted", {"class": "memory"}),
    ("ib_port_down", "CRITICAL", 0, "distrusted", {"class": "network"}),
    ("thermal_warning", "CRITICAL", 0, "suspect", {"class": "hardware"}),  # no failed part
    ("persistence_mode_off", "WARN", 0, "trusted", {"class": "driver"}),  # a setting
]])
def test_state_from_findings(reg, event_type, severity, age_days, state, details):
    _event(reg, "m1", event_type, severity, age_days, details=details)
    (entry,) = node_trust(reg)
    assert entry["state"] == state, entry
    assert entry["findings"][severity] == 1
    critical = entry["last_critical_hardware"]
    machine = (details["class"] in ("memory", "interconnect", "network") if details else event_type in (
        "xid_critical", "ecc_dbe", "metric_disappearance", "pcie_replay", "nvlink_errors"))
    assert (critical is not None) == (severity == "CRITICAL" and machine)


def test_the_worst_finding_decides_and_hand_set_states(reg):
    _event(reg, "m1", "xid_critical", "WARN")
    _event(reg, "m1", "ecc_dbe", "CRITICAL")
    _event(reg, "m1", "pcie_aer", "WARN")
    _event(reg, "m2", "output_stall", "WARN")
    states = {e["node"]: e["state"] for e in node_trust(reg)}
    assert states == {"m1": "distrusted", "m2": "trusted"}
    reg.set_node_trust("m2", "distrusted", "flaky fans")
    reg.set_node_trust("m1", "trusted")  # forgives what was recorded before
    by = {e["node"]: e for e in node_trust(reg)}
    assert by["m2"]["state"] == "distrusted" and "flaky fans" in by["m2"]["reason"]
    assert by["m1"]["state"] == "trusted" and by["m1"]["set_by_hand"]
    _event(reg, "m1", "nvlink_errors", "CRITICAL")  # but not what comes after
    assert {e["node"]: e["state"] for e in node_trust(reg)}["m1"] == "distrusted"
    reg.set_node_trust("m2", None)
    assert {e["node"]: e["state"] for e in node_trust(reg)}["m2"] == "trusted"


# -- corvane jobs / trust ---------------------------------------------------------------------

def _jobs(reg):
    for i, (status, node) in enumerate([("completed", "n1"), ("failed", "n2"),
                                        ("running", "n1")]):
        reg.start_job(f"job-{i}", f"python train.py --run {i}", {"node_id": node})
        if status != "running":
            reg.finish_job(f"job-{i}", status, [node])
    _event(reg, "n2", "xid_critical", "CRITICAL", job="job-1")
    _event(reg, "n2", "output_stall", "WARN", job="job-1")


def test_jobs_table_and_filters(reg, capsys):
    _jobs(reg)
    assert cli.main(["jobs", "--registry", str(reg.path)]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].split()[:5] == ["JOB", "STATUS", "NODES", "STARTED", "DURATION"]
    assert [ln.split()[0] for ln in lines[1:]] == ["job-2", "job-1", "job-0"]
    job1 = lines[2].split()
    assert job1[1:3] == ["failed", "n2"] and job1[-3:] == ["1C", "1W", "0I"]
    assert cli.main(["jobs", "--registry", str(reg.path), "--status", "failed"]) == 0
    assert [ln.split()[0] for ln in capsys.readouterr().out.splitlines()[1:]] == ["job-1"]
    assert cli.main(["jobs", "--registry", str(reg.path), "--limit", "1"]) == 0
    assert [ln.split()[0] for ln in capsys.readouterr().out.splitlines()[1:]] == ["job-2"]
    with pytest.raises(SystemExit) as stop:  # not a status a job can have
        cli.main(["jobs", "--registry", str(reg.path), "--status", "succeeded"])
    assert stop.value.code == 2 and "invalid choice" in capsys.readouterr().err


def test_jobs_json(reg, capsys):
    _jobs(reg)
    assert cli.main(["jobs", "--registry", str(reg.path), "--json"]) == 0
    doc = json.loads(capsys.readouterr().out)
    assert [j["job_id"] for j in doc["jobs"]] == ["job-2", "job-1", "job-0"]
    job1 = doc["jobs"][1]
    assert set(job1) == {"job_id", "status", "nodes", "started_at", "finished_at", "duration_s",
                         "findings", "command"}
    assert job1["findings"] == {"CRITICAL": 1, "WARN": 1, "INFO": 0}
    assert job1["nodes"] == ["n2"] and job1["finished_at"] >= job1["started_at"]
    assert doc["jobs"][0]["finished_at"] is None and doc["jobs"][0]["nodes"] == ["n1"]


def test_trust_command(reg, capsys):
    _jobs(reg)
    path = str(reg.path)
    _event(reg, "n1", "xid_critical", "CRITICAL", details={"injected": True})  # a rehearsal
    assert cli.main(["trust", "--registry", path]) == 0
    out = capsys.readouterr().out.splitlines()
    assert out[-1].startswith("1 hardware finding made by fault injection")
    rows = {ln.split()[0]: ln for ln in out[1:-1]}
    assert rows["n1"].split()[1:3] == ["trusted", "2"]
    assert rows["n2"].split()[1] == "distrusted" and "xid_critical" in rows["n2"]
    assert cli.main(["trust", "block", "n1", "--reason", "bad fan", "--registry", path]) == 0
    assert "n1: distrusted (blocked by hand: bad fan)" in capsys.readouterr().out
    assert cli.main(["trust", "--json", "--registry", path]) == 0
    doc = json.loads(capsys.readouterr().out)
    assert doc["window_days"] == 7
    by = {n["node"]: n for n in doc["nodes"]}
    assert set(by["n2"]) == {"node", "state", "set_by_hand", "reason", "jobs", "findings",
                             "last_critical_hardware", "injected_left_out"}
    assert by["n1"]["state"] == "distrusted" and by["n1"]["set_by_hand"] is True
    assert by["n2"]["last_critical_hardware"]["event_type"] == "xid_critical"
    assert cli.main(["trust", "allow", "n2", "--registry", path, "--json"]) == 0
    assert json.loads(capsys.readouterr().out)["trust"]["reason"] == "allowed by hand"
    assert cli.main(["trust", "--json", "allow", "n2", "--registry", path]) == 0
    assert json.loads(capsys.readouterr().out)["trust"]["state"] == "trusted"
    for command in ("block", "clear", "allow", "clear"):  # a node nothing else knows
        assert cli.main(["trust", command, "never-seen", "--registry", path]) == 0
    assert "never-seen: nothing recorded" in capsys.readouterr().out.splitlines()[-1]


def test_findings_and_profile_json(reg, capsys):
    _jobs(reg)
    assert cli.main(["findings", "--registry", str(reg.path), "--job", "job-1", "--json"]) == 0
    doc = json.loads(capsys.readouterr().out)
    assert doc["job"]["job_id"] == "job-1" and doc["recovery"] == []
    assert [(f["event_type"], f["severity"], f["node"]) for f in doc["findings"]] == [
        ("xid_critical", "CRITICAL", "n2"), ("output_stall", "WARN", "n2")]
    assert cli.main(["profile", "NVIDIA H100 80GB HBM3", "--json"]) == 0
    doc = json.loads(capsys.readouterr().out)
    assert doc["profile"]["name"] != "generic" and doc["gpu_name"] == "NVIDIA H100 80GB HBM3"
    assert doc["profile"]["has_ecc"] is True and "summary" in doc
    assert cli.main(["profile", "--list", "--json"]) == 0
    names = [p["name"] for p in json.loads(capsys.readouterr().out)["profiles"]]
    assert doc["profile"]["name"] in names and "generic" in names
    assert cli.main(["profile", "--list"]) == 0
    assert len(capsys.readouterr().out.splitlines()) == len(names) + 1  # and a header


def test_json_documents_are_strict_json(reg, capsys):
    reg.start_job("job-1", "train", {})
    reg.record_event(node_id="n", job_id="job-1", event_type="training_divergence",
                     severity="WARN", summary="NaN seen",
                     details={"loss": float("nan"), "scale": float("inf"), "step": 7,
                              "note": "ok"})
    assert cli.main(["findings", "--registry", str(reg.path), "--json"]) == 0
    out = capsys.readouterr().out

    def refuse(token):
        raise AssertionError(f"{token} is not JSON")

    (finding,) = json.loads(out, parse_constant=refuse)["findings"]
    assert finding["details"] == {"loss": None, "scale": None, "step": 7, "note": "ok"}


def test_top_level_help_lists_every_command(capsys):
    with pytest.raises(SystemExit):
        cli.main(["--help"])
    out = capsys.readouterr().out
    assert "rented GPU machines" in out
    listed = [ln.split()[0] for ln in out.splitlines() if ln.startswith("    ") and ln.split()]
    assert listed == ["monitor", "agent", "findings", "jobs", "trust", "profile", "vast", "config"]


# -- the launch loop: a critical fault on machine M keeps the next job off M -------------------

@pytest.fixture
def market(monkeypatch):
    m = Marketplace().start()
    monkeypatch.setenv("CORVANE_VAST_API_BASE", m.base)
    monkeypatch.setenv("VAST_API_KEY", KEY)
    monkeypatch.delenv("CORVANE_VAST_TRUSTED_PRICE_MULTIPLIER", raising=False)
    yield m
    m.stop()


def _offer(i, machine, price):
    return {"id": i, "machine_id": machine, "dph_total": price, "inet_down": 900.0,
            "reliability": 0.99, "geolocation": "Quebec, CA", "gpu_name": "RTX 4090"}


def _monitor(tmp_path, node, registry, rules=None, job="print('step 1')"):
    config = tmp_path / f"cfg-{node}.toml"
    config.write_text('[monitor]\npoll_interval = "1s"\n[recovery]\nmode = "plan"\n')
    env = dict(os.environ, CORVANE_NODE_ID=node, CORVANE_REGISTRY=str(registry),
               PATH=str(tmp_path / "nobin"))
    (tmp_path / "nobin").mkdir(exist_ok=True)
    if rules is not None:
        env.update(CORVANE_INJECT="1", CORVANE_INJECT_RULES=str(rules))
    return subprocess.run([PY, "-m", "corvane", "monitor", "--config", str(config),
                           "--checkpoint-dir", str(tmp_path / "ck"), "--", PY, "-c", job],
                          env=env, capture_output=True, text=True, timeout=120)


def test_a_critical_fault_on_a_machine_steers_the_next_launch(tmp_path, market, capsys,
                                                               monkeypatch):
    registry = tmp_path / "fleet.sqlite3"
    monkeypatch.setenv("CORVANE_REGISTRY", str(registry))
    rules = tmp_path / "faults.json"
    rules.write_text(json.dumps({
        "gpus": [{"name": "NVIDIA H100 80GB HBM3", "pci_bus_id": "00000000:3B:00.0",
                  "readings": {"temperature_c": 50, "util_gpu": 95, "memory_used_mb": 1000,
                               "memory_total_mb": 81559, "power_draw_w": 600,
                               "power_limit_w": 700, "throttle_reasons": 0,
                               "ecc_corrected": 0, "ecc_uncorrected": 0, "pcie_replay": 0}}],
        "rules": [{"gpu": 0, "add": {"ecc_uncorrected": 1}, "after_polls": 1}]}))
    # The job ends once its own machine's fault is on record.
    job = ("import sqlite3, sys, time\n"
           f"db = {str(registry)!r}\n"
           "deadline = time.monotonic() + 60\n"
           "while time.monotonic() < deadline:\n"
           "    rows = sqlite3.connect(db).execute(\"SELECT 1 FROM events WHERE "
           "event_type = 'ecc_dbe'\").fetchall()\n"
           "    if rows: sys.exit(0)\n"
           "    time.sleep(0.1)\n"
           "sys.exit(3)\n")
    faulty = _monitor(tmp_path, "31027", registry, rules, job)
    assert faulty.returncode == 0, faulty.stdout + faulty.stderr
    clean = _monitor(tmp_path, "40001", registry)
    assert clean.returncode == 0, clean.stderr

    # 31027 is the cheapest, 40001 has a clean record, 50002 was never seen.
    market.offers = [_offer(1, 31027, 0.50), _offer(2, 50002, 0.55), _offer(3, 40001, 0.60)]
    # The fault was a rehearsal's (injected): it says nothing about the machine ...
    assert cli.main(["vast", "offers", "--gpu", "RTX_4090", "--json"]) == 0
    doc = json.loads(capsys.readouterr().out)
    assert {o["machine_id"]: o["trust"] for o in doc["offers"]}[31027] == "trusted"
    # ... while the same fault seen on the real hardware keeps the next job off it.
    TrustRegistry(registry).record_event(node_id="31027", job_id="job-real", event_type="ecc_dbe",
                                         severity="CRITICAL", summary="uncorrectable ECC error")
    assert cli.main(["vast", "offers", "--gpu", "RTX_4090"]) == 0
    rows = [ln.split() for ln in capsys.readouterr().out.splitlines()[1:]]
    assert [(r[1], r[-1]) for r in rows] == [("40001", "trusted"), ("50002", "unknown")]
    assert cli.main(["vast", "offers", "--gpu", "RTX_4090", "--json"]) == 0
    doc = json.loads(capsys.readouterr().out)
    assert [(o["machine_id"], o["trust"]) for o in doc["offers"]] == [
        (40001, "trusted"), (50002, "unknown")]
    assert set(doc["offers"][0]) == {"id", "machine_id", "gpu_name", "num_gpus",
                                     "price_per_hour", "reliability", "location", "trust"}

    assert cli.main(["vast", "launch", "--gpu", "RTX_4090"]) == 0
    assert "on machine 40001" in capsys.readouterr().out
    (put,) = market.requests_to(r"/asks/\d+/", "PUT")
    assert put.path == "/api/v0/asks/3/" and put.body["env"]["CORVANE_NODE_ID"] == "40001"
    (inst,) = TrustRegistry(registry).instances("vast")
    assert inst["machine_id"] == "40001" and inst["instance_id"] in market.instances

    # Hedged launches never take a distrusted machine either, and each instance is told
    # its own machine.
    market.requests.clear()
    market.offers.append(_offer(4, 60003, 0.58))
    assert cli.main(["vast", "launch", "--gpu", "RTX_4090", "--hedge", "3"]) == 0
    puts = market.requests_to(r"/asks/\d+/", "PUT")
    machines = {p.path: p.body["env"]["CORVANE_NODE_ID"] for p in puts}
    assert machines == {"/api/v0/asks/3/": "40001", "/api/v0/asks/2/": "50002",
                        "/api/v0/asks/4/": "60003"}

    # Allowed by hand, the machine is offered again.
    assert cli.main(["trust", "allow", "31027"]) == 0
    capsys.readouterr()
    assert cli.main(["vast", "offers", "--gpu", "RTX_4090"]) == 0
    assert "31027" in capsys.readouterr().out


def test_vast_ls_json(market, capsys, tmp_path, monkeypatch):
    monkeypatch.setenv("CORVANE_REGISTRY", str(tmp_path / "r.sqlite3"))
    market.offers = [_offer(1, 31027, 0.5)]
    assert cli.main(["vast", "launch", "--gpu", "RTX_4090"]) == 0
    capsys.readouterr()
    assert cli.main(["vast", "ls", "--json"]) == 0
    (inst,) = json.loads(capsys.readouterr().out)["instances"]
    assert set(inst) == {"id", "status", "gpu_type", "gpu_count", "ssh_host", "ssh_port",
                         "region", "label", "machine_id"}
    assert inst["id"] in market.instances


# -- a shared registry that goes away while a job runs ------------------------------------------

@pytest.mark.parametrize("comes_back", [True, False])
def test_the_monitor_outlives_a_registry_outage(tmp_path, monkeypatch, comes_back):
    server = PostgresServer(port=5441)
    try:
        server.start()
        _outage_run(server, tmp_path, monkeypatch, comes_back)
    finally:
        server.cleanup()


def _while_the_job_runs(proc, marks, meanwhile):
    """Once the job said it started, `meanwhile()`; then the monitor's output at its end."""
    try:
        wait_for(lambda: (marks / "started").exists(), "the job to start")
        meanwhile()
        return proc.communicate(timeout=120)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def _outage_run(server, tmp_path, monkeypatch, comes_back):
    url = server.url()
    marks = tmp_path / "marks"
    marks.mkdir()
    job = ("import pathlib, sys, time\n"
           "d = pathlib.Path(sys.argv[1])\n"
           "def wait(name):\n"
           "    end = time.monotonic() + 60\n"
           "    while not (d / name).exists():\n"
           "        if time.monotonic() > end: sys.exit(4)\n"
           "        time.sleep(0.05)\n"
           "print('step 1', flush=True)\n"
           "(d / 'started').touch()\n"
           "wait('go')\n"
           "print('Xid 79 on GPU 0', flush=True)\n"
           "print('loss=nan', flush=True)\n"
           "wait('end')\n"
           "print('done', flush=True)\n")
    config = tmp_path / "cfg.toml"
    config.write_text('[monitor]\npoll_interval = "1s"\n[recovery]\nmode = "plan"\n')
    (tmp_path / "nobin").mkdir()
    env = dict(os.environ, CORVANE_NODE_ID="pg-node", CORVANE_REGISTRY=url,
               PATH=str(tmp_path / "nobin"), PYTHONUNBUFFERED="1", CORVANE_REGISTRY_FLUSH_S="1",
               XDG_STATE_HOME=str(tmp_path / "state"))
    errfile = tmp_path / "monitor.err"
    with open(errfile, "w") as errs:
        proc = subprocess.Popen([PY, "-m", "corvane", "monitor", "--config", str(config),
                                 "--checkpoint-dir", str(tmp_path / "ck"), "--", PY, "-c", job,
                                 str(marks)], env=env, stdout=subprocess.PIPE, stderr=errs,
                                text=True)

    def err():
        return errfile.read_text().splitlines()

    def meanwhile():
        server.stop()
        (marks / "go").touch()
        wait_for(lambda: any("unreachable" in line for line in err()),
                 "the outage to be noticed")
        assert proc.poll() is None  # the job goes on
        if comes_back:
            server.start()
        (marks / "end").touch()

    out, _ = _while_the_job_runs(proc, marks, meanwhile)
    assert sum("is unreachable" in line for line in err()) == 1, err()  # said once
    assert "xid_critical" in out
    assert "[corvane] recovery" in out  # the summary is whole either way
    if not comes_back:
        # Not reported as a success: the job's findings are not in the registry yet.
        assert proc.returncode == 1
        assert "did not take" in err()[-1] and "kept in " + str(tmp_path / "state") in err()[-1]
        server.start()
        monkeypatch.setenv("XDG_STATE_HOME", env["XDG_STATE_HOME"])
        TrustRegistry(url)  # the next open records what the journal kept
    else:
        assert proc.returncode == 0, err()
    reg = TrustRegistry(url)
    (job_row,) = reg.jobs()
    assert job_row["status"] == "completed" and job_row["node_ids"] == ["pg-node"]
    kinds = [(e["event_type"], e["severity"]) for e in reg.events(job_row["job_id"])]
    assert ("xid_critical", "CRITICAL") in kinds and ("training_divergence", "WARN") in kinds
    assert reg.recovery_events(job_row["job_id"])  # the plan made during the outage
    assert {e["state"] for e in node_trust(reg) if e["node"] == "pg-node"} == {"distrusted"}


def test_a_registry_file_that_stops_taking_writes_loses_nothing(tmp_path):
    import re
    import sqlite3

    path, marks = tmp_path / "r.sqlite3", tmp_path / "marks"
    marks.mkdir()
    job = ("import pathlib, sys, time\n"
           "d = pathlib.Path(sys.argv[1])\n"
           "(d / 'started').touch()\n"
           "end = time.monotonic() + 60\n"
           "while not (d / 'go').exists() and time.monotonic() < end: time.sleep(0.05)\n"
           "for xid in range(70, 82): print(f'Xid {xid} on GPU 0', flush=True)\n")
    (tmp_path / "nobin").mkdir()
    env = dict(os.environ, PATH=str(tmp_path / "nobin"), PYTHONUNBUFFERED="1",
               CORVANE_REGISTRY_FLUSH_S="1", XDG_STATE_HOME=str(tmp_path / "state"))
    proc = subprocess.Popen([PY, "-m", "corvane", "monitor", "--registry", str(path),
                             "--checkpoint-dir", str(tmp_path / "ck"), "--", PY, "-c", job,
                             str(marks)], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    def meanwhile():
        with sqlite3.connect(path) as conn:  # the registry stops taking the job's findings
            conn.execute("ALTER TABLE events RENAME TO events_away")
        (marks / "go").touch()

    out, err = _while_the_job_runs(proc, marks, meanwhile)
    printed = [line for line in out.splitlines() if re.match(r"\[corvane \d\d:\d\d:\d\d\] ", line)]
    assert len(printed) >= 12 and "[corvane] recovery simulated" in out
    assert proc.returncode == 1  # the job succeeded, its records are not in the registry yet
    journal = f"{path}.corvane-journal"
    assert err.splitlines()[-1].endswith(f"kept in {journal} and recorded when the registry "
                                         "is next opened")
    with sqlite3.connect(path) as conn:
        conn.execute("ALTER TABLE events_away RENAME TO events")  # it takes them again
    reg = TrustRegistry(path)  # replays the journal
    (job_row,) = reg.jobs()
    assert job_row["status"] == "completed" and not os.path.exists(journal)
    assert len(reg.events(job_row["job_id"])) == len(printed)
    assert reg.recovery_events(job_row["job_id"])


@pytest.mark.parametrize("env, expected", [
    ({"CORVANE_NODE_ID": "31027", "SLURMD_NODENAME": "gpu-7"}, "31027"),
    ({"CORVANE_NODE_ID": "", "SLURMD_NODENAME": "gpu-7"}, "gpu-7"),
    ({}, None),
])
def test_node_identity(monkeypatch, env, expected):
    import socket

    from corvane.provision.environment import host_snapshot, node_identity

    for name in ("CORVANE_NODE_ID", "SLURMD_NODENAME"):
        monkeypatch.delenv(name, raising=False)
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    assert node_identity() == (expected or socket.gethostname())
    assert host_snapshot()["hostname"] == node_identity()


@pytest.mark.parametrize("command", [["offers"], ["launch"], ["launch", "--hedge", "2"]])
def test_an_unreadable_registry_rents_nothing(market, capsys, tmp_path, monkeypatch, command):
    pytest.importorskip("psycopg")
    monkeypatch.setenv("CORVANE_REGISTRY", f"postgresql:///r?host={tmp_path}/no-server")
    market.offers = [_offer(1, 31027, 0.5), _offer(2, 40001, 0.6)]
    assert cli.main(["vast", *command, "--gpu", "RTX_4090"]) == 1
    err = capsys.readouterr().err
    assert len(err.splitlines()) == 1 and "cannot use the registry" in err
    assert market.requests == [] and market.instances == {}
