"""`corvane monitor` and `corvane findings` as a user runs them: signals, failures, files."""

import os
import pty
import re
import signal
import sqlite3
import stat
import subprocess
import sys
import time
import uuid

import pytest

from corvane.cli import main
from corvane.trust.registry import TrustRegistry
from runner_helpers import PY, alive, marked_processes

FIXTURES = os.path.join(os.path.dirname(__file__), "fixtures")


@pytest.fixture
def env(fake_path, tmp_path):
    """The monitor's environment, marked so that every process it starts can be found."""
    return dict(os.environ, CORVANE_FAKE_SMI_DIR=os.path.join(FIXTURES, "nvidia-smi"),
                CORVANE_FAKE_SMI_CASE="two-gpus", CORVANE_REGISTRY=str(tmp_path / "r.sqlite3"),
                PYTHONUNBUFFERED="1", CORVANE_TEST_MARK=f"mark-{uuid.uuid4().hex}")


def assert_nothing_left(env):
    deadline = time.monotonic() + 5  # orphans may still be on their way out
    while marked_processes(env["CORVANE_TEST_MARK"]) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert marked_processes(env["CORVANE_TEST_MARK"]) == []


def config_file(tmp_path, **monitor):
    lines = ["[monitor]", 'poll_interval = "1s"']
    lines += [f"{k} = {v!r}" if isinstance(v, str) else f"{k} = {v}" for k, v in monitor.items()]
    path = tmp_path / "c.toml"
    path.write_text("\n".join(lines).replace("'", '"') + "\n")
    return str(path)


def corvane(args, env, **kw):
    return subprocess.Popen([PY, "-m", "corvane", *args], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=env, **kw)


# The job reports its pid and a grandchild's, then waits; on SIGTERM/SIGHUP/SIGINT it
# "checkpoints" (prints) and exits 0, unless told to ignore the signal.
JOB = """
import os, signal, subprocess, sys, time
ignore = sys.argv[1] == "ignore"
def on_signal(signum, frame):
    if ignore:
        print("ignoring", signum, flush=True)
        return
    print("checkpointing after", signum, flush=True)
    time.sleep(0.3)
    print("checkpoint written", flush=True)
    sys.exit(0)
for s in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
    signal.signal(s, on_signal)
sleeper = subprocess.Popen(["sleep", "60"])
print("pids", os.getpid(), sleeper.pid, flush=True)
while True:
    time.sleep(0.05)
"""


def start_job(tmp_path, env, mode="obey", grace="20s"):
    proc = corvane(["monitor", "--config", config_file(tmp_path, stop_grace=grace),
                    "--checkpoint-dir", str(tmp_path / "ck"), "--", PY, "-c", JOB, mode], env,
                   start_new_session=True)
    assert "monitoring job" in proc.stdout.readline()
    words = []
    while not words or words[0] != "pids":  # findings such as telemetry_ready may come first
        line = proc.stdout.readline()
        assert line, "the job never reported its pids"
        words = line.split()
    return proc, [int(w) for w in words[1:]]


def finish(proc):
    try:
        return proc.communicate(timeout=30)
    finally:
        if proc.poll() is None:
            proc.kill()


@pytest.mark.parametrize("sig, to_group", [(signal.SIGTERM, False), (signal.SIGHUP, False),
                                           (signal.SIGINT, False), (signal.SIGINT, True)],
                         ids=["SIGTERM", "SIGHUP", "SIGINT", "ctrl-c-at-the-terminal"])
def test_signal_is_passed_on_and_the_job_may_checkpoint(tmp_path, env, sig, to_group):
    proc, pids = start_job(tmp_path, env)
    if to_group:  # the terminal signals corvane's whole process group
        os.killpg(proc.pid, sig)
    else:  # to corvane alone, as a supervisor or `kill` would
        proc.send_signal(sig)
    out, err = finish(proc)
    assert proc.returncode == 128 + sig, err
    assert "checkpoint written" in out  # output is still read during the grace period
    assert f"stopped on {sig.name}" in out and "exited with status 0" in out
    assert not any(alive(p) for p in pids)
    assert_nothing_left(env)
    job = TrustRegistry(tmp_path / "r.sqlite3").jobs()[0]
    assert job["status"] == "interrupted"
    assert job["metadata"]["end"]["signal"] == sig.name


