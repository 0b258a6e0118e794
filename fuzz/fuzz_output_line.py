"""Fuzz the job-output parser: any line gives findings without raising, and every native
search answers as the host's `re` does."""

import atheris

with atheris.instrument_imports():
    from _common import run, same, text
    from corvane.monitor import monitoring as m

PATTERNS = ("NAN_INF_PATTERN", "XID_PATTERN", "ECC_PATTERN", "LOSS_PATTERN", "STEP_PATTERN")


def test_one_input(data: bytes) -> None:
    line = text(data)
    steps, losses = [], []
    findings = m._parse_output_line(line, steps, losses)
    assert isinstance(findings, list) and len(steps) <= 1 and len(losses) <= 1
    for name in PATTERNS:
        match = getattr(m, name).search(line)
        native = m._testing.native_search(name, line)
        assert same(native, None if match is None else match.groups()), (name, line)


if __name__ == "__main__":
    run(test_one_input)
