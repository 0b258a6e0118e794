import os
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
FAKE_BIN = HERE / "fakes" / "bin"


# Outputs recorded in the exact formats of real tools, drivers, kernels, training stacks
# and the marketplace (see recorded/README.md).
RECORDED_FIXTURES = HERE / "fixtures" / "recorded"

# The test machine's own InfiniBand ports are not the tests' to report: the monitors they
# start (in this process or as children) look at an empty root unless a test gives a tree.
os.environ["CORVANE_IB_SYSFS_ROOT"] = str(HERE / "fixtures" / "no-infiniband")


@pytest.fixture
def shared_fixtures() -> Path:
    return RECORDED_FIXTURES


@pytest.fixture
def fake_path(monkeypatch):
    """Put tests/fakes/bin first on PATH so platform tools are the fakes."""
    monkeypatch.setenv("PATH", f"{FAKE_BIN}{os.pathsep}{os.environ.get('PATH', '')}")
    return FAKE_BIN


@pytest.fixture
def empty_path(monkeypatch, tmp_path):
    """A PATH on which no platform tool exists (the interpreter stays reachable)."""
    bindir = tmp_path / "emptybin"
    bindir.mkdir()
    monkeypatch.setenv("PATH", str(bindir))
    return bindir


@pytest.fixture
def python_exe() -> str:
    return sys.executable
from slurm_cluster import slurm_cluster  # noqa: E402,F401 - the real Slurm cluster, one per session
