"""A real PyTorch DDP job (torchrun, gloo on the CPU, 4 ranks) under `corvane monitor`: no
finding when it is healthy, each injected fault reported and placed, and nothing left
running after a hung job is ended. One job per scenario."""

import json
import re
import os
import subprocess

import pytest

pytest.importorskip("torch")

from runner_helpers import PY, readme_block  # noqa: E402
from test_monitor_cli import assert_nothing_left, config_file, env  # noqa: E402,F401

ROOT = os.path.join(os.path.dirname(__file__), "..")
EXAMPLE = os.path.join(ROOT, "examples", "ddp_training.py")


def readme_job(tmp_path) -> str:
    """The README's complete DDP job, as written there."""
    path = tmp_path / "train.py"
    path.write_text(readme_block("A complete job (`train.py`):"))
    return str(path)


TORCHRUN = [PY, "-m", "torch.distributed.run", "--standalone", "--nproc-per-node", "4"]


def monitor(tmp_path, env, args, **settings):
    config = config_file(tmp_path, **settings)
    job = subprocess.run([PY, "-m", "corvane", "monitor", "--config", config, "--checkpoint-dir",
                          str(tmp_path / "ck"), "--", *TORCHRUN,
                          *(args or [readme_job(tmp_path)])],
                         env=env, capture_output=True, text=True, timeout=300)
    shown = subprocess.run([PY, "-m", "corvane", "findings", "--json"], env=env,
                           capture_output=True, text=True, check=True).stdout
    findings = [f for f in json.loads(shown)["findings"] if f["severity"] != "INFO"]
    errors = [line for line in job.stdout.splitlines(True)  # a worker's own, above torchrun's
              if re.search(r"terminate|what\(\)|Error:", line)]
    job.shown = job.stdout[-3000:] + job.stderr[-2000:] + "".join(errors)
    return job, {(f["event_type"], f["details"].get("rank"), f["details"].get("phase"))
                 for f in findings}, findings


@pytest.mark.parametrize("args, expected", [
    ([], set()),  # the README's job, healthy
    # Rank 2 is 300 ms slower in its forward pass from step 12 on; rank 1's gradients turn
    # NaN at step 26, and DDP's averaging gives every rank the NaN.
    ([EXAMPLE, "--steps", "30", "--slow-rank", "2", "--slow-from", "12", "--nan-rank", "1",
      "--nan-step", "26"],
     {("phase_straggler", 2, "forward-compute"), ("training_divergence", None, None)}
     | {("rank_divergence", r, None) for r in range(4)}),
    # The learning rate times 1000: the loss leaps before it prints inf or NaN.
    ([EXAMPLE, "--steps", "30", "--blowup-step", "15"], {("loss_spike", None, None)}),
], ids=["healthy", "straggler-and-nan", "loss-blowup"])
def test_ddp_job_findings(tmp_path, env, args, expected):
    job, found, _ = monitor(tmp_path, env, args)
    assert job.returncode == 0, job.shown
    if not expected:
        assert found == set(), job.shown
    assert expected <= found, job.shown
    assert {f for f in found if "straggler" in f[0]} <= expected  # no healthy rank blamed


def test_stuck_rank_is_named_and_the_job_ended(tmp_path, env):
    job, found, findings = monitor(tmp_path, env, [EXAMPLE, "--steps", "60", "--hang-rank", "3",
                                                   "--hang-step", "12"],
                                   hang_detection_timeout="10s", hang_detection_grace="0s",
                                   on_hang="stop", stop_grace="3s")
    assert job.returncode == 124, job.shown
    hang = next(f for f in findings if f["event_type"] == "training_hang")
    assert hang["details"]["stuck_ranks"] == [3] and hang["details"]["step"] == 11
    assert hang["details"]["phase"] == "forward-compute"
    assert_nothing_left(env)
