import os
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
FAKE_BIN = HERE / "fakes" / "bin"


def _shared_fixtures() -> Path:
    # shared/ lies beside the checkout, both here and on CI.
    for base in (HERE.parent.parent / "shared", HERE.parent / "shared"):
        if (base / "fixtures").is_dir():
            return base / "fixtures"
    return HERE / "fixtures" / "missing"


SHARED_FIXTURES = _shared_fixtures()


@pytest.fixture
def shared_fixtures() -> Path:
    if not SHARED_FIXTURES.is_dir():
        pytest.skip("recorded fixtures (shared/fixtures) are not beside this checkout")
    return SHARED_FIXTURES


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
