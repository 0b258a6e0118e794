"""A figure with a target: one readable line with the verdict and, when bench/run_all.py
runs the benchmark, a JSON line in the results file it names (CORVANE_BENCH_RESULTS), from
which it prints one table."""

from __future__ import annotations

import json
import operator
import os
import sys

_OPS = {"<": operator.lt, "<=": operator.le, ">=": operator.ge, "==": operator.eq}


def check(figure: str, value: float, op: str, goal: float, unit: str = "",
          shown: str | None = None) -> bool:
    """Prints `shown` (else "figure: value unit") with the target and whether it was met."""
    met = bool(_OPS[op](value, goal))
    target = f"{op} {goal:g}{unit}"
    text = shown if shown is not None else f"{figure}: {value:.3g}{unit}"
    print(f"{text} (target {target}: {'met' if met else 'MISSED'})", flush=True)
    path = os.environ.get("CORVANE_BENCH_RESULTS")
    if path:
        bench = os.path.basename(sys.argv[0])
        with open(path, "a", encoding="utf-8") as fh:
            fh.write(json.dumps({"bench": bench, "figure": figure, "value": f"{value:.3g}{unit}",
                                 "target": target, "met": met}) + "\n")
    return met
