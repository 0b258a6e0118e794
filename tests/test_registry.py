import json
import multiprocessing

from corvane.trust.registry import TrustRegistry, default_registry_path


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
