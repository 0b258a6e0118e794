"""Registry writes: findings recorded one transaction each into a SQLite file and into a local
PostgreSQL server (Unix socket), from one process and from 4 at once; and how long the
findings kept during an outage take to reach the database once it is back.

Run: make bench (or python bench/bench_registry.py). Needs Debian's postgresql and psycopg;
without them only the SQLite figures are printed.
"""

from __future__ import annotations

import multiprocessing
import os
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

from corvane.trust.registry import TrustRegistry  # noqa: E402

N = 1000


def _write(location: str, n: int, tag: str) -> None:
    reg = TrustRegistry(location)
    for i in range(n):
        reg.record_event(node_id=tag, job_id="bench", event_type="output_stall",
                         severity="WARN", summary=f"{tag} {i}", details={"i": i})


def _one(location: str) -> float:
    TrustRegistry(location)
    start = time.perf_counter()
    _write(location, N, "solo")
    return time.perf_counter() - start


def _four(location: str) -> float:
    ctx = multiprocessing.get_context("fork")
    procs = [ctx.Process(target=_write, args=(location, N, f"p{i}")) for i in range(4)]
    start = time.perf_counter()
    for p in procs:
        p.start()
    for p in procs:
        p.join()
        assert p.exitcode == 0
    elapsed = time.perf_counter() - start
    assert len(TrustRegistry(location).events("bench")) == 5 * N
    return elapsed


def _report(kind: str, location: str) -> None:
    solo = _one(location)
    print(f"{kind:<10} 1 process:   {N} findings in {solo:.2f} s ({N / solo:,.0f}/s)")
    four = _four(location)
    print(f"{kind:<10} 4 processes: {4 * N} findings in {four:.2f} s ({4 * N / four:,.0f}/s)")


def _outage(server) -> None:
    url = server.url()
    reg = TrustRegistry(url, retry_interval_s=2.0)
    reg.start_job("job-outage", "train", {})
    server.stop()
    for i in range(N):
        reg.record_event(node_id="n", job_id="job-outage", event_type="output_stall",
                         severity="WARN", summary=f"kept {i}")
    kept = reg.pending_writes
    server.start()
    back = time.perf_counter()
    left = reg.flush(60)
    print(f"outage     {kept} findings kept while the server was down, written "
          f"{time.perf_counter() - back:.2f} s after it was back ({left} left)")
    assert len(TrustRegistry(url).events("job-outage")) == N


def main() -> int:
    with tempfile.TemporaryDirectory() as tmp:
        _report("sqlite", os.path.join(tmp, "bench.sqlite3"))
    try:
        import pytest  # the server helper skips through pytest when it cannot start

        from postgres_fixture import PostgresServer
    except ImportError as exc:
        print(f"postgresql: not measured ({exc})")
        return 0
    try:
        server = PostgresServer(port=5450)
        server.start()
    except pytest.skip.Exception as exc:
        print(f"postgresql: not measured ({exc})")
        return 0
    try:
        name = server.create_database()
        _report("postgresql", server.url(name))
        _outage(server)
    finally:
        server.cleanup()
    return 0


if __name__ == "__main__":
    sys.exit(main())
