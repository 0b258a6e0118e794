import json
import logging
import multiprocessing
import os
import sqlite3
import stat
import subprocess
import time

import pytest

from corvane.trust import registry as registry_mod
from corvane.trust.registry import (SCHEMA_VERSION, RegistryError, TrustRegistry,
                                     default_registry_path)
from postgres_fixture import PostgresServer, postgres_server, postgres_url  # noqa: F401


def test_records_read_back(tmp_path):
    reg = TrustRegistry(tmp_path / "r.sqlite3")
    reg.ensure_node("node-a", gpu_type="H100 SXM")
    reg.ensure_node("node-a", gpu_type="UNKNOWN")
    reg.start_job("job-1", "python train.py", {"node_id": "node-a", "pre_check": []})
    reg.record_event(node_id="node-a", job_id="job-1", event_type="xid_critical",
                     severity="CRITICAL", summary="Detected XID 79", details={"xid": 79, "obj": object()},
                     gpu_type="H100 SXM")
    reg.record_recovery_event(job_id="job-1", node_id="node-a", mode="plan", status="planned",
                              summary="Prepared recovery plan for node-a",
                              plan={"checkpoint_path": None, "drain_command": None,
                                    "restart_command": "x", "replacement_node": None},
                              details={"trigger": "Detected XID 79"}, replacement_node=None)
    reg.finish_job("job-1", "failed", ["node-a"])

    again = TrustRegistry(tmp_path / "r.sqlite3")
    job = again.job("job-1")
    assert job["status"] == "failed" and job["node_ids"] == ["node-a"]
    assert job["metadata"] == {"node_id": "node-a", "pre_check": []}
    (ev,) = again.events("job-1")
    assert ev["details"]["xid"] == 79 and ev["details"]["obj"].startswith("<object")
    assert again.recovery_events("job-1")[0]["plan"]["restart_command"] == "x"
    assert [n["node_id"] for n in again.nodes()] == ["node-a"]
    assert again.job("nope") is None


def test_default_path_follows_environment(monkeypatch, tmp_path):
    monkeypatch.setenv("CORVANE_REGISTRY", str(tmp_path / "x.db"))
    assert default_registry_path() == tmp_path / "x.db"
    monkeypatch.delenv("CORVANE_REGISTRY")
    monkeypatch.setenv("XDG_STATE_HOME", str(tmp_path))
    assert default_registry_path() == tmp_path / "corvane" / "registry.sqlite3"


def _writer(path, n, tag):
    reg = TrustRegistry(path)
    for i in range(n):
        reg.record_event(node_id=tag, job_id="shared", event_type="e", severity="INFO",
                         summary=f"{tag}-{i}", details={"i": i})


def test_two_processes_share_one_file(tmp_path):
    path = str(tmp_path / "shared.sqlite3")
    TrustRegistry(path)
    ctx = multiprocessing.get_context("spawn")
    procs = [ctx.Process(target=_writer, args=(path, 150, tag)) for tag in ("a", "b")]
    for p in procs:
        p.start()
    for p in procs:
        p.join(60)
        assert p.exitcode == 0
    events = TrustRegistry(path).events("shared")
    assert len(events) == 300
    assert {e["summary"] for e in events} == {f"{t}-{i}" for t in "ab" for i in range(150)}
    assert json.dumps(events)  # everything read back is plain JSON data


# -- the same contract on SQLite and on a PostgreSQL server ------------------------------------



@pytest.fixture(params=["sqlite", "postgresql"])
def location(request, tmp_path):
    if request.param == "sqlite":
        return str(tmp_path / "contract.sqlite3")
    return request.getfixturevalue("postgres_url")


def _fill(reg):
    reg.ensure_node("node-a", gpu_type="H100 SXM")
    reg.ensure_node("node-a", gpu_type=None)
    reg.start_job("job-1", "python train.py", {"node_id": "node-a"})
    reg.record_event(node_id="node-a", job_id="job-1", event_type="xid_critical",
                     severity="CRITICAL", summary="Kernel reported XID 79 (fell off the bus)",
                     details={"xid": 79, "line": "100% done; it's 'quoted' ? %s"})
    reg.record_event(node_id="node-a", job_id="job-1", event_type="output_stall",
                     severity="WARN", summary="quiet")
    reg.record_occurrences(node_id="node-a", job_id="job-1", event_type="output_stall",
                           severity="WARN", summary="quiet", occurrences=7, last_seen=99.5)
    reg.record_recovery_event(job_id="job-1", node_id="node-a", mode="plan", status="planned",
                              summary="plan", plan={"restart_command": "x"})
    reg.finish_job("job-1", "failed", ["node-a"], details={"signal": "SIGTERM"})


