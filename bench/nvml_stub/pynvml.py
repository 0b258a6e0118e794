"""A stand-in NVML binding for the benchmarks, put first on PYTHONPATH of the monitor.

It is the tests' scripted binding (tests/fake_nvml.py) with CORVANE_STUB_GPUS healthy GPUs
(default 8). When CORVANE_STUB_NVML_EVENTS names a FIFO, each line "<gpu> <xid>" written to
it becomes an Xid event on that GPU's event set as soon as it is read.
"""

import os
import sys
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests"))

import fake_nvml  # noqa: E402

_devices = [fake_nvml.Device(i) for i in range(int(os.environ.get("CORVANE_STUB_GPUS", "8")))]
_binding = fake_nvml.make_binding(_devices)
globals().update({k: v for k, v in vars(_binding).items() if not k.startswith("_")})
NVMLError = fake_nvml.NVMLError
_create = _binding.nvmlEventSetCreate


def _feed(event_set, fifo):
    with open(fifo, encoding="utf-8") as fh:
        for line in fh:
            gpu, xid = map(int, line.split())
            event_set.push(fake_nvml.event(_devices[gpu], fake_nvml.XID, xid))


def nvmlEventSetCreate():
    event_set = _create()
    fifo = os.environ.get("CORVANE_STUB_NVML_EVENTS")
    if fifo:
        threading.Thread(target=_feed, args=(event_set, fifo), daemon=True).start()
    return event_set