def test_second_signal_or_end_of_grace_kills_the_job(tmp_path, env):
    proc, pids = start_job(tmp_path, env, mode="ignore")
    proc.send_signal(signal.SIGTERM)
    deadline = time.monotonic() + 10
    while "ignoring" not in proc.stdout.readline() and time.monotonic() < deadline:
        pass
    proc.send_signal(signal.SIGTERM)
    out, _ = finish(proc)
    assert proc.returncode == 128 + signal.SIGTERM and "second stop request" in out
    assert not any(alive(p) for p in pids)

    proc, pids = start_job(tmp_path, env, mode="ignore", grace="1s")
    proc.send_signal(signal.SIGINT)
    out, _ = finish(proc)
    assert proc.returncode == 130 and "did not stop within its grace period" in out
    assert not any(alive(p) for p in pids)
    assert_nothing_left(env)
    job = TrustRegistry(tmp_path / "r.sqlite3").jobs()[0]
    assert job["status"] == "interrupted" and job["metadata"]["end"]["killed"] is True


def test_start_failures_exit_statuses(tmp_path, env, capsys, monkeypatch):
    monkeypatch.setenv("CORVANE_REGISTRY", env["CORVANE_REGISTRY"])
    script = tmp_path / "train.sh"
    script.write_text("echo hi\n")  # not executable
    blocker = tmp_path / "blocker"
    blocker.write_text("")
    cases = [
        (["--", str(tmp_path / "missing")], 127, "No such file"),
        (["--", str(script)], 126, "Permission denied"),
        (["--", str(tmp_path)], 126, "Permission denied"),
        (["--checkpoint-dir", str(blocker / "ck"), "--", PY, "-c", "pass"], 1, "Not a directory"),
        (["--metrics-file", str(tmp_path), "--", PY, "-c", "pass"], 1, "metrics file"),
        ([], 2, "needs a command"),
    ]
    for args, status, text in cases:
        assert main(["monitor", "--checkpoint-dir", str(tmp_path / "ck"), *args]) == status
        err = capsys.readouterr().err
        assert text in err and len(err.strip().splitlines()) == 1, err
    statuses = [j["status"] for j in TrustRegistry(tmp_path / "r.sqlite3").jobs()]
    assert statuses == ["failed"] * 4  # every job that was registered ends recorded


@pytest.mark.parametrize("rules, text", [
    (None, "names no rules file"),
    ("missing.json", "cannot read injection rules"),
    ('{"rules": [', "are not JSON"),
    ('[{"gpu": 0, "set": {"temp": 97}}]', "unknown snapshot field 'temp'"),
    ('{"gpus": [], "rules": [], "xids": []}', "unknown key 'xids'"),
    ("[" * 5000 + "]" * 5000, "nested more than 32"),
    ('[{"gpu": 99, "lost": true}]', "GPU 99 does not exist"),
    ('[{"gpu": 0, "xid": 12345678901234567890}]', '"xid" must be a positive integer up to'),
])
def test_unusable_injection_rules_stop_monitor_before_the_job(tmp_path, capsys, monkeypatch,
                                                               rules, text):
    monkeypatch.setenv("CORVANE_INJECT", "1")
    monkeypatch.delenv("CORVANE_INJECT_RULES", raising=False)
    if rules is not None:
        path = tmp_path / "rules.json"
        if not rules.endswith(".json"):
            path.write_text(rules)
        monkeypatch.setenv("CORVANE_INJECT_RULES", str(path))
    marker = tmp_path / "started"
    registry = tmp_path / "r.sqlite3"
    status = main(["monitor", "--registry", str(registry), "--checkpoint-dir", str(tmp_path),
                   "--", PY, "-c", f"open({str(marker)!r}, 'w')"])
    err = capsys.readouterr().err
    assert status == 2 and err.startswith("corvane: ") and text in err, err
    assert len(err.strip().splitlines()) == 1, err
    assert not marker.exists() and not registry.exists()


