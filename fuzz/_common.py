"""Shared set-up of the fuzz targets: atheris, and the failure that stops a run."""

from __future__ import annotations

import math
import sys

import atheris


def run(test_one_input) -> None:
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


def text(data: bytes) -> str:
    """Any host str, lone surrogates and control characters included."""
    fdp = atheris.FuzzedDataProvider(data)
    return fdp.ConsumeUnicode(len(data))


def same(a, b) -> bool:
    """Equality that counts NaN equal to NaN, through lists, tuples, maps and records."""
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    if isinstance(a, (list, tuple)) and isinstance(b, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if hasattr(a, "event_type") and hasattr(b, "event_type"):
        return same((a.event_type, a.severity, a.summary, a.details),
                    (b.event_type, b.severity, b.summary, b.details))
    return a == b
