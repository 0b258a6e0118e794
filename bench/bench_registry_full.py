"""A job that fills the disk its registry is on: nothing printed goes unrecorded.

The registry lives on a small tmpfs of its own (a private mount namespace: needs root or
CAP_SYS_ADMIN, `unshare -m`). The job prints findings, fills that file system to the last
byte, and prints more. `corvane monitor` keeps what the registry no longer takes, puts it
in a journal at the end (beside the registry if it fits there, else in the state
directory), and the next open of the registry, once space is freed, replays it.

Prints the findings the monitor printed, the records in the registry before and after the
journal is replayed (target: after = printed), the monitor's exit status and its last line.

Run: make bench (or python bench/bench_registry_full.py [--findings 40] [--size-kb 512]).
"""

from __future__ import annotations

import argparse
import json
import os
import re
import shlex
import subprocess
import sys
import tempfile

from targets import check

JOB = r"""
import errno, os, sys
folder, count = sys.argv[1], int(sys.argv[2])
for xid in range(1, count // 4):  # each a finding of its own
    print(f"Xid {xid} on GPU 0", flush=True)
with open(os.path.join(folder, "filler"), "wb") as fh:  # the disk fills up
    try:
        while True:
            fh.write(b"\0" * 65536)
            fh.flush()
    except OSError as exc:
        assert exc.errno == errno.ENOSPC, exc
print("the registry's disk is full", flush=True)
for xid in range(count // 4, count + 1):
    print(f"Xid {xid} on GPU 0", flush=True)
"""


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--findings", type=int, default=40)
    ap.add_argument("--size-kb", type=int, default=512)
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        disk, state = os.path.join(tmp, "disk"), os.path.join(tmp, "state")
        os.mkdir(disk)
        registry = os.path.join(disk, "r.sqlite3")
        corvane = f"{shlex.quote(sys.executable)} -m corvane"
        findings = f"{corvane} findings --json --registry {shlex.quote(registry)}"
        script = (
            f"mount -t tmpfs -o size={args.size_kb}k tmpfs {shlex.quote(disk)} || exit 99\n"
            f"{corvane} monitor --registry {shlex.quote(registry)} --checkpoint-dir "
            f"{shlex.quote(os.path.join(tmp, 'ck'))} -- {shlex.quote(sys.executable)} -c "
            f"{shlex.quote(JOB)} {shlex.quote(disk)} {args.findings} > {tmp}/monitor.out "
            f"2> {tmp}/monitor.err\n"
            f"echo $? > {tmp}/status\n"
            f"{findings} > {tmp}/before.json 2> {tmp}/before.err\n"
            f"rm -f {shlex.quote(disk)}/filler\n"
            f"{findings} > {tmp}/after.json 2> {tmp}/after.err\n")
        env = dict(os.environ, XDG_STATE_HOME=state, CORVANE_REGISTRY_FLUSH_S="2")
        proc = subprocess.run(["unshare", "-m", "sh", "-c", script], env=env,
                              capture_output=True, text=True)
        if proc.returncode == 99 or not os.path.exists(f"{tmp}/status"):
            print("registry-full job: skipped (needs a private tmpfs: root or CAP_SYS_ADMIN)")
            return
        with open(f"{tmp}/monitor.out") as fh:
            out = fh.read()
        with open(f"{tmp}/monitor.err") as fh:
            err = fh.read().splitlines()
        printed = len(re.findall(r"^\[corvane \d\d:\d\d:\d\d\] ", out, re.M))
        counts = []
        for name in ("before", "after"):
            try:
                with open(f"{tmp}/{name}.json") as fh:
                    counts.append(len(json.load(fh)["findings"]))
            except (OSError, ValueError):
                counts.append(None)
        with open(f"{tmp}/status") as fh:
            status = fh.read().strip()
        with open(f"{tmp}/before.err") as fh:
            before_err = fh.read().strip()
    check("registry-full job: records after replay", counts[1] or 0, "==", printed, "",
          f"registry-full job: findings printed {printed}; records in the registry before the "
          f"journal was replayed {counts[0]}, after {counts[1]}; monitor exit {status}")
    if err:
        print(f"  its last line: {err[-1]}")
    if counts[0] is None:
        print(f"  reading the full registry: {before_err}")


if __name__ == "__main__":
    main()
