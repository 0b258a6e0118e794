"""The trust registry: nodes, jobs, findings and recovery events, in a SQLite file (the
default) or a PostgreSQL database that many machines share.

Every operation is its own short transaction, so several threads and processes can share one
registry. The tables carry a schema version: an older registry is upgraded in place when it
is opened, a newer one is refused.

Writes are never lost to a database that goes away for a while: a write that fails because
the server cannot be reached is kept in memory, in order, and retried (in the background and
before every later write) until the server answers again. The monitor's job goes on meanwhile.
"""

from __future__ import annotations

import errno
import json
import logging
import os
import re
import sqlite3
import threading
import time
import urllib.parse
from collections import deque
from contextlib import closing, contextmanager
from pathlib import Path

log = logging.getLogger(__name__)

# The tables of each schema version, in order. A registry made before versions were kept has
# the tables of version 1 and no version table. {ID} and {REAL} stand for the column types
# each database spells differently.
_MIGRATIONS: tuple[tuple[str, ...], ...] = (
    (
        """CREATE TABLE IF NOT EXISTS nodes (
            node_id TEXT PRIMARY KEY,
            gpu_type TEXT,
            first_seen {REAL} NOT NULL,
            last_seen {REAL} NOT NULL)""",
        """CREATE TABLE IF NOT EXISTS jobs (
            job_id TEXT PRIMARY KEY,
            command TEXT NOT NULL,
            metadata TEXT NOT NULL,
            status TEXT NOT NULL,
            node_ids TEXT,
            started_at {REAL} NOT NULL,
            finished_at {REAL})""",
        """CREATE TABLE IF NOT EXISTS events (
            id {ID},
            recorded_at {REAL} NOT NULL,
            node_id TEXT,
            job_id TEXT,
            event_type TEXT NOT NULL,
            severity TEXT NOT NULL,
            summary TEXT NOT NULL,
            details TEXT NOT NULL,
            gpu_type TEXT)""",
        "CREATE INDEX IF NOT EXISTS events_by_job ON events (job_id, id)",
        """CREATE TABLE IF NOT EXISTS recovery_events (
            id {ID},
            recorded_at {REAL} NOT NULL,
            job_id TEXT,
            node_id TEXT,
            mode TEXT,
            status TEXT NOT NULL,
            summary TEXT,
            plan TEXT NOT NULL,
            details TEXT NOT NULL,
            replacement_node TEXT)""",
    ),
    (
        # A node's state set by hand (`corvane trust block|allow`).
        """CREATE TABLE IF NOT EXISTS node_trust (
            node_id TEXT PRIMARY KEY,
            state TEXT NOT NULL,
            reason TEXT,
            set_at {REAL} NOT NULL)""",
        # Instances rented through corvane, with the machine each runs on.
        """CREATE TABLE IF NOT EXISTS instances (
            instance_id TEXT NOT NULL,
            provider TEXT NOT NULL,
            machine_id TEXT,
            gpu_type TEXT,
            price_per_hour {REAL},
            launched_at {REAL} NOT NULL,
            details TEXT NOT NULL,
            PRIMARY KEY (provider, instance_id))""",
        "CREATE INDEX IF NOT EXISTS events_by_type ON events (event_type, severity)",
    ),
    (
        # A finding that recurs is counted on its event: how often, and when it was last seen
        # (recorded_at is when it was first seen).
        "ALTER TABLE events ADD COLUMN occurrences INTEGER NOT NULL DEFAULT 1",
        "ALTER TABLE events ADD COLUMN last_seen {REAL}",
    ),
)
SCHEMA_VERSION = len(_MIGRATIONS)


def registry_location() -> str:
    """$CORVANE_REGISTRY (a file path or a postgresql:// URL), else the file in the user's
    state directory."""
    explicit = os.environ.get("CORVANE_REGISTRY")
    if explicit and is_database_url(explicit):
        return explicit
    return str(default_registry_path())


