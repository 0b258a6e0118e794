import json
import math
import multiprocessing

import pytest

from corvane import hooks as hooks_module
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
    with hooks.phase("forward-compute"):
        pass
    hooks.step(8)
    reports = [json.loads(line) for line in path.read_text().splitlines()]
    # A report as each phase starts: its place in the step, after the last finished step.
    starts = [(r["phase"], r["phase_index"], r.get("step")) for r in reports if "phase_index" in r]
    assert starts == [("forward-compute", 0, None), ("backward-compute", 1, None),
                      ("forward-compute", 2, None), ("forward-compute", 0, 7)]
    first, second = [r for r in reports if "phase_index" not in r]
    assert first["rank"] == 3 and first["step"] == 7 and first["phase"] == "forward-compute"
    assert set(first["phase_times"]) == {"forward-compute", "backward-compute"}
    assert first["gradient_norm"] == 1.5 and first["loss"] == 0.5 and "timestamp" in first
    assert set(second["phase_times"]) == {"forward-compute"}  # only its own step's phases


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


@pytest.mark.parametrize("env, rank", [
    ({"RANK": "3", "SLURM_PROCID": "5"}, 3),
    ({"SLURM_PROCID": "5", "OMPI_COMM_WORLD_RANK": "6"}, 5),
    ({"OMPI_COMM_WORLD_RANK": "6", "PMI_RANK": "7"}, 6),
    ({"PMI_RANK": "7", "PMIX_RANK": "8"}, 7),
    ({"PMIX_RANK": "8"}, 8),
    ({"RANK": "", "SLURM_PROCID": " 2 "}, 2),     # empty means unset
    ({"RANK": "x", "PMIX_RANK": "0"}, 0),         # not a rank: the next variable counts
    ({"RANK": "-1", "PMI_RANK": "4"}, 4),
])
def test_rank_from_the_launchers_variables(monkeypatch, tmp_path, env, rank):
    for name in hooks_module.RANK_VARIABLES:
        monkeypatch.delenv(name, raising=False)
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    path = tmp_path / "h.jsonl"
    HookReporter(str(path)).step(1)
    assert json.loads(path.read_text())["rank"] == rank


def test_no_rank_warns_once_and_writes_nothing(monkeypatch, tmp_path, capsys):
    for name in hooks_module.RANK_VARIABLES:
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setattr(hooks_module, "_no_rank_warned", False)
    path = tmp_path / "h.jsonl"
    reporters = [HookReporter(str(path)) for _ in range(3)]
    for hooks in reporters:
        hooks.step(1, gradient_norm=1.0)
    assert not path.exists() and not any(h.enabled for h in reporters)
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "no rank" in err and "PMIX_RANK" in err
    HookReporter(str(path), rank=0).step(1)  # an explicit rank still reports
    assert json.loads(path.read_text())["rank"] == 0


@pytest.mark.parametrize("make_path", [
    lambda tmp: tmp / "missing-dir" / "h.jsonl",
    lambda tmp: tmp,  # a directory
])
def test_unwritable_hook_file_warns_once_and_stops(tmp_path, capsys, make_path):
    hooks = HookReporter(str(make_path(tmp_path)), rank=1)
    for step in range(3):
        with hooks.phase("forward-compute"):
            pass
        hooks.step(step, gradient_norm=1.0)
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "cannot write the hook file" in err
    assert not hooks.enabled


def test_unencodable_report_is_left_out(tmp_path, capsys):
    path = tmp_path / "h.jsonl"
    hooks = HookReporter(str(path), rank=2)
    loop = []
    loop.append(loop)
    hooks.step(1, bad=loop)
    hooks.step(2, bad=loop)
    hooks.step(3, gradient_norm=float("nan"))  # written as NaN, which the monitor reads
    (line,) = path.read_text().splitlines()
    assert json.loads(line)["step"] == 3 and math.isnan(json.loads(line)["gradient_norm"])
    assert capsys.readouterr().err.count("\n") == 1
