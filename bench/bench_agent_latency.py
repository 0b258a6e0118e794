"""Fault on another node to finding in the job's monitor, through the agent step.

A real two-node Slurm cluster (tests/slurm_cluster.py: n1, n2 on this machine) runs
`sbatch -N2` with `corvane monitor` at the default configuration (5 s poll) and scheduler
"slurm": the monitor runs on n1 and starts `corvane agent` on n2. Faults are made on n2
only, and each is timed from the moment it is made to the moment the monitor records its
finding (the registry's recorded_at, written right after the line is printed):
- kernel log: Xid lines written into n2's kernel log (a `dmesg -w` stand-in streaming a
  FIFO that only n2's watcher reads), at random intervals of 50-150 ms;
- telemetry: a GPU of n2's synthetic GPUs overheats (the injection rules change), which the
  agent sees at its next poll, so up to one poll interval (5 s) is the poll's own wait.

Needs root and Debian's slurm-wlm and munge. Run: python bench/bench_agent_latency.py
"""

from __future__ import annotations

import argparse
import json
import os
import random
import sqlite3
import statistics
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

from slurm_cluster import SlurmCluster, SlurmUnavailable  # noqa: E402

GPUS = 5
DMESG = """#!/bin/sh
# Kernel log of one test node: with -w, the FIFO of this node if there is one.
f="$BENCH_KMSG_DIR/kmsg-${SLURMD_NODENAME:-none}"
for a in "$@"; do
  if [ "$a" = -w ]; then
    if [ -p "$f" ]; then exec cat "$f"; fi
    exec sleep 3600
  fi
done
exit 0
"""
JOB = "import os, sys, time\nwhile not os.path.exists(sys.argv[1]):\n    time.sleep(0.1)\n"


def rules(hot: int) -> dict:
    gpus = [{"name": "NVIDIA H100 80GB HBM3", "pci_bus_id": f"00000000:{0x3B + i:02X}:00.0",
             "readings": {"temperature_c": 50, "util_gpu": 90}} for i in range(GPUS)]
    return {"gpus": gpus, "rules": [{"gpu": i, "set": {"temperature_c": 97}}
                                    for i in range(hot)]}


def recorded(db: Path, where: str) -> dict[str, float]:
    try:
        conn = sqlite3.connect(db)
        try:
            return {s: t for s, t in conn.execute(
                "SELECT summary, recorded_at FROM events WHERE node_id = 'n2' AND " + where)}
        finally:
            conn.close()
    except sqlite3.OperationalError:
        return {}


def wait_until(condition, seconds: float):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.01)
    return condition()


def report(name: str, lat_ms: list[float], missing: int) -> None:
    if not lat_ms:
        print(f"{name:<10} no finding arrived ({missing} missing)")
        return
    lat_ms.sort()
    p99 = lat_ms[min(len(lat_ms) - 1, int(round(0.99 * (len(lat_ms) - 1))))]
    print(f"{name:<10} n={len(lat_ms):3d}  p50 {statistics.median(lat_ms):7.1f} ms  "
          f"p99 {p99:7.1f} ms  max {lat_ms[-1]:7.1f} ms"
          + (f"  ({missing} missing)" if missing else ""))


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--events", type=int, default=30, help="kernel-log faults")
    args = ap.parse_args()
    try:
        cluster = SlurmCluster().start()
    except SlurmUnavailable as exc:
        print(f"agent latency: skipped, no Slurm cluster here ({exc})")
        return 0
    with tempfile.TemporaryDirectory(prefix="corvane-bench-") as tmp, cluster:
        tmp = Path(tmp)
        (tmp / "bin").mkdir()
        (tmp / "bin" / "dmesg").write_text(DMESG)
        (tmp / "bin" / "dmesg").chmod(0o755)
        os.mkfifo(tmp / "kmsg-n2")
        (tmp / "job.py").write_text(JOB)
        (tmp / "c.toml").write_text('[cluster]\nscheduler = "slurm"\n[recovery]\nenabled = false\n')
        rules_file = tmp / "rules.json"
        rules_file.write_text(json.dumps(rules(0)))
        db, gate = tmp / "r.sqlite3", tmp / "gate"
        env = {k: v for k, v in os.environ.items() if not k.startswith(("SLURM", "CORVANE_"))}
        env.update(PATH=f"{tmp / 'bin'}:{env.get('PATH', '')}", BENCH_KMSG_DIR=str(tmp),
                   CORVANE_REGISTRY=str(db), CORVANE_INJECT="1",
                   CORVANE_INJECT_RULES=str(rules_file), CORVANE_INJECT_NODES="n2")
        script = tmp / "job.sh"
        script.write_text(f"#!/bin/sh\nexec {sys.executable} -m corvane monitor --config "
                          f"{tmp / 'c.toml'} --checkpoint-dir {tmp / 'ckpt'} -- "
                          f"{sys.executable} {tmp / 'job.py'} {gate}\n")
        print(f"{cluster.version}, nodes {', '.join(cluster.nodes)}; monitor on n1, agent on n2; "
              "default configuration (poll 5 s)")
        out = cluster.run(["sbatch", "--parsable", "-N2", f"--output={tmp / 'out.txt'}",
                           str(script)], env=env, cwd=tmp)
        if out.returncode != 0:
            print(f"sbatch failed: {out.stderr.strip()}")
            return 1
        try:
            rng = random.Random(7)
            sent: dict[int, float] = {}
            with open(tmp / "kmsg-n2", "w") as kmsg:  # opens once n2's watcher reads it
                time.sleep(1.0)
                for code in range(1000, 1000 + args.events):
                    time.sleep(rng.uniform(0.05, 0.15))
                    sent[code] = time.time()
                    kmsg.write(f"[ 1.0] NVRM: Xid (PCI:0000:3b:00): {code}, pid=1, name=python\n")
                    kmsg.flush()
                wait_until(lambda: len(recorded(db, "event_type = 'xid_critical'")) >= len(sent),
                           10)
            got = recorded(db, "event_type = 'xid_critical'")
            lat = [(t - sent[c]) * 1000 for c in sent
                   for s, t in got.items() if f"XID {c} " in s]
            report("kernel log", lat, len(sent) - len(lat))

            lat = []
            for hot in range(1, GPUS + 1):
                time.sleep(rng.uniform(0, 5))  # anywhere in the agent's poll period
                made = time.time()
                rules_file.write_text(json.dumps(rules(hot)))
                summary = f"GPU {hot - 1} temperature reached 97.0C"
                at = wait_until(lambda: recorded(db, "event_type = 'thermal_warning'").get(summary),
                                15)
                if at:
                    lat.append((at - made) * 1000)
            report("telemetry", lat, GPUS - len(lat))
        finally:
            gate.write_text("")
            cluster.wait_queue_empty(30)
        text = (tmp / "out.txt").read_text()
        shown = [line for line in text.splitlines() if "[node n2" in line]
        print(f"monitor output: {len(shown)} finding line(s) from n2, e.g. "
              f"{shown[0] if shown else '-'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