def default_registry_path() -> Path:
    """$CORVANE_REGISTRY, else the user's state directory."""
    explicit = os.environ.get("CORVANE_REGISTRY")
    if explicit:
        return Path(explicit).expanduser()
    state = os.environ.get("XDG_STATE_HOME") or os.path.join(os.path.expanduser("~"), ".local",
                                                              "state")
    return Path(state) / "corvane" / "registry.sqlite3"


def is_database_url(location) -> bool:
    return isinstance(location, str) and re.match(r"postgres(ql)?://", location) is not None


_SECRET_PARAMS = {"password", "passfile", "sslpassword", "sslkey"}


def redact_url(url: str) -> str:
    """The URL with its password (in the user part or the query) left out."""
    try:
        parts = urllib.parse.urlsplit(url)
    except ValueError:
        return "postgresql://(unreadable URL)"
    netloc = parts.netloc
    if "@" in netloc:
        user, _, host = netloc.rpartition("@")
        netloc = user.partition(":")[0] + "@" + host
    query = "&".join(f"{k}=***" if k.lower() in _SECRET_PARAMS else f"{k}={v}"
                     for k, v in (p.partition("=")[::2] for p in parts.query.split("&") if p))
    return f"{parts.scheme}://{netloc}{parts.path}" + (f"?{query}" if query else "")


def _secrets_of(url: str) -> list[str]:
    try:
        parts = urllib.parse.urlsplit(url)
        found = [parts.password] if parts.password else []
        found.append(parts.netloc.rpartition("@")[0].partition(":")[2])  # as written
        found += [v for k, v in urllib.parse.parse_qsl(parts.query) if k.lower() in _SECRET_PARAMS]
    except ValueError:
        return [url]
    # Also as they appear encoded in the URL itself.
    return [s for s in found + [urllib.parse.quote(s, safe="") for s in found] if s]


def _to_json(value) -> str:
    # Details come from detectors and may hold any host value; keep what JSON can't say
    # as its text rather than losing the record.
    return json.dumps(value, default=repr, sort_keys=False)


def _reason(exc: BaseException) -> str:
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror
    text = " ".join(str(exc).split())
    return text or type(exc).__name__


def _from_json(text):
    return json.loads(text) if text is not None else None


class RegistryError(RuntimeError):
    """The registry can't be used; the message is one line naming it (without credentials)."""


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


class _SqliteStore:
    """One SQLite file; a connection per transaction."""

    types = {"ID": "INTEGER PRIMARY KEY AUTOINCREMENT", "REAL": "REAL"}
    unavailable: tuple[type[BaseException], ...] = ()
    errors: tuple[type[BaseException], ...] = (sqlite3.Error,)

    def __init__(self, path: Path, timeout: float, create: bool):
        self.path = path
        self.shown = str(path)
        self._timeout = timeout
        if self.path.is_dir():
            raise IsADirectoryError(errno.EISDIR, "is a directory")
        if not self.path.exists():
            if not create:
                raise FileNotFoundError(errno.ENOENT, "no such registry")
            _make_private_dirs(self.path.parent)
            _create_private_file(self.path)

    @contextmanager
    def transaction(self, exclusive: bool = True):
        conn = sqlite3.connect(self.path, timeout=self._timeout, isolation_level=None)
        with closing(conn):
            conn.row_factory = sqlite3.Row
            conn.execute("PRAGMA journal_mode=WAL")
            conn.execute("PRAGMA synchronous=NORMAL")
            conn.execute("BEGIN IMMEDIATE" if exclusive else "BEGIN")
            try:
                yield _Cursor(conn, "?")
            except BaseException:
                conn.rollback()
                raise
            conn.commit()

    def lock_schema(self, cur) -> None:
        pass  # BEGIN IMMEDIATE already keeps other writers out

    def has_table(self, cur, name: str) -> bool:
        return bool(cur.all("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?",
                            (name,)))

    def close(self) -> None:
        pass


