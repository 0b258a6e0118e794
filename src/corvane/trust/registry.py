"""The trust registry: nodes, jobs, findings and recovery events in one SQLite file.

Every operation opens its own short transaction, so several threads and processes can
share one file; SQLite's write-ahead log and a busy time-out settle their turns.
"""

from __future__ import annotations

import errno
import json
import os
import sqlite3
import time
from contextlib import closing
from pathlib import Path

_SCHEMA = """
CREATE TABLE IF NOT EXISTS nodes (
    node_id TEXT PRIMARY KEY,
    gpu_type TEXT,
    first_seen REAL NOT NULL,
    last_seen REAL NOT NULL
);
CREATE TABLE IF NOT EXISTS jobs (
    job_id TEXT PRIMARY KEY,
    command TEXT NOT NULL,
    metadata TEXT NOT NULL,
    status TEXT NOT NULL,
    node_ids TEXT,
    started_at REAL NOT NULL,
    finished_at REAL
);
CREATE TABLE IF NOT EXISTS events (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    recorded_at REAL NOT NULL,
    node_id TEXT,
    job_id TEXT,
    event_type TEXT NOT NULL,
    severity TEXT NOT NULL,
    summary TEXT NOT NULL,
    details TEXT NOT NULL,
    gpu_type TEXT
);
CREATE INDEX IF NOT EXISTS events_by_job ON events (job_id, id);
CREATE TABLE IF NOT EXISTS recovery_events (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    recorded_at REAL NOT NULL,
    job_id TEXT,
    node_id TEXT,
    mode TEXT,
    status TEXT NOT NULL,
    summary TEXT,
    plan TEXT NOT NULL,
    details TEXT NOT NULL,
    replacement_node TEXT
);
"""


def default_registry_path() -> Path:
    """$CORVANE_REGISTRY, else the user's state directory."""
    explicit = os.environ.get("CORVANE_REGISTRY")
    if explicit:
        return Path(explicit).expanduser()
    state = os.environ.get("XDG_STATE_HOME") or os.path.join(os.path.expanduser("~"), ".local",
                                                              "state")
    return Path(state) / "corvane" / "registry.sqlite3"


def _to_json(value) -> str:
    # Details come from detectors and may hold any host value; keep what JSON can't say
    # as its text rather than losing the record.
    return json.dumps(value, default=repr, sort_keys=False)


def _reason(exc: BaseException) -> str:
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror
    return str(exc).splitlines()[0] if str(exc) else type(exc).__name__


def _from_json(text):
    return json.loads(text) if text is not None else None


class RegistryError(RuntimeError):
    """The registry file can't be used; the message is one line naming the file."""


def _create_private_file(path: Path) -> None:
    # The registry holds command lines and host names: readable by its owner only,
    # whatever the umask.
    try:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
    except FileExistsError:
        return
    try:
        os.fchmod(fd, 0o600)
    finally:
        os.close(fd)


def _make_private_dirs(path: Path) -> None:
    missing = []
    while not path.exists() and path != path.parent:
        missing.append(path)
        path = path.parent
    for d in reversed(missing):
        try:
            d.mkdir(mode=0o700)
        except FileExistsError:
            continue
        os.chmod(d, 0o700)


