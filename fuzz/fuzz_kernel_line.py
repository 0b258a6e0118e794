"""Fuzz the kernel-log line searches against the host's `re` on the same patterns."""

import atheris

with atheris.instrument_imports():
    from _common import run, same, text
    from corvane.monitor import monitoring as m

PATTERNS = ("DMESG_XID_PATTERN", "DMESG_XID_MIG_PATTERN")


def test_one_input(data: bytes) -> None:
    line = text(data)
    for name in PATTERNS:
        match = getattr(m, name).search(line)
        native = m._testing.native_kernel_search(name, line)
        assert same(native, None if match is None else match.groups()), (name, line)
    # The AER search also drops the kernel's harmless "enabled" notes, so only its
    # stability is checked here: it answers, and answers the same twice.
    aer = m._testing.native_kernel_search("PCIE_AER_PATTERN", line)
    assert aer == m._testing.native_kernel_search("PCIE_AER_PATTERN", line)


if __name__ == "__main__":
    run(test_one_input)