def test_unusable_registries_are_one_line(tmp_path, capsys):
    garbage = tmp_path / "garbage.sqlite3"
    garbage.write_bytes(os.urandom(4096))
    blocker = tmp_path / "blocker"
    blocker.write_text("")
    for path in (garbage, tmp_path, blocker / "r.sqlite3"):
        for args in (["findings"], ["monitor", "--", PY, "-c", "pass"]):
            assert main([args[0], "--registry", str(path), *args[1:]]) == 1
            err = capsys.readouterr().err
            assert err.startswith("corvane: ") and len(err.strip().splitlines()) == 1, err
    missing = tmp_path / "nowhere" / "r.sqlite3"
    assert main(["findings", "--registry", str(missing)]) == 1
    assert "no registry at" in capsys.readouterr().err
    assert not missing.parent.exists()  # looking does not create it


@pytest.mark.skipif(os.geteuid() == 0, reason="root writes into read-only directories")
def test_registry_in_a_read_only_directory(tmp_path, capsys):
    ro = tmp_path / "ro"
    ro.mkdir(mode=0o500)
    assert main(["monitor", "--registry", str(ro / "r.sqlite3"), "--", PY, "-c", "pass"]) == 1
    assert len(capsys.readouterr().err.strip().splitlines()) == 1


