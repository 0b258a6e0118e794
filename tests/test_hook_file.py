import json
import os
import threading
import time

import pytest

from corvane.monitor import monitoring as m


class Tail:
    """The hook monitor on its own thread over one file."""

    def __init__(self, path, config=None):
        self.findings, self.lock, self.stop = [], threading.Lock(), threading.Event()
        self.state = {"phase": None, "step": None}
        self.thread = threading.Thread(
            target=m._hook_monitor_loop,
            args=(path, config or {"monitor": {}}, self.findings, self.lock, self.stop, self.state),
            daemon=True)
        self.thread.start()

    def wait(self, condition, seconds=8.0):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline and not condition():
            time.sleep(0.02)
        return condition()

    def close(self):
        self.stop.set()
        self.thread.join(5)
        assert not self.thread.is_alive()


def line(**fields):
    return json.dumps(fields) + "\n"


def straggler_lines(ts):
    return "".join(line(rank=r, timestamp=ts, step_time=1.0 + (r == 2) * 0.5) for r in range(3))


def test_existing_lines_then_appends(tmp_path):
    path = tmp_path / "job-hooks.jsonl"
    path.write_text("".join(line(rank=r, timestamp=time.time(), step=r) for r in range(10)))
    tail = Tail(path)
    try:
        assert tail.wait(lambda: tail.state["step"] == 0)
        with open(path, "a") as fh:
            fh.write(line(rank=0, step="12", phase=3, timestamp=time.time()))
        assert tail.wait(lambda: tail.state["step"] == 12)
        assert tail.state["phase"] == "3"
        with open(path, "a") as fh:
            fh.write(line(rank=0, step="x"))  # not a step: the previous one stays
            fh.write(line(rank=1, step=99, phase="other"))  # other ranks never publish
            fh.write(line(rank=0, phase="backward-compute"))
        assert tail.wait(lambda: tail.state["phase"] == "backward-compute")
        assert tail.state["step"] == 12
    finally:
        tail.close()


def test_half_written_line_is_completed_not_lost(tmp_path):
    path = tmp_path / "h.jsonl"
    ts = time.time()
    path.write_text(line(rank=0, timestamp=ts, step_time=1.0) + line(rank=1, timestamp=ts, step_time=1.0))
    tail = Tail(path)
    try:
        time.sleep(1.3)
        full = line(rank=2, timestamp=ts, step_time=1.5)
        with open(path, "a") as fh:
            fh.write(full[:17])
            fh.flush()
            time.sleep(1.5)  # at least one pass sees the half line
            fh.write(full[17:])
        assert tail.wait(lambda: len(tail.findings) == 1)
        assert tail.findings[0].event_type == "rank_straggler"
    finally:
        tail.close()


def test_unterminated_complete_object_is_taken_once(tmp_path):
    path = tmp_path / "h.jsonl"
    ts = time.time()
    path.write_text(straggler_lines(ts).rstrip("\n"))  # the last report has no newline yet
    tail = Tail(path)
    try:
        assert tail.wait(lambda: len(tail.findings) == 1)
        with open(path, "a") as fh:
            fh.write("\n" + line(rank=0, timestamp=ts, step=5))
        assert tail.wait(lambda: tail.state["step"] == 5)
        assert len(tail.findings) == 1
    finally:
        tail.close()


def test_garbage_huge_nested_and_odd_lines_are_skipped(tmp_path):
    path = tmp_path / "h.jsonl"
    ts = time.time()
    with open(path, "wb") as fh:
        fh.write(b"not json\n[1, 2, 3]\n\"text\"\n42\n\n   \n")
        fh.write(b"[" * 100000 + b"\n")  # nested too deep for the decoder
        fh.write(b'{"rank": "' + b"9" * (2 << 20) + b'"}\n')  # a line over 1 MiB
        fh.write(b'{"rank": 1e999, "step_time": "\xff\xfe", "timestamp": "soon"}\n')
        fh.write(b'{"rank": 0, "step": 1e999, "timestamp": %f}\n' % ts)
        fh.write(straggler_lines(ts).encode())
    tail = Tail(path)
    try:
        assert tail.wait(lambda: len(tail.findings) == 1)
        assert tail.findings[0].details["rank"] == 2
        assert tail.thread.is_alive()
    finally:
        tail.close()


def test_replaced_or_truncated_file_is_read_again(tmp_path):
    path = tmp_path / "h.jsonl"
    ts = time.time()
    path.write_text(line(rank=0, timestamp=ts, step=1) + line(rank=0, timestamp=ts, step=2))
    tail = Tail(path)
    try:
        assert tail.wait(lambda: tail.state["step"] == 2)
        path.write_text(line(rank=0, timestamp=ts, step=7))  # shorter than before
        assert tail.wait(lambda: tail.state["step"] == 7)
        other = tmp_path / "new.jsonl"
        other.write_text(line(rank=0, timestamp=ts, step=3) * 10)
        os.replace(other, path)  # a new file under the same name
        assert tail.wait(lambda: tail.state["step"] == 3)
    finally:
        tail.close()


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads any file")
def test_unreadable_file_is_retried(tmp_path):
    path = tmp_path / "h.jsonl"
    path.write_text(line(rank=0, step=4))
    path.chmod(0)
    tail = Tail(path)
    try:
        time.sleep(1.5)
        path.chmod(0o644)
        assert tail.wait(lambda: tail.state["step"] == 4)
    finally:
        tail.close()


def test_missing_file_and_stop(tmp_path):
    tail = Tail(tmp_path / "absent.jsonl")
    time.sleep(1.2)
    start = time.monotonic()
    tail.close()
    assert time.monotonic() - start < 2.5


def test_config_needs_the_monitor_section(tmp_path):
    with pytest.raises(KeyError):
        m._hook_monitor_loop(tmp_path / "h", {}, [], threading.Lock(), threading.Event())


@pytest.mark.parametrize("put, remove", [
    (lambda p: p.mkdir(), lambda p: p.rmdir()),  # reading a directory fails, also for root
    (os.mkfifo, os.unlink),  # opening it would wait for a writer
    (lambda p: p.symlink_to("/dev/urandom"), os.unlink),  # reading it would never end
], ids=["directory", "fifo", "device"])
def test_unreadable_path_is_logged_once_and_retried(tmp_path, caplog, put, remove):
    path = tmp_path / "h.jsonl"
    put(path)
    tail = Tail(path)
    try:
        time.sleep(2.3)  # two passes
        remove(path)
        path.write_text(line(rank=0, step=6))
        assert tail.wait(lambda: tail.state["step"] == 6)
    finally:
        tail.close()
    assert sum("cannot read the hook file" in r.getMessage() for r in caplog.records) == 1
