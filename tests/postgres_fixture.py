"""A throw-away PostgreSQL server for tests: initdb in a temporary directory, a Unix socket
only (no network), started and stopped by this module by pid."""

from __future__ import annotations

import glob
import os
import pwd
import shutil
import signal
import subprocess
import tempfile
import time
import uuid
from pathlib import Path

import pytest

from runner_helpers import tool_env


def _bindir() -> str | None:
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"))
    if found:
        return os.path.dirname(found[-1])
    initdb = shutil.which("initdb")
    return os.path.dirname(initdb) if initdb else None


class PostgresServer:
    """One cluster; `stop()` and `start()` may be called again to take it away and back."""

    def __init__(self, port: int = 5432):
        self.bindir = _bindir()
        if self.bindir is None:
            pytest.skip("PostgreSQL server programs are not installed (Debian: postgresql)")
        pytest.importorskip("psycopg", reason="psycopg is not installed")
        self.port = port
        self.root = Path(tempfile.mkdtemp(prefix="corvane-pg-"))
        os.chmod(self.root, 0o711)
        self.data = self.root / "data"
        self.sock = self.root / "sock"
        self.log = self.root / "postgres.log"
        self._proc: subprocess.Popen | None = None
        # initdb refuses to run as root: the server runs as "postgres" then.
        self._as = {}
        if os.geteuid() == 0:
            try:
                pw = pwd.getpwnam("postgres")
            except KeyError:
                pytest.skip("running as root and there is no postgres user to run the server")
            self._as = {"user": pw.pw_uid, "group": pw.pw_gid, "extra_groups": []}
        for d in (self.data, self.sock):
            d.mkdir(mode=0o700)
            if self._as:
                os.chown(d, self._as["user"], self._as["group"])
        proc = subprocess.run([f"{self.bindir}/initdb", "-D", str(self.data), "-U", "postgres",
                               "--auth=trust", "--encoding=UTF8", "--locale=C.UTF-8",
                               "--no-sync"], capture_output=True, text=True, cwd="/",
                              timeout=120, env=tool_env(), **self._as)
        if proc.returncode != 0:
            self.cleanup()
            pytest.skip(f"initdb failed: {proc.stderr.strip()[-300:]}")

    def url(self, dbname: str = "postgres", user: str = "postgres") -> str:
        return f"postgresql:///{dbname}?host={self.sock}&port={self.port}&user={user}"

    def start(self, deadline_s: float = 30.0) -> None:
        assert self._proc is None
        logfile = open(self.log, "ab")
        if self._as:
            os.chown(self.log, self._as["user"], self._as["group"])
        self._proc = subprocess.Popen(
            [f"{self.bindir}/postgres", "-D", str(self.data), "-k", str(self.sock), "-c",
             "listen_addresses=", "-p", str(self.port), "-c", "fsync=off"],
            stdout=logfile, stderr=subprocess.STDOUT, cwd="/", env=tool_env(), **self._as)
        logfile.close()
        import psycopg

        end = time.monotonic() + deadline_s
        while True:
            try:
                psycopg.connect(self.url(), connect_timeout=2).close()
                return
            except psycopg.OperationalError:
                if self._proc.poll() is not None or time.monotonic() > end:
                    text = self.log.read_text(errors="replace")[-500:]
                    self.stop()
                    pytest.skip(f"the PostgreSQL server did not start: {text}")
                time.sleep(0.05)  # polling for the socket to accept, with a deadline

    def stop(self) -> None:
        proc, self._proc = self._proc, None
        if proc is None:
            return
        if proc.poll() is None:
            proc.send_signal(signal.SIGINT)  # fast shutdown: open connections are cut
        try:
            proc.wait(30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()

    def create_database(self, owner: str | None = None) -> str:
        import psycopg

        name = "t_" + uuid.uuid4().hex[:12]
        with psycopg.connect(self.url(), autocommit=True) as conn:
            if owner and not conn.execute("SELECT 1 FROM pg_roles WHERE rolname = %s",
                                          (owner,)).fetchone():
                conn.execute(f'CREATE ROLE "{owner}" LOGIN')
            conn.execute(f'CREATE DATABASE "{name}"' + (f' OWNER "{owner}"' if owner else ""))
        return name

    def cleanup(self) -> None:
        self.stop()
        shutil.rmtree(self.root, ignore_errors=True)


@pytest.fixture(scope="session")
def postgres_server():
    server = PostgresServer()
    server.start()
    yield server
    server.cleanup()


@pytest.fixture
def postgres_url(postgres_server):
    """A fresh database on the shared server, owned by an ordinary role."""
    name = postgres_server.create_database(owner="corvane")
    return postgres_server.url(name, user="corvane")
