import os
import time

import pytest

from corvane.provision import environment as env


@pytest.mark.parametrize("text, seconds", [
    ("250ms", 0.25), ("30s", 30), ("5m", 300), ("1h", 3600), ("1h30m", 5400), ("90", 90),
    ("2.5", 2.5), (" 1M ", 60), ("1m30s500ms", 90.5), ("0s", 0), (15, 15), (0.5, 0.5),
])
def test_parse_duration_accepts(text, seconds):
    value = env.parse_duration(text)
    assert value == seconds
    assert isinstance(value, int) == float(seconds).is_integer()


@pytest.mark.parametrize("text", ["", "s", "5 m", "5x", "-5s", "1h 30m", "m5", "nan", None, True,
                                  -1, float("inf"), [5]])
def test_parse_duration_rejects_naming_the_text(text):
    with pytest.raises(ValueError, match="duration"):
        env.parse_duration(text)


def test_host_snapshot(tmp_path):
    snap = env.host_snapshot(tmp_path)
    assert set(snap) == {"hostname", "disk_free_gb"} and snap["hostname"]
    assert snap["disk_free_gb"] >= 0


def test_pretty_command_quotes():
    assert env.pretty_command(["python", "train.py", "--name", "a b", "it's"]) == \
        "python train.py --name 'a b' 'it'\"'\"'s'"


def test_gpu_inventory_from_the_tool(fake_path, shared_fixtures, monkeypatch):
    monkeypatch.setenv("CORVANE_FAKE_SMI_DIR", str(shared_fixtures / "nvidia-smi"))
    monkeypatch.setenv("CORVANE_FAKE_SMI_CASE", "h100x8-healthy")
    inv = env.detect_gpu_inventory()
    assert [g.index for g in inv] == list(range(8))
    assert inv[0].pci_bus_id == "00000000:18:00.0" and inv[0].name == "NVIDIA H100 80GB HBM3"
    monkeypatch.setenv("CORVANE_FAKE_SMI_CASE", "driver-unreachable")  # exit status 9
    assert env.detect_gpu_inventory() == []
    monkeypatch.setenv("CORVANE_FAKE_SMI_CASE", "h100x8-healthy")
    monkeypatch.setenv("CORVANE_FAKE_SMI_SLEEP", "5")
    assert env.detect_gpu_inventory(timeout=0.5) == []


def test_gpu_inventory_without_the_tool(empty_path):
    assert env.detect_gpu_inventory() == []


def test_run_shell_captures_and_reports_status():
    r = env.run_shell("echo out; echo err >&2; exit 3", timeout=10)
    assert (r.returncode, r.stdout, r.stderr, r.timed_out) == (3, "out\n", "err\n", False)


def test_run_shell_timeout_kills_the_process_group(tmp_path):
    marker = tmp_path / "pid"
    start = time.monotonic()
    r = env.run_shell(f"sleep 30 & echo $! > {marker}; echo started; wait", timeout=0.5)
    assert r.timed_out and r.returncode != 0 and "started" in r.stdout
    assert time.monotonic() - start < 10
    pid = int(marker.read_text())
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            break
        time.sleep(0.05)
    else:
        pytest.fail("the background grandchild outlived the time-out")


def _gone(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    return False


def test_run_shell_ends_at_the_stop_event_and_kills_the_process_group(tmp_path):
    import threading

    marker = tmp_path / "pid"
    stop = threading.Event()

    def stop_once_started():
        deadline = time.monotonic() + 10
        while not marker.exists() or not marker.read_text().strip():
            if time.monotonic() > deadline:
                return
            time.sleep(0.02)
        stop.set()

    helper = threading.Thread(target=stop_once_started)
    helper.start()
    r = env.run_shell(f"sleep 30 & echo $! > {marker}; wait", timeout=20, stop=stop)
    helper.join()
    assert (r.cancelled, r.timed_out, r.returncode) == (True, False, env.TIMEOUT_RETURNCODE)
    pid = int(marker.read_text())
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline and not _gone(pid):
        time.sleep(0.05)
    assert _gone(pid), "the background grandchild outlived the stop"

    # A stop already set runs nothing.
    again = tmp_path / "again"
    r = env.run_shell(f"touch {again}", timeout=20, stop=stop)
    assert r.cancelled and not again.exists()


@pytest.mark.parametrize("stopped, reason", [(False, "no answer within 0.5 s"),
                                             (True, "stopped before it answered")])
def test_gpu_inventory_that_gets_no_answer_says_so(fake_path, shared_fixtures, monkeypatch,
                                                   tmp_path, stopped, reason):
    import threading

    monkeypatch.setenv("CORVANE_FAKE_SMI_DIR", str(shared_fixtures / "nvidia-smi"))
    monkeypatch.setenv("CORVANE_FAKE_SMI_HANG_FILE", str(tmp_path))  # exists: the tool hangs
    stop = threading.Event()
    if stopped:
        stop.set()
    inv = env.detect_gpu_inventory(timeout=0.5, stop=stop)
    assert inv == [] and inv.no_answer == reason
    monkeypatch.delenv("CORVANE_FAKE_SMI_HANG_FILE")
    inv = env.detect_gpu_inventory(timeout=10, stop=threading.Event())
    assert len(inv) == 8 and inv.no_answer is None