def test_contract_records_read_back(location):
    _fill(registry_mod.TrustRegistry(location))
    again = registry_mod.TrustRegistry(location)
    job = again.job("job-1")
    assert job["status"] == "failed" and job["node_ids"] == ["node-a"]
    assert job["metadata"] == {"node_id": "node-a", "end": {"signal": "SIGTERM"}}
    assert job["started_at"] <= job["finished_at"]
    events = again.events("job-1")
    assert [e["event_type"] for e in events] == ["xid_critical", "output_stall"]
    assert events[0]["details"]["line"] == "100% done; it's 'quoted' ? %s"
    assert [(e["occurrences"], e["last_seen"]) for e in events] == [(1, None), (7, 99.5)]
    assert again.finding_counts() == {"job-1": {"CRITICAL": 1, "WARN": 1}}
    assert [n["gpu_type"] for n in again.nodes()] == ["H100 SXM"]
    assert again.recovery_events("job-1")[0]["plan"] == {"restart_command": "x"}
    assert again.schema_version() == SCHEMA_VERSION
    # A job started again under the same id is running again, with no end.
    again.start_job("job-1", "python train.py --resume", {})
    job = again.job("job-1")
    assert job["status"] == "running" and job["finished_at"] is None
    again.set_node_trust("node-a", "distrusted", "by hand")
    again.set_node_trust("node-a", "trusted")
    assert again.node_trust_overrides()["node-a"]["state"] == "trusted"
    again.set_node_trust("node-a", None)
    assert again.node_trust_overrides() == {}
    again.record_instance(provider="vast", instance_id="77", machine_id=31027,
                          price_per_hour=0.65, details={"offer": 5})
    (inst,) = again.instances("vast")
    assert inst["machine_id"] == "31027" and inst["details"] == {"offer": 5}


def test_contract_jobs_newest_first_with_filters(location):
    reg = registry_mod.TrustRegistry(location)
    for i, status in enumerate(["succeeded", "failed", "running", "failed"]):
        reg.start_job(f"job-{i}", "train", {})
        if status != "running":
            reg.finish_job(f"job-{i}", status, ["n"])
    assert [j["job_id"] for j in reg.jobs()] == ["job-3", "job-2", "job-1", "job-0"]
    assert [j["job_id"] for j in reg.jobs(limit=2)] == ["job-3", "job-2"]
    assert [j["job_id"] for j in reg.jobs(status="failed")] == ["job-3", "job-1"]


def _contract_writer(location, n, tag):
    reg = registry_mod.TrustRegistry(location)
    reg.start_job(f"job-{tag}", "train", {})
    for i in range(n):
        reg.record_event(node_id=tag, job_id="shared", event_type="e", severity="INFO",
                         summary=f"{tag}-{i}")
    reg.finish_job(f"job-{tag}", "succeeded", [tag])


def test_contract_several_processes_write_at_once(location):
    registry_mod.TrustRegistry(location)
    ctx = multiprocessing.get_context("spawn")
    tags = ["a", "b", "c", "d"]
    procs = [ctx.Process(target=_contract_writer, args=(location, 200, t)) for t in tags]
    for p in procs:
        p.start()
    for p in procs:
        p.join(120)
        assert p.exitcode == 0
    reg = registry_mod.TrustRegistry(location)
    events = reg.events("shared")
    assert sorted(e["summary"] for e in events) == sorted(f"{t}-{i}" for t in tags
                                                           for i in range(200))
    for t in tags:  # each writer's own order is kept
        mine = [int(e["summary"].split("-")[1]) for e in events if e["node_id"] == t]
        assert mine == list(range(200))
    assert {j["status"] for j in reg.jobs()} == {"succeeded"}


def _open_at_once(location, queue):
    try:
        registry_mod.TrustRegistry(location)
        queue.put("ok")
    except Exception as exc:  # noqa: BLE001 - reported to the test
        queue.put(repr(exc))


def test_contract_a_new_registry_opened_by_several_processes(location):
    ctx = multiprocessing.get_context("spawn")
    queue = ctx.Queue()
    procs = [ctx.Process(target=_open_at_once, args=(location, queue)) for _ in range(4)]
    for p in procs:
        p.start()
    results = [queue.get(timeout=120) for _ in procs]
    for p in procs:
        p.join(60)
    assert results == ["ok"] * 4
    assert registry_mod.TrustRegistry(location).schema_version() == SCHEMA_VERSION


def _raw(location):
    """A plain connection to the registry's database, beside corvane's."""
    if location.startswith("postgresql://"):
        import psycopg

        return psycopg.connect(location, autocommit=True), "%s"
    return sqlite3.connect(location, isolation_level=None), "?"


