"""Fuzz the hook-file reader: any lines give findings without raising, and the native
reading of reports agrees with the host's JSON decoder."""

import copy

import atheris

with atheris.instrument_imports():
    from _common import run, same, text
    from corvane.config import DEFAULT_CONFIG
    from corvane.monitor import monitoring as m

CONFIG = copy.deepcopy(DEFAULT_CONFIG)
# Seeds that reach deep quickly: well-formed reports of several ranks.
PREFIX = [
    '{"rank": 0, "step": 10, "phase": "forward", "grad_norm": 1.0, "step_time": 0.5}',
    '{"rank": 1, "step": 10, "phase": "forward", "grad_norm": 1.1, "step_time": 0.5}',
    '{"rank": 2, "step": 10, "phase_times": {"forward": 0.2, "backward": 0.3}}',
]


def test_one_input(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    with_prefix = fdp.ConsumeBool()
    lines = (PREFIX if with_prefix else []) + text(fdp.ConsumeBytes(len(data))).split("\n")
    native = m._testing.hook_replay_lines(lines, CONFIG, 1000.0, {"phase": None, "step": None})
    host = m._testing.hook_replay_lines(lines, CONFIG, 1000.0, {"phase": None, "step": None},
                                host_decoder_only=True)
    assert same(native, host), lines


if __name__ == "__main__":
    run(test_one_input)
