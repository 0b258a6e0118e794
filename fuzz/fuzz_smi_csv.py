"""Fuzz the `nvidia-smi` CSV readers: whatever the tool prints, the snapshot builder gives
a list of per-GPU maps and never raises."""

import atheris

with atheris.instrument_imports():
    from _common import run, text
    from corvane.monitor import monitoring as m
    from corvane.provision.environment import ShellResult

_out = {"main": "", "replay": ""}


def fake_run_shell(command, timeout=15, **_kw):
    key = "replay" if "replay" in command or "pcie" in command.lower() else "main"
    return ShellResult(command, 0, _out[key], "")


m.run_shell = fake_run_shell
m.detect_gpu_inventory = lambda *a, **k: []


def test_one_input(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    _out["main"] = text(fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, len(data))))
    _out["replay"] = text(fdp.ConsumeBytes(len(data)))
    snapshots = m._build_shell_gpu_snapshot()
    assert isinstance(snapshots, list)
    for snap in snapshots:
        assert isinstance(snap, dict)


if __name__ == "__main__":
    run(test_one_input)