def test_contract_an_older_registry_is_upgraded_in_place(location):
    # The tables as they were before versions were kept, with a job in them.
    conn, mark = _raw(location)
    real = "DOUBLE PRECISION" if mark == "%s" else "REAL"
    ident = ("BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY" if mark == "%s"
             else "INTEGER PRIMARY KEY AUTOINCREMENT")
    with conn:
        for sql in registry_mod._MIGRATIONS[0]:
            conn.execute(sql.format(ID=ident, REAL=real))
        conn.execute("INSERT INTO jobs (job_id, command, metadata, status, started_at) "
                     f"VALUES ({mark}, 'old', '{{}}', 'succeeded', 1.0)", ("job-old",))
    reg = registry_mod.TrustRegistry(location)
    assert reg.schema_version() == SCHEMA_VERSION
    assert reg.job("job-old")["command"] == "old"
    reg.set_node_trust("n", "distrusted")  # a table the old registry did not have
    assert list(reg.node_trust_overrides()) == ["n"]
    reg.start_job("job-new", "train", {})  # and columns it did not have
    reg.heartbeat("job-new", 5.0)
    job = reg.job("job-new")
    assert (job["monitor_pid"], job["heartbeat_s"]) == (os.getpid(), 5.0)


def _dead_pid():
    proc = subprocess.Popen(["true"])
    proc.wait()
    return proc.pid


def test_contract_jobs_whose_monitor_is_gone_are_lost(location):
    reg = registry_mod.TrustRegistry(location)
    now = time.time()
    # (monitor host, pid, boot id, heartbeat age, poll) -> what the job is then
    here, _, boot = registry_mod.this_monitor()
    cases = {
        "alive": ((here, os.getpid(), boot, 1, 5.0), "running"),
        "ended": ((here, _dead_pid(), boot, None, None), "lost"),
        "rebooted": ((here, os.getpid(), "another-boot", None, None), "lost"),
        "silent": (("elsewhere", 1, "b", 600, 5.0), "lost"),
        "beating": (("elsewhere", 1, "b", 2, 5.0), "running"),
        "no heartbeat yet": (("elsewhere", 1, "b", None, None), "running"),
    }
    conn, mark = _raw(location)
    with conn:
        for job_id, ((host, pid, boot_id, age, poll), _) in cases.items():
            reg.start_job(job_id, "train", {})
            conn.execute(f"UPDATE jobs SET monitor_host = {mark}, monitor_pid = {mark}, "
                         f"monitor_boot_id = {mark}, heartbeat_at = {mark}, heartbeat_s = {mark} "
                         f"WHERE job_id = {mark}",
                         (host, pid, boot_id, None if age is None else now - age, poll, job_id))
    expected = {job_id: status for job_id, (_, status) in cases.items()}
    assert {j["job_id"]: j["status"] for j in reg.jobs()} == expected  # shown so at once
    registry_mod.TrustRegistry(location)  # and recorded so when next opened
    conn, _ = _raw(location)
    with conn:
        rows = conn.execute("SELECT job_id, status, finished_at FROM jobs").fetchall()
    assert {r[0]: r[1] for r in rows} == expected
    assert all((r[2] is not None) == (r[1] == "lost") for r in rows)


def test_records_the_file_does_not_take_are_journaled_and_replayed(tmp_path, caplog):
    path = tmp_path / "r.sqlite3"
    reg = TrustRegistry(path, retry_interval_s=0.05)
    reg.start_job("job-1", "train", {})
    with sqlite3.connect(path) as conn:  # the events table is gone mid-job
        conn.execute("DROP TABLE events")
    accepted_at = time.time()
    with caplog.at_level(logging.WARNING, logger="corvane.trust.registry"):
        for i in range(3):  # nothing raises into the monitor
            reg.record_event(node_id="n", job_id="job-1", event_type="e", severity="WARN",
                             summary=f"s{i}")
        reg.finish_job("job-1", "completed", ["n"])
    assert sum("cannot be written" in r.getMessage() for r in caplog.records) == 1
    assert reg.flush(0.2) == 4
    assert reg.journal_pending() == (4, tmp_path / "r.sqlite3.corvane-journal")
    reg.close()
    again = TrustRegistry(path)  # the table is made again and the journal replayed
    assert [e["summary"] for e in again.events("job-1")] == ["s0", "s1", "s2"]
    assert all(e["recorded_at"] <= accepted_at + 1 for e in again.events("job-1"))
    assert again.job("job-1")["status"] == "completed"
    assert not (tmp_path / "r.sqlite3.corvane-journal").exists()


def test_an_existing_registry_is_made_private(tmp_path):
    folder = tmp_path / "state"
    folder.mkdir(mode=0o755)
    os.chmod(folder, 0o755)
    path = folder / "r.sqlite3"
    TrustRegistry(path)
    os.chmod(path, 0o644)
    TrustRegistry(path)
    assert (stat.S_IMODE(os.stat(path).st_mode), stat.S_IMODE(os.stat(folder).st_mode)) == (
        0o600, 0o700)