class TrustRegistry:
    def __init__(self, path: str | os.PathLike | None = None, busy_timeout_s: float = 30.0,
                 create: bool = True):
        self.path = Path(path) if path is not None else default_registry_path()
        self._timeout = busy_timeout_s
        try:
            if self.path.is_dir():
                raise IsADirectoryError(errno.EISDIR, "is a directory")
            if not self.path.exists():
                if not create:
                    raise FileNotFoundError(errno.ENOENT, "no such registry")
                _make_private_dirs(self.path.parent)
                _create_private_file(self.path)
            with closing(self._connect()) as conn, conn:
                conn.executescript(_SCHEMA)
        except (OSError, sqlite3.Error) as exc:
            raise RegistryError(f"cannot use the registry {self.path}: {_reason(exc)}") from None

    def _connect(self) -> sqlite3.Connection:
        conn = sqlite3.connect(self.path, timeout=self._timeout)
        conn.row_factory = sqlite3.Row
        conn.execute("PRAGMA journal_mode=WAL")
        conn.execute("PRAGMA synchronous=NORMAL")
        return conn

    def _write(self, sql: str, params: tuple) -> None:
        with closing(self._connect()) as conn, conn:
            conn.execute(sql, params)

    def _read(self, sql: str, params: tuple = ()) -> list[dict]:
        with closing(self._connect()) as conn:
            return [dict(row) for row in conn.execute(sql, params)]

    # -- what the monitor records -------------------------------------------------------

    def ensure_node(self, node_id: str, gpu_type: str | None = None) -> None:
        now = time.time()
        self._write(
            "INSERT INTO nodes (node_id, gpu_type, first_seen, last_seen) VALUES (?, ?, ?, ?) "
            "ON CONFLICT(node_id) DO UPDATE SET last_seen = excluded.last_seen, "
            "gpu_type = COALESCE(excluded.gpu_type, nodes.gpu_type)",
            (str(node_id), gpu_type, now, now))

    def start_job(self, job_id: str, command_text: str, metadata: dict | None = None) -> None:
        self._write(
            "INSERT OR REPLACE INTO jobs (job_id, command, metadata, status, started_at) "
            "VALUES (?, ?, ?, 'running', ?)",
            (str(job_id), str(command_text), _to_json(metadata or {}), time.time()))

    def record_event(self, *, node_id, job_id, event_type, severity, summary, details=None,
                     gpu_type=None) -> None:
        self._write(
            "INSERT INTO events (recorded_at, node_id, job_id, event_type, severity, summary, "
            "details, gpu_type) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
            (time.time(), node_id, job_id, str(event_type), str(severity), str(summary),
             _to_json(details or {}), gpu_type))

    def record_recovery_event(self, *, job_id, node_id, mode, status, summary, plan, details=None,
                              replacement_node=None) -> None:
        self._write(
            "INSERT INTO recovery_events (recorded_at, job_id, node_id, mode, status, summary, "
            "plan, details, replacement_node) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
            (time.time(), job_id, node_id, mode, str(status), summary, _to_json(plan or {}),
             _to_json(details or {}), replacement_node))

    def finish_job(self, job_id: str, status: str, node_ids=None, details=None) -> None:
        """Records the job's end; `details` (why it ended: a signal, a start failure) is kept
        in its metadata under "end"."""
        with closing(self._connect()) as conn, conn:
            if details:
                row = conn.execute("SELECT metadata FROM jobs WHERE job_id = ?",
                                   (str(job_id),)).fetchone()
                metadata = _from_json(row["metadata"]) if row is not None else {}
                if not isinstance(metadata, dict):
                    metadata = {"metadata": metadata}
                metadata["end"] = details
                conn.execute("UPDATE jobs SET metadata = ? WHERE job_id = ?",
                             (_to_json(metadata), str(job_id)))
            conn.execute(
                "UPDATE jobs SET status = ?, finished_at = ?, node_ids = ? WHERE job_id = ?",
                (str(status), time.time(), _to_json(list(node_ids or [])), str(job_id)))

    # -- reading back -------------------------------------------------------------------

    def _rows(self, table: str, json_fields: tuple[str, ...], where: str = "", params=(),
              order: str = "id") -> list[dict]:
        rows = self._read(f"SELECT * FROM {table} {where} ORDER BY {order}", tuple(params))
        for row in rows:
            for name in json_fields:
                row[name] = _from_json(row[name])
        return rows

    def nodes(self) -> list[dict]:
        return self._rows("nodes", (), order="node_id")

    def jobs(self, limit: int = 50) -> list[dict]:
        return self._rows("jobs", ("metadata", "node_ids"), "", (),
                          f"started_at DESC LIMIT {int(limit)}")

    def job(self, job_id: str) -> dict | None:
        rows = self._rows("jobs", ("metadata", "node_ids"), "WHERE job_id = ?", (str(job_id),),
                          "job_id")
        return rows[0] if rows else None

    def events(self, job_id: str | None = None) -> list[dict]:
        if job_id is None:
            return self._rows("events", ("details",))
        return self._rows("events", ("details",), "WHERE job_id = ?", (str(job_id),))

    def recovery_events(self, job_id: str | None = None) -> list[dict]:
        if job_id is None:
            return self._rows("recovery_events", ("plan", "details"))
        return self._rows("recovery_events", ("plan", "details"), "WHERE job_id = ?",
                          (str(job_id),))