class _PostgresStore:
    """A PostgreSQL database; one connection per process, opened again after it drops."""

    types = {"ID": "BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY",
             "REAL": "DOUBLE PRECISION"}

    def __init__(self, url: str, timeout: float, create: bool):
        try:
            import psycopg
        except ImportError:
            raise RegistryError(f"cannot use the registry {redact_url(url)}: PostgreSQL needs "
                                "the psycopg package (pip install 'corvane[postgresql]')"
                                ) from None
        self._psycopg = psycopg
        self.unavailable = (psycopg.OperationalError, psycopg.InterfaceError)
        self.errors = (psycopg.Error,)
        self._url = url
        self.path = self.shown = redact_url(url)
        self.secrets = _secrets_of(url)
        self._timeout = timeout
        self._conn = None
        self._pid = os.getpid()
        self._lock = threading.RLock()

    def _connection(self):
        if self._pid != os.getpid():
            # A connection inherited across fork() belongs to the parent.
            self._conn, self._pid = None, os.getpid()
            self._lock = threading.RLock()
        if self._conn is None or self._conn.closed:
            self._conn = self._psycopg.connect(
                self._url, connect_timeout=max(1, int(min(self._timeout, 10))),
                application_name="corvane", autocommit=True)
        return self._conn

    @contextmanager
    def transaction(self, exclusive: bool = True):
        del exclusive  # row locks and single statements settle writers' turns
        with self._lock:
            conn = self._connection()
            try:
                with conn.transaction():
                    yield _Cursor(conn, "%s")
            except self.unavailable:
                self._drop()
                raise

    def lock_schema(self, cur) -> None:
        # Two processes opening a new database at once take turns at the migration.
        cur.run("SELECT pg_advisory_xact_lock(7406255123)")

    def has_table(self, cur, name: str) -> bool:
        return bool(cur.all("SELECT 1 FROM information_schema.tables WHERE table_name = ? "
                            "AND table_schema = current_schema()", (name,)))

    def _drop(self) -> None:
        conn, self._conn = self._conn, None
        if conn is not None:
            try:
                conn.close()
            except Exception:  # noqa: BLE001 - it is gone either way
                pass

    def close(self) -> None:
        with self._lock:
            self._drop()


class _Cursor:
    """Statements written with ? placeholders, run on either database."""

    def __init__(self, conn, mark: str):
        self._conn = conn
        self._mark = mark

    def _sql(self, sql: str) -> str:
        return sql if self._mark == "?" else sql.replace("%", "%%").replace("?", "%s")

    def run(self, sql: str, params: tuple = ()) -> None:
        self._conn.execute(self._sql(sql), params)

    def all(self, sql: str, params: tuple = ()) -> list[dict]:
        cur = self._conn.execute(self._sql(sql), params)
        if cur.description is None:
            return []
        names = [d[0] for d in cur.description]
        return [dict(zip(names, row)) for row in cur.fetchall()]


