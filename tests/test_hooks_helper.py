import json
import multiprocessing

from corvane.hooks import HookReporter


def test_nothing_without_a_hook_file(monkeypatch, tmp_path):
    monkeypatch.delenv("CORVANE_HOOK_FILE", raising=False)
    hooks = HookReporter()
    assert not hooks.enabled
    with hooks.phase("forward-compute"):
        pass
    hooks.step(1, gradient_norm=1.0)
    assert list(tmp_path.iterdir()) == []


def test_reports_from_the_environment(monkeypatch, tmp_path):
    path = tmp_path / "h.jsonl"
    monkeypatch.setenv("CORVANE_HOOK_FILE", str(path))
    monkeypatch.setenv("RANK", "3")
    hooks = HookReporter()
    with hooks.phase("forward-compute"):
        pass
    with hooks.phase("backward-compute"):
        pass
    with hooks.phase("forward-compute"):
        pass
    hooks.step(7, gradient_norm=1.5, step_time=0.2, loss=0.5)
    hooks.step(8)
    first, second = [json.loads(line) for line in path.read_text().splitlines()]
    assert first["rank"] == 3 and first["step"] == 7 and first["phase"] == "forward-compute"
    assert set(first["phase_times"]) == {"forward-compute", "backward-compute"}
    assert first["gradient_norm"] == 1.5 and first["loss"] == 0.5 and "timestamp" in first
    assert "phase_times" not in second  # phase times belong to the step they were taken in


def _writer(path, rank, n):
    hooks = HookReporter(path, rank)
    for i in range(n):
        hooks.report(step=i, padding="x" * 3000)


def test_concurrent_ranks_never_interleave(tmp_path):
    path = str(tmp_path / "h.jsonl")
    ctx = multiprocessing.get_context("fork")
    procs = [ctx.Process(target=_writer, args=(path, r, 300)) for r in range(4)]
    for p in procs:
        p.start()
    for p in procs:
        p.join(30)
    lines = open(path).read().splitlines()
    assert len(lines) == 1200
    assert all(json.loads(line)["padding"] == "x" * 3000 for line in lines)