def test_contract_a_newer_registry_is_refused_in_one_line(location, capsys):
    from corvane import cli

    registry_mod.TrustRegistry(location).start_job("job-1", "train", {})
    conn, mark = _raw(location)
    with conn:
        conn.execute(f"UPDATE schema_version SET version = {mark}", (SCHEMA_VERSION + 1,))
    with pytest.raises(RegistryError) as info:
        registry_mod.TrustRegistry(location)
    message = str(info.value)
    assert "\n" not in message and f"schema version {SCHEMA_VERSION + 1}" in message
    assert cli.main(["jobs", "--registry", location]) == 1
    err = capsys.readouterr().err
    assert len(err.splitlines()) == 1 and "newer" in err
    # Refused without being touched.
    conn, _ = _raw(location)
    with conn:
        assert conn.execute("SELECT version FROM schema_version").fetchall() == [
            (SCHEMA_VERSION + 1,)]


# -- PostgreSQL only: credentials and a server that goes away ------------------------------------

@pytest.mark.parametrize("secret_in", ["user part", "encoded user part", "query"])
def test_credentials_never_shown(postgres_server, tmp_path, capsys, secret_in):
    from corvane import cli

    secret = "hunter2"  # the password's start, as written and as decoded
    if secret_in == "user part":
        url = f"postgresql://corvane:{secret}-Secret@/nodb?host={tmp_path}/nothing-here"
    elif secret_in == "encoded user part":
        url = f"postgresql://corvane:{secret}%2DSecret@/nodb?host={tmp_path}/nothing-here"
    else:
        url = f"postgresql:///nodb?host={tmp_path}/nothing-here&user=corvane&password={secret}"
    with pytest.raises(RegistryError) as info:
        registry_mod.TrustRegistry(url)
    assert secret not in str(info.value) and "nodb" in str(info.value)
    for argv in (["jobs"], ["trust"], ["findings"]):
        assert cli.main([*argv, "--registry", url]) == 1
        out, err = capsys.readouterr()
        assert secret not in out + err and err.startswith("corvane: ")
    # A working server: where the registry is shown, the password is not.
    good = postgres_server.url(postgres_server.create_database()) + f"&password={secret}"
    reg = registry_mod.TrustRegistry(good)
    assert secret not in str(reg.path) and "password=***" in str(reg.path)
    reg.start_job("job-1", "train", {})
    assert cli.main(["findings", "--registry", good]) == 0
    assert cli.main(["jobs", "--registry", good, "--json"]) == 0
    out, err = capsys.readouterr()
    assert secret not in out + err


@pytest.fixture
def own_server():
    """A server of the test's own, to take away and bring back."""
    server = PostgresServer(port=5440)
    server.start()
    yield server
    server.cleanup()


def test_writes_while_the_server_is_away_are_kept_in_order(own_server, caplog):
    url = own_server.url()
    reg = registry_mod.TrustRegistry(url, retry_interval_s=0.05)
    reg.start_job("job-1", "train", {})
    reg.record_event(node_id="n", job_id="job-1", event_type="e", severity="INFO",
                     summary="before")
    own_server.stop()
    accepted_at = time.time()
    with caplog.at_level(logging.WARNING, logger="corvane.trust.registry"):
        for i in range(5):  # every call returns; nothing raises into the monitor
            reg.record_event(node_id="n", job_id="job-1", event_type="e", severity="WARN",
                             summary=f"away-{i}")
        reg.finish_job("job-1", "failed", ["n"])
        assert reg.pending_writes == 6
        away = [r for r in caplog.records if "unreachable" in r.getMessage()]
        assert len(away) == 1  # said once, not once per write
        with pytest.raises(RegistryError):
            reg.events("job-1")
        own_server.start()
        assert reg.flush(60) == 0
        assert any("reachable again" in r.getMessage() for r in caplog.records)
    events = registry_mod.TrustRegistry(url).events("job-1")
    assert [e["summary"] for e in events] == ["before"] + [f"away-{i}" for i in range(5)]
    assert all(e["recorded_at"] <= accepted_at + 5 for e in events)  # when accepted
    assert registry_mod.TrustRegistry(url).job("job-1")["status"] == "failed"


def test_a_server_restarted_between_writes_is_no_outage(own_server, caplog):
    url = own_server.url()
    reg = registry_mod.TrustRegistry(url)
    reg.start_job("job-1", "train", {})
    own_server.stop()
    own_server.start()  # the registry's connection is gone, the server is back
    with caplog.at_level(logging.WARNING, logger="corvane.trust.registry"):
        reg.record_event(node_id="n", job_id="job-1", event_type="e", severity="INFO",
                         summary="after the restart")
    assert reg.pending_writes == 0 and not caplog.records
    assert [e["summary"] for e in reg.events("job-1")] == ["after the restart"]