class TrustRegistry:
    def __init__(self, path: str | os.PathLike | None = None, busy_timeout_s: float = 30.0,
                 create: bool = True, retry_interval_s: float = 2.0):
        location = registry_location() if path is None else path
        self._pending: deque = deque()  # writes accepted but not yet in the database
        self._pending_lock = threading.RLock()
        self._outage: str | None = None  # why the database is unreachable, while it is
        self._retry_interval = retry_interval_s
        self._retrier: threading.Thread | None = None
        self._wake = threading.Event()
        self._closed = False
        try:
            if is_database_url(location):
                self._store = _PostgresStore(str(location), busy_timeout_s, create)
            else:
                self._store = _SqliteStore(Path(location).expanduser(), busy_timeout_s, create)
            self._migrate()
        except RegistryError:
            raise
        except (OSError, *self._errors_of(location)) as exc:
            raise RegistryError(self._message(location, exc)) from None

    @staticmethod
    def _errors_of(location) -> tuple:
        if is_database_url(location):
            try:
                import psycopg
            except ImportError:
                return ()
            return (psycopg.Error,)
        return (sqlite3.Error,)

    def _message(self, location, exc: BaseException) -> str:
        shown = redact_url(str(location)) if is_database_url(location) else str(location)
        return self._scrub(f"cannot use the registry {shown}: {_reason(exc)}")

    def _scrub(self, text: str) -> str:
        for secret in getattr(getattr(self, "_store", None), "secrets", ()):
            text = text.replace(secret, "***")
        return text

    @property
    def path(self):
        """Where the registry is: the file, or the database URL without its password."""
        return self._store.path

    @property
    def kind(self) -> str:
        return "postgresql" if isinstance(self._store, _PostgresStore) else "sqlite"

    def _migrate(self) -> None:
        store = self._store
        with store.transaction() as cur:
            store.lock_schema(cur)
            cur.run("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)")
            rows = cur.all("SELECT MAX(version) AS v FROM schema_version")
            version = rows[0]["v"] if rows and rows[0]["v"] is not None else 0
            if version > SCHEMA_VERSION:
                raise RegistryError(
                    f"the registry {store.shown} has schema version {version}, newer than this "
                    f"corvane knows ({SCHEMA_VERSION}): use a newer corvane with it")
            for statements in _MIGRATIONS[version:]:
                for sql in statements:
                    cur.run(sql.format(**store.types))
            if version < SCHEMA_VERSION:
                cur.run("DELETE FROM schema_version")
                cur.run("INSERT INTO schema_version (version) VALUES (?)", (SCHEMA_VERSION,))

    def schema_version(self) -> int:
        return self._read("SELECT MAX(version) AS v FROM schema_version")[0]["v"]

    # -- writes: in order, kept while the database is away ---------------------------------

    def _write(self, sql: str, params: tuple) -> None:
        self._submit(lambda cur: cur.run(sql, params))

    def _submit(self, op) -> None:
        if self._outage is not None:
            # The retry thread writes it; the caller (the monitor) does not wait on a
            # database that is away.
            self._pending.append(op)
            if self._outage is not None:
                return
            with self._pending_lock:
                self._drain()
            return
        with self._pending_lock:
            self._pending.append(op)
            self._drain()

    def _drain(self) -> bool:
        """Writes what is pending, oldest first; False when the database is unreachable."""
        with self._pending_lock:
            fresh = False
            while True:
                while self._pending:
                    op = self._pending[0]
                    try:
                        with self._store.transaction() as cur:
                            op(cur)
                    except self._store.unavailable as exc:
                        if not fresh and self._outage is None:
                            # A server restarted since the last write cut the old
                            # connection; a new one may well work.
                            fresh = True
                            continue
                        self._went_away(exc)
                        return False
                    except BaseException:
                        self._pending.popleft()  # a write the database refuses is not retried
                        raise
                    self._pending.popleft()
                    fresh = False
                if self._outage is None:
                    return True
                self._outage = None
                log.warning("[corvane] registry %s is reachable again; the writes kept "
                            "meanwhile are recorded", self._store.shown)
                # Goes round once more for a write kept while the outage was being cleared.

    def _went_away(self, exc: BaseException) -> None:
        if self._outage is None:
            self._outage = self._scrub(_reason(exc))
            log.warning("[corvane] registry %s is unreachable (%s); the job goes on and what "
                        "it finds is kept and recorded when the registry is back",
                        self._store.shown, self._outage)
        if self._retrier is None or not self._retrier.is_alive():
            self._retrier = threading.Thread(target=self._retry_loop, daemon=True,
                                             name="corvane-registry-retry")
            self._retrier.start()

    def _retry_loop(self) -> None:
        while not self._closed:
            self._wake.wait(self._retry_interval)
            self._wake.clear()
            try:
                if self._drain():
                    return
            except Exception:  # noqa: BLE001 - the failing write was dropped; go on
                log.exception("registry write refused")

    @property
    def pending_writes(self) -> int:
        return len(self._pending)

    def flush(self, timeout_s: float = 30.0) -> int:
        """Tries for up to `timeout_s` to write what is kept; returns how many writes are
        still not recorded."""
        deadline = time.monotonic() + timeout_s
        while True:
            if self._drain():
                return 0
            left = deadline - time.monotonic()
            if left <= 0:
                return len(self._pending)
            time.sleep(min(self._retry_interval, left, 0.25))

    def close(self) -> None:
        self._closed = True
        self._wake.set()
        self._store.close()

    # -- reads --------------------------------------------------------------------------

    def _read(self, sql: str, params: tuple = ()) -> list[dict]:
        try:
            with self._store.transaction(exclusive=False) as cur:
                return cur.all(sql, params)
        except self._store.errors as exc:
            raise RegistryError(self._scrub(f"cannot read the registry {self._store.shown}: "
                                            f"{_reason(exc)}")) from None

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
            "INSERT INTO jobs (job_id, command, metadata, status, started_at) "
            "VALUES (?, ?, ?, 'running', ?) ON CONFLICT(job_id) DO UPDATE SET "
            "command = excluded.command, metadata = excluded.metadata, status = 'running', "
            "node_ids = NULL, started_at = excluded.started_at, finished_at = NULL",
            (str(job_id), str(command_text), _to_json(metadata or {}), time.time()))

    def record_event(self, *, node_id, job_id, event_type, severity, summary, details=None,
                     gpu_type=None) -> None:
        self._write(
            "INSERT INTO events (recorded_at, node_id, job_id, event_type, severity, summary, "
            "details, gpu_type) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
            (time.time(), node_id, job_id, str(event_type), str(severity), str(summary),
             _to_json(details or {}), gpu_type))

    def record_occurrences(self, *, node_id, job_id, event_type, severity, summary, occurrences,
                           first_seen=None, last_seen=None) -> None:
        """How often the job's latest event of this kind has occurred so far, and when last."""
        def op(cur):
            rows = cur.all(
                "SELECT MAX(id) AS id FROM events WHERE job_id = ? AND node_id = ? AND "
                "event_type = ? AND severity = ? AND summary = ?",
                (job_id, node_id, str(event_type), str(severity), str(summary)))
            if rows and rows[0]["id"] is not None:
                cur.run("UPDATE events SET occurrences = ?, last_seen = ? WHERE id = ?",
                        (int(occurrences), last_seen, rows[0]["id"]))

        self._submit(op)

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
        finished_at = time.time()
        nodes = _to_json(list(node_ids or []))

        def op(cur):
            if details:
                rows = cur.all("SELECT metadata FROM jobs WHERE job_id = ?", (str(job_id),))
                metadata = _from_json(rows[0]["metadata"]) if rows else {}
                if not isinstance(metadata, dict):
                    metadata = {"metadata": metadata}
                metadata["end"] = details
                cur.run("UPDATE jobs SET metadata = ? WHERE job_id = ?",
                        (_to_json(metadata), str(job_id)))
            cur.run("UPDATE jobs SET status = ?, finished_at = ?, node_ids = ? WHERE job_id = ?",
                    (str(status), finished_at, nodes, str(job_id)))

        self._submit(op)

    # -- node trust and rented instances -----------------------------------------------------

    def set_node_trust(self, node_id: str, state: str | None, reason: str | None = None) -> None:
        """Sets a node's state by hand ("trusted" or "distrusted"); None clears it."""
        if state is None:
            self._write("DELETE FROM node_trust WHERE node_id = ?", (str(node_id),))
            return
        self._write(
            "INSERT INTO node_trust (node_id, state, reason, set_at) VALUES (?, ?, ?, ?) "
            "ON CONFLICT(node_id) DO UPDATE SET state = excluded.state, "
            "reason = excluded.reason, set_at = excluded.set_at",
            (str(node_id), str(state), reason, time.time()))

    def node_trust_overrides(self) -> dict[str, dict]:
        return {r["node_id"]: r for r in self._read("SELECT * FROM node_trust")}

    def record_instance(self, *, provider: str, instance_id: str, machine_id=None,
                        gpu_type=None, price_per_hour=None, details=None) -> None:
        self._write(
            "INSERT INTO instances (instance_id, provider, machine_id, gpu_type, price_per_hour, "
            "launched_at, details) VALUES (?, ?, ?, ?, ?, ?, ?) "
            "ON CONFLICT(provider, instance_id) DO UPDATE SET machine_id = excluded.machine_id, "
            "gpu_type = excluded.gpu_type, price_per_hour = excluded.price_per_hour, "
            "launched_at = excluded.launched_at, details = excluded.details",
            (str(instance_id), str(provider), None if machine_id is None else str(machine_id),
             gpu_type, price_per_hour, time.time(), _to_json(details or {})))

    def instances(self, provider: str | None = None) -> list[dict]:
        where, params = ("WHERE provider = ?", (provider,)) if provider else ("", ())
        return self._rows("instances", ("details",), where, params, "launched_at DESC")

    def events_of_types(self, event_types, severities=("CRITICAL", "WARN")) -> list[dict]:
        """Findings of the given kinds and severities, oldest first, without their details."""
        types, sevs = sorted(set(map(str, event_types))), list(map(str, severities))
        if not types or not sevs:
            return []
        return self._read(
            "SELECT id, recorded_at, node_id, job_id, event_type, severity, summary FROM events "
            f"WHERE event_type IN ({', '.join('?' * len(types))}) "
            f"AND severity IN ({', '.join('?' * len(sevs))}) ORDER BY id", (*types, *sevs))

    def finding_counts_by_node(self) -> dict[str, dict[str, int]]:
        """node id -> severity -> number of findings."""
        return self._severity_counts("node_id", "WHERE node_id IS NOT NULL")

    def _severity_counts(self, column: str, where: str = "") -> dict[str, dict[str, int]]:
        """`column`'s value -> severity -> number of findings, counted by the database."""
        counts: dict[str, dict[str, int]] = {}
        for r in self._read(f"SELECT {column} AS k, severity, COUNT(*) AS n FROM events "
                            f"{where} GROUP BY {column}, severity"):
            counts.setdefault(r["k"], {})[r["severity"]] = int(r["n"])
        return counts

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

    def jobs(self, limit: int | None = 50, status: str | None = None) -> list[dict]:
        where, params = ("WHERE status = ?", (str(status),)) if status else ("", ())
        order = "started_at DESC, job_id"
        if limit is not None:
            order += f" LIMIT {int(limit)}"
        return self._rows("jobs", ("metadata", "node_ids"), where, params, order)

    def job(self, job_id: str) -> dict | None:
        rows = self._rows("jobs", ("metadata", "node_ids"), "WHERE job_id = ?", (str(job_id),),
                          "job_id")
        return rows[0] if rows else None

    def events(self, job_id: str | None = None) -> list[dict]:
        if job_id is None:
            return self._rows("events", ("details",))
        return self._rows("events", ("details",), "WHERE job_id = ?", (str(job_id),))

    def finding_counts(self) -> dict[str, dict[str, int]]:
        """job id -> severity -> number of findings."""
        return self._severity_counts("job_id")

    def recovery_events(self, job_id: str | None = None) -> list[dict]:
        if job_id is None:
            return self._rows("recovery_events", ("plan", "details"))
        return self._rows("recovery_events", ("plan", "details"), "WHERE job_id = ?",
                          (str(job_id),))