def test_private_files_whatever_the_umask(tmp_path, env):
    env["CORVANE_REGISTRY"] = str(tmp_path / "state" / "corvane" / "r.sqlite3")
    metrics = tmp_path / "m.jsonl"
    code = ("import os, sys; os.umask(0); from corvane.cli import main; "
            "sys.exit(main(sys.argv[1:]))")
    hooks = tmp_path / "ck"
    proc = subprocess.run([PY, "-c", code, "monitor", "--metrics-file", str(metrics),
                           "--checkpoint-dir", str(hooks), "--", PY, "-c", "print('nan')"],
                          env=env, capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    mode = lambda p: stat.S_IMODE(os.stat(p).st_mode)  # noqa: E731
    assert mode(tmp_path / "state") == 0o700 and mode(tmp_path / "state" / "corvane") == 0o700
    assert mode(env["CORVANE_REGISTRY"]) == 0o600
    assert mode(metrics) == 0o600
    assert mode(hooks) == 0o700  # it holds the hook file


def test_a_killed_monitor_leaves_its_job_lost(tmp_path, env, capsys):
    proc, _ = start_job(tmp_path, env)
    proc.kill()  # as the OOM killer would
    finish(proc)
    assert main(["jobs", "--registry", env["CORVANE_REGISTRY"]]) == 0
    assert " lost " in capsys.readouterr().out
    with sqlite3.connect(env["CORVANE_REGISTRY"]) as conn:  # and recorded so
        assert conn.execute("SELECT status FROM jobs").fetchall() == [("lost",)]


def test_findings_on_a_read_only_file_system(tmp_path):
    folder = tmp_path / "ro"
    folder.mkdir()
    reg = TrustRegistry(folder / "r.sqlite3")
    reg.start_job("job-1", "train", {})
    reg.record_event(node_id="n", job_id="job-1", event_type="output_stall", severity="WARN",
                     summary="quiet")
    reg.close()
    read_only = f"mount --bind {folder} {folder} && mount -o remount,bind,ro {folder}"
    if subprocess.run(["unshare", "-m", "sh", "-c", read_only], capture_output=True).returncode:
        pytest.skip("no private mounts here (unshare -m needs CAP_SYS_ADMIN)")
    proc = subprocess.run(["unshare", "-m", "sh", "-c", f"{read_only} && exec {PY} -m corvane "
                           f"findings --registry {folder / 'r.sqlite3'}"],
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0 and "output_stall" in proc.stdout, proc.stderr


def test_findings_into_a_closed_pipe_is_quiet(tmp_path, env):
    reg = TrustRegistry(env["CORVANE_REGISTRY"])
    reg.start_job("job-1", "train", {})
    for i in range(3000):  # far more than a pipe holds
        reg.record_event(node_id="n", job_id="job-1", event_type="output_stall",
                         severity="WARN", summary=f"finding {i} " + "x" * 40)
    proc = subprocess.run(f"{PY} -m corvane findings | head -1 >/dev/null; "
                          "echo ${PIPESTATUS[0]}", shell=True, executable="/bin/bash",
                          env=env, capture_output=True, text=True, timeout=60)
    assert proc.stdout.strip() in ("0", "141") and proc.stderr == ""


def test_exit_statuses_are_documented(capsys):
    with pytest.raises(SystemExit):
        main(["monitor", "--help"])
    out = capsys.readouterr().out
    for status in ("126", "127", "128+N", "130"):
        assert status in out


def test_progress_bar_redraws_stay_one_line_on_a_terminal(tmp_path, env):
    job = ("import sys, time\n"
           "for i in range(3):\n"
           "    sys.stdout.write(f'{i * 50}%\\r'); sys.stdout.flush(); time.sleep(0.05)\n"
           "print('done')\n")
    args = [PY, "-m", "corvane", "monitor", "--checkpoint-dir", str(tmp_path), "--",
            PY, "-c", job]
    main_fd, sub_fd = pty.openpty()
    try:
        with subprocess.Popen(args, stdout=sub_fd, stderr=subprocess.DEVNULL, env=env) as proc:
            os.close(sub_fd)
            chunks = []
            while True:
                try:
                    data = os.read(main_fd, 65536)
                except OSError:  # the terminal's other side closed
                    break
                if not data:
                    break
                chunks.append(data)
        terminal = b"".join(chunks)
    finally:
        os.close(main_fd)
    assert proc.returncode == 0
    # Redrawn in place, as written (the monitor's own lines may come in between).
    job_bytes = re.sub(rb"\[corvane[^\n]*\n", b"", terminal)
    assert b"0%\r50%\r100%\rdone\r\n" in job_bytes, terminal

    piped = subprocess.run(args, env=env, capture_output=True, text=True, timeout=60)
    job_lines = [ln for ln in piped.stdout.splitlines() if not ln.startswith("[corvane")]
    assert job_lines[:4] == ["0%", "50%", "100%", "done"]  # to a pipe, one line per redraw


def test_a_rehearsal_without_gpus_says_what_it_watches(tmp_path, env, empty_path):
    rules = os.path.join(os.path.dirname(__file__), "..", "examples", "demo-faults.json")
    env.update(CORVANE_INJECT="1", CORVANE_INJECT_RULES=rules, PATH=str(empty_path))
    # The job runs until the test has seen telemetry attach and the "watching:" line (which
    # waits for every watcher to say what it watches; a loaded machine may take seconds to
    # start them), then ends by itself.
    stop = tmp_path / "stop"
    job = ("import os, sys, time\nend = time.time() + 60\n"
           "while not os.path.exists(sys.argv[1]) and time.time() < end:\n    time.sleep(0.05)\n")
    proc = subprocess.Popen([PY, "-m", "corvane", "monitor", "--checkpoint-dir", str(tmp_path),
                             "--", PY, "-c", job, str(stop)],
                            env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    lines = []
    try:
        for line in proc.stdout:
            lines.append(line)
            seen = "".join(lines)
            if "Telemetry backend injected attached" in seen and "[corvane] watching:" in seen:
                stop.touch()
        proc.wait(60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    out = "".join(lines)
    watching, = [ln for ln in out.splitlines() if ln.startswith("[corvane] watching:")]
    assert "telemetry (injected, 1 GPU)" in watching, watching
    assert "Telemetry backend injected attached to 1 GPU(s)" in out
