"""The cost of one telemetry poll of 8 GPUs with 18 NVLink links each.

- NVML path: `_collect_nvml_snapshots` against a binding whose calls are built-in functions
  (almost free), so the figure is our own work.
- Tool path: `_build_shell_gpu_snapshot` with the fake `nvidia-smi` of the tests (two child
  processes per poll dominate it).
- Detectors: whole telemetry-loop polls over scripted snapshots (conversion, the eight
  detectors, findings), CPU per poll.
Target: our own work per poll under 1 ms for 8 GPUs with 18 links each.

Run: make bench (or python bench/bench_telemetry.py).
"""

from __future__ import annotations

import os
import sys
import threading
import time
import types
from pathlib import Path

from corvane.config import load_config
from corvane.monitor import monitoring as m

GPUS, LINKS = 8, 18


def builtin_binding():
    util = {i: types.SimpleNamespace(gpu=90) for i in range(GPUS)}
    mem = {i: types.SimpleNamespace(used=40 << 30, total=80 << 30) for i in range(GPUS)}
    pci = {i: types.SimpleNamespace(busId=f"00000000:{0x18 + i:02X}:00.0") for i in range(GPUS)}
    b = types.SimpleNamespace(
        NVML_TEMPERATURE_GPU=0, NVML_MEMORY_ERROR_TYPE_CORRECTED=0,
        NVML_MEMORY_ERROR_TYPE_UNCORRECTED=1, NVML_VOLATILE_ECC=0,
        NVML_NVLINK_ERROR_DL_REPLAY=0, NVML_NVLINK_ERROR_DL_CRC_FLIT=2,
        NVML_NVLINK_ERROR_DL_CRC_DATA=3, NVML_NVLINK_ERROR_DL_RECOVERY=1,
        NVML_ERROR_GPU_IS_LOST=15)
    b.nvmlDeviceGetPciInfo = pci.__getitem__
    b.nvmlDeviceGetTemperature = max
    b.nvmlDeviceGetUtilizationRates = util.__getitem__
    b.nvmlDeviceGetMemoryInfo = mem.__getitem__
    b.nvmlDeviceGetPowerUsage = abs
    b.nvmlDeviceGetEnforcedPowerLimit = abs
    b.nvmlDeviceGetCurrentClocksThrottleReasons = abs
    b.nvmlDeviceGetTotalEccErrors = max
    b.nvmlDeviceGetPcieReplayCounter = abs
    b.nvmlDeviceGetNvLinkState = max
    b.nvmlDeviceGetNvLinkErrorCounter = max
    return b


def per_call(fn, seconds=1.0) -> float:
    n, start = 0, time.perf_counter()
    while time.perf_counter() - start < seconds:
        fn()
        n += 1
    return (time.perf_counter() - start) / n


def main() -> int:
    print(f"Python {sys.version.split()[0]}, {GPUS} GPUs x {LINKS} links")
    m.pynvml = builtin_binding()
    backend = {"handles": [(i, i) for i in range(GPUS)], "pci_map": {}}
    snaps = m._collect_nvml_snapshots(backend, link_count=LINKS)
    links = sum(len(s["nvlink_errors"]) for s in snaps)
    t = per_call(lambda: m._collect_nvml_snapshots(backend, link_count=LINKS))
    print(f"NVML path, snapshots of one poll ({links} active links): {t * 1e3:.3f} ms")

    fakes = Path(__file__).resolve().parent.parent / "tests" / "fakes" / "bin"
    shared = Path(__file__).resolve().parent.parent / "tests" / "fixtures" / "recorded" / "nvidia-smi"
    if shared.is_dir():
        os.environ["PATH"] = f"{fakes}{os.pathsep}{os.environ['PATH']}"
        os.environ["CORVANE_FAKE_SMI_DIR"] = str(shared)
        os.environ["CORVANE_FAKE_SMI_CASE"] = "h100x8-healthy"
        t = per_call(m._build_shell_gpu_snapshot)
        print(f"tool path with the fake nvidia-smi (two child processes): {t * 1e3:.2f} ms")

    # Whole loop polls over the NVML snapshots, with counters that rise a little.
    polls = 300
    state = {"n": 0}

    def read(mode, be, link_count=18):
        state["n"] += 1
        if state["n"] > polls:
            done.set()
            return []
        out = []
        for s in snaps:
            s = dict(s)
            s["ecc_corrected"] = state["n"] // 50
            s["nvlink_errors"] = {l: {k: v + state["n"] // 100 for k, v in c.items()}
                                  for l, c in s["nvlink_errors"].items()}
            out.append(s)
        return out

    class Quick(threading.Event):
        def wait(self, timeout=None):
            return super().wait(0 if timeout is not None else None)

    done = threading.Event()
    m._build_nvml_backend = lambda: ("nvml", backend)
    m._read_gpu_snapshots = read
    m.detect_gpu_inventory = lambda: []
    config = load_config()
    findings, lock, stop = [], threading.Lock(), Quick()
    start = time.perf_counter()

    def body():
        m._hardware_telemetry_loop(config, findings, lock, stop, [time.time()], None, None, None, [True])

    thread = threading.Thread(target=body)
    thread.start()
    done.wait()
    stop.set()
    thread.join()
    wall = time.perf_counter() - start
    print(f"telemetry loop, whole polls incl. detectors: {wall / polls * 1e3:.3f} ms per poll "
          f"({len(findings)} findings over {polls} polls; includes building the scripted snapshots)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
