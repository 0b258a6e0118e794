"""The trust registry: nodes, jobs, findings and recovery events, in a SQLite file (the
default) or a PostgreSQL database that many machines share.

Every operation is its own short transaction, so several threads and processes can share one
registry. The tables carry a schema version: an older registry is upgraded in place when it
is opened, a newer one is refused.

Writes are never lost to a database that goes away for a while: a write that fails because
the server cannot be reached, or the file cannot be written (a full or read-only file
system), is kept in memory, in order, with the time it was made, and retried (in the
background and before every later write) until the database takes it. The monitor's job goes
on meanwhile. What is still kept at the end goes to a journal file (see `journal_pending`),
which the next open of the registry replays.

Each job also keeps the host, process and boot of the monitor that runs it and, while it
runs, a heartbeat: a job whose monitor is gone (its process ended, its machine rebooted, or
no heartbeat for a few polls) is shown as "lost", and recorded so when the registry is next
opened.
"""

from __future__ import annotations

import errno
import fcntl
import hashlib
import json
import logging
import os
import re
import socket
import sqlite3
import stat
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
        # The monitor that runs a job, and its heartbeat (see TrustRegistry.heartbeat).
        "ALTER TABLE jobs ADD COLUMN monitor_host TEXT",
        "ALTER TABLE jobs ADD COLUMN monitor_pid INTEGER",
        "ALTER TABLE jobs ADD COLUMN monitor_boot_id TEXT",
        "ALTER TABLE jobs ADD COLUMN heartbeat_at {REAL}",
        "ALTER TABLE jobs ADD COLUMN heartbeat_s {REAL}",
    ),
    (
        # A finding that recurs is counted on its event: how often, and when it was last seen
        # (recorded_at is when it was first seen).
        "ALTER TABLE events ADD COLUMN occurrences INTEGER NOT NULL DEFAULT 1",
        "ALTER TABLE events ADD COLUMN last_seen {REAL}",
    ),
)
SCHEMA_VERSION = len(_MIGRATIONS)
_TABLES = ("nodes", "jobs", "events", "recovery_events", "node_trust", "instances")
_ADD_COLUMN = re.compile(r"ALTER TABLE (\w+) ADD COLUMN (\w+)")


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
    return state_directory() / "registry.sqlite3"


def state_directory() -> Path:
    """corvane's directory in the user's state directory ($XDG_STATE_HOME)."""
    state = os.environ.get("XDG_STATE_HOME") or os.path.join(os.path.expanduser("~"), ".local",
                                                              "state")
    return Path(state) / "corvane"


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
    # A driver's message may run over several lines, each its own sentence (libpq: "...
    # Connection refused" then "Is the server running ...?"): one line, sentences kept apart.
    parts = [" ".join(line.split()) for line in str(exc).splitlines()]
    parts = [p for p in parts if p]
    text = " ".join(p if i == len(parts) - 1 or p[-1] in ".?!:;," else p + "."
                    for i, p in enumerate(parts))
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


def _keep_private(path: Path, mode: int, what: str) -> None:
    """An existing file (0600) or directory (0700) of the registry made private again; one
    that is not ours is left as it is, with a warning. Shared directories (a sticky one such
    as /tmp, the home directory, the root) are not ours to change: the files in them are."""
    try:
        st = os.stat(path)
    except OSError:
        return
    if not stat.S_IMODE(st.st_mode) & ~mode:
        return
    if stat.S_ISDIR(st.st_mode) and (st.st_mode & stat.S_ISVTX or path == path.parent
                                     or path == Path.home()):
        return
    if st.st_uid != os.geteuid():
        log.warning("[corvane] the registry's %s %s is open to other users (mode %o) and not "
                    "ours to change", what, path, stat.S_IMODE(st.st_mode))
        return
    try:
        os.chmod(path, stat.S_IMODE(st.st_mode) & mode)
    except OSError:
        pass  # a read-only file system: nothing is written there either


class _SqliteStore:
    """One SQLite file; a connection per transaction. A file that cannot be written (a
    read-only file system, another user's file) is read as it is, without writing."""

    types = {"ID": "INTEGER PRIMARY KEY AUTOINCREMENT", "REAL": "REAL"}
    # A file that cannot be written now (full, read-only, locked, damaged) may be written
    # later; what it refuses for what the write says is never retried.
    refused = (sqlite3.IntegrityError, sqlite3.ProgrammingError, sqlite3.DataError,
               sqlite3.NotSupportedError, sqlite3.InterfaceError)
    unavailable: tuple[type[BaseException], ...] = (sqlite3.Error, OSError)
    errors: tuple[type[BaseException], ...] = (sqlite3.Error,)

    def __init__(self, path: Path, timeout: float, create: bool):
        self.path = path
        self.shown = str(path)
        self.key = str(path.resolve())
        self._timeout = timeout
        if self.path.is_dir():
            raise IsADirectoryError(errno.EISDIR, "is a directory")
        if not self.path.exists():
            if not create:
                raise FileNotFoundError(errno.ENOENT, "no such registry")
            _make_private_dirs(self.path.parent)
            _create_private_file(self.path)
        _keep_private(self.path, 0o600, "file")
        for suffix in ("-wal", "-shm"):
            _keep_private(Path(f"{self.path}{suffix}"), 0o600, "file")
        _keep_private(self.path.resolve().parent, 0o700, "directory")
        self.readonly = not (os.access(self.path, os.W_OK)
                             and os.access(self.path.parent, os.W_OK))
        self._ro_flags = "mode=ro"

    def _connect(self):
        if not self.readonly:
            return sqlite3.connect(self.path, timeout=self._timeout, isolation_level=None)
        # Read only: without the files a writer keeps beside it if they cannot be made.
        uri = "file:" + urllib.parse.quote(str(self.path.resolve()))
        while True:
            conn = sqlite3.connect(f"{uri}?{self._ro_flags}", uri=True, timeout=self._timeout,
                                   isolation_level=None)
            try:
                conn.execute("SELECT 1 FROM sqlite_master LIMIT 1")
                return conn
            except sqlite3.OperationalError:
                conn.close()
                if self._ro_flags != "mode=ro":
                    raise
                self._ro_flags = "immutable=1"

    @contextmanager
    def transaction(self, exclusive: bool = True):
        conn = self._connect()
        with closing(conn):
            conn.row_factory = sqlite3.Row
            if not self.readonly:
                conn.execute("PRAGMA journal_mode=WAL")
                conn.execute("PRAGMA synchronous=NORMAL")
            conn.execute("BEGIN IMMEDIATE" if exclusive and not self.readonly else "BEGIN")
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

    def has_column(self, cur, table: str, column: str) -> bool:
        return any(r["name"] == column for r in cur.all(f"PRAGMA table_info({table})"))

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
        self.refused = ()
        self.readonly = False
        self._url = url
        self.path = self.shown = self.key = redact_url(url)
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

    def has_column(self, cur, table: str, column: str) -> bool:
        return bool(cur.all("SELECT 1 FROM information_schema.columns WHERE table_name = ? "
                            "AND column_name = ? AND table_schema = current_schema()",
                            (table, column)))

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
                 create: bool = True, retry_interval_s: float = 2.0, journal_dirs=()):
        """Opens (and, with `create`, makes) the registry, upgrades an older one, records
        what journals left behind (also those in `journal_dirs`) and marks running jobs
        whose monitor is gone as lost. A registry that cannot be written is only read."""
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
            self._migrate_when_free(busy_timeout_s)
        except RegistryError:
            raise
        except (OSError, *self._errors_of(location)) as exc:
            raise RegistryError(self._message(location, exc)) from None
        if not self._store.readonly:
            self._replay_journals(journal_dirs)
            try:
                self._settle_lost()
            except Exception:  # noqa: BLE001 - shown as lost all the same; recorded later
                log.debug("lost jobs not recorded", exc_info=True)

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

    def _schema_state(self, cur) -> tuple[int, bool]:
        """The registry's schema version, and whether every table and column of it is there
        (a table dropped by hand is made again)."""
        store = self._store
        if not store.has_table(cur, "schema_version"):
            return 0, False
        rows = cur.all("SELECT MAX(version) AS v FROM schema_version")
        version = rows[0]["v"] if rows and rows[0]["v"] is not None else 0
        complete = (all(store.has_table(cur, t) for t in _TABLES)
                    and store.has_column(cur, "jobs", "heartbeat_at"))
        return version, complete

    def _migrate_when_free(self, timeout_s: float) -> None:
        # SQLite does not wait for every lock: turning a new file to WAL while another
        # process opens it too can say "database is locked" at once. Opening again shortly
        # after succeeds; several processes opening one new registry all get it.
        deadline = time.monotonic() + timeout_s
        while True:
            try:
                return self._migrate()
            except sqlite3.OperationalError as exc:
                busy = "locked" in str(exc) or "busy" in str(exc)
                if not busy or time.monotonic() >= deadline:
                    raise
                time.sleep(0.05)

    def _migrate(self) -> None:
        store = self._store
        def refuse_newer(version):
            if version > SCHEMA_VERSION:
                raise RegistryError(
                    f"the registry {store.shown} has schema version {version}, newer than this "
                    f"corvane knows ({SCHEMA_VERSION}): use a newer corvane with it")

        with store.transaction(exclusive=False) as cur:
            version, complete = self._schema_state(cur)
        refuse_newer(version)
        if (version == SCHEMA_VERSION and complete) or store.readonly:
            return  # nothing to write (a registry that cannot be written is read as it is)
        with store.transaction() as cur:
            store.lock_schema(cur)
            cur.run("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)")
            version, complete = self._schema_state(cur)
            refuse_newer(version)  # another process may have upgraded it meanwhile
            # Every statement can run again, so a registry missing a table is mended by
            # running them all.
            for statements in _MIGRATIONS[0 if not complete else version:]:
                for sql in statements:
                    added = _ADD_COLUMN.match(sql)
                    if added and store.has_column(cur, *added.groups()):
                        continue
                    cur.run(sql.format(**store.types))
            if version < SCHEMA_VERSION:
                cur.run("DELETE FROM schema_version")
                cur.run("INSERT INTO schema_version (version) VALUES (?)", (SCHEMA_VERSION,))

    def schema_version(self) -> int:
        return self._read("SELECT MAX(version) AS v FROM schema_version")[0]["v"]

    # -- writes: in order, kept while the database is away ---------------------------------
    #
    # A pending write is ("sql", statement, parameters), ("op", name, arguments) for one of
    # _OPS, or a callable taking the cursor (kept in memory only: it cannot be journaled).

    def _write(self, sql: str, params: tuple) -> None:
        self._submit(("sql", sql, tuple(params)))

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

    def _apply(self, cur, op) -> None:
        if callable(op):
            op(cur)
        elif op[0] == "sql":
            cur.run(op[1], tuple(op[2]))
        else:
            _OPS[op[1]](cur, **op[2])

    def _drain(self) -> bool:
        """Writes what is pending, oldest first; False when the database is unreachable."""
        store = self._store
        with self._pending_lock:
            fresh = False
            while True:
                while self._pending:
                    op = self._pending[0]
                    try:
                        with store.transaction() as cur:
                            self._apply(cur, op)
                    except store.refused:
                        self._pending.popleft()  # a write the database refuses is not retried
                        raise
                    except store.unavailable as exc:
                        if not fresh and self._outage is None:
                            # A server restarted since the last write cut the old
                            # connection; a new one may well work.
                            fresh = True
                            continue
                        self._went_away(exc)
                        return False
                    except BaseException:
                        self._pending.popleft()
                        raise
                    self._pending.popleft()
                    fresh = False
                if self._outage is None:
                    return True
                self._outage = None
                log.warning("[corvane] registry %s %s again; the writes kept meanwhile are "
                            "recorded", store.shown, "is reachable"
                            if isinstance(store, _PostgresStore) else "takes writes")
                # Goes round once more for a write kept while the outage was being cleared.

    def _went_away(self, exc: BaseException) -> None:
        if self._outage is None:
            self._outage = self._scrub(_reason(exc))
            what = ("is unreachable" if isinstance(self._store, _PostgresStore)
                    else "cannot be written")
            log.warning("[corvane] registry %s %s (%s); the job goes on and what it finds is "
                        "kept and recorded when the registry takes it again",
                        self._store.shown, what, self._outage)
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

    @property
    def outage(self) -> str | None:
        """Why writes are not taken now (None while they are)."""
        return self._outage

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

    # -- the journal: what the database did not take, for the next open -------------------

    def _journal_paths(self, extra_dirs=()) -> list[Path]:
        """Where the journal may go, in order: beside a registry file, the user's state
        directory, then `extra_dirs` (a job's checkpoint directory). The name carries the
        registry's identity, so that only its own registry replays it."""
        tag = hashlib.sha256(self._store.key.encode("utf-8", "surrogatepass")).hexdigest()[:16]
        paths = []
        if isinstance(self._store, _SqliteStore):
            paths.append(Path(f"{self._store.path}.corvane-journal"))
        paths.append(state_directory() / f"journal-{tag}.jsonl")
        paths += [Path(d) / f"corvane-registry-journal-{tag}.jsonl" for d in extra_dirs if d]
        return paths

    def journal_pending(self, extra_dirs=()) -> tuple[int, Path | None]:
        """Writes what is still kept to a journal file, for the next open of the registry
        to replay; returns how many writes went there and where (None: none could be
        written, and they stay kept). A write kept as a callable cannot be journaled and is
        counted as lost."""
        with self._pending_lock:
            ops = list(self._pending)
            entries = [json.dumps({"op": list(op)}, default=repr) for op in ops
                       if not callable(op)]
            if not entries:
                return 0, None
            header = json.dumps({"corvane_registry_journal": 1, "registry": self._store.shown,
                                 "written_at": time.time()})
            data = ("\n".join([header, *entries]) + "\n").encode("utf-8", "surrogatepass")
            for path in self._journal_paths(extra_dirs):
                try:
                    _make_private_dirs(path.parent)
                    fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC,
                                 0o600)
                except OSError:
                    continue
                size = None
                try:
                    os.fchmod(fd, 0o600)
                    fcntl.flock(fd, fcntl.LOCK_EX)
                    size = os.fstat(fd).st_size
                    view = memoryview(data)
                    while view:
                        view = view[os.write(fd, view):]
                    os.fsync(fd)
                except OSError:
                    # All or nothing: what was appended is taken back (the next place gets it).
                    try:
                        if size is not None:
                            os.ftruncate(fd, size)
                        if not size:
                            os.unlink(path)
                    except OSError:
                        pass
                    continue
                finally:
                    os.close(fd)
                self._pending.clear()
                return len(entries), path
            return 0, None

    def _replay_journals(self, extra_dirs=()) -> None:
        """Records what earlier runs left in journals, oldest first, each journal in one
        transaction; a journal that cannot be replayed now waits for a later open."""
        for path in self._journal_paths(extra_dirs):
            try:
                fd = os.open(path, os.O_RDWR | os.O_CLOEXEC)
            except OSError:
                continue
            try:
                fcntl.flock(fd, fcntl.LOCK_EX)
                if os.fstat(fd).st_nlink == 0:
                    continue  # replayed by another process meanwhile
                with open(os.dup(fd), "rb") as fh:
                    lines = fh.read().splitlines()
                ops = []
                for line in lines:
                    try:
                        entry = json.loads(line)
                    except ValueError:
                        continue  # a line cut short when its writer failed
                    op = entry.get("op") if isinstance(entry, dict) else None
                    if isinstance(op, list) and op and op[0] in ("sql", "op"):
                        ops.append(tuple(op))
                try:
                    with self._store.transaction() as cur:
                        for op in ops:
                            self._apply(cur, op)
                except self._store.refused as exc:
                    os.rename(path, f"{path}.refused")
                    log.warning("[corvane] the registry %s refused the journal %s (%s); it is "
                                "kept as %s.refused", self._store.shown, path, _reason(exc), path)
                    continue
                except (self._store.unavailable, KeyError, TypeError, IndexError) as exc:
                    log.warning("[corvane] %d record(s) in %s wait for the registry %s (%s)",
                                len(ops), path, self._store.shown, self._scrub(_reason(exc)))
                    continue
                os.unlink(path)
                log.warning("[corvane] %d record(s) kept in %s are now in the registry %s",
                            len(ops), path, self._store.shown)
            except OSError:
                continue
            finally:
                os.close(fd)

    # -- the monitor of each job: its heartbeat, and jobs whose monitor is gone -------------

    def heartbeat(self, job_id: str, interval_s: float) -> None:
        """Says the job's monitor is alive (every `interval_s` seconds or so). Not kept while
        the database does not take writes: a later heartbeat says the same."""
        if self._outage is not None:
            return
        self._write(_HEARTBEAT, (time.time(), float(interval_s), str(job_id)))

    def _settle_lost(self) -> None:
        """Records as "lost" the running jobs whose monitor is gone."""
        try:
            rows = self._read("SELECT * FROM jobs WHERE status = 'running'")
        except RegistryError:
            return
        for row in rows:
            why = monitor_gone(row)
            if why is not None:
                self._submit(("op", "mark_lost", {"job_id": row["job_id"], "why": why,
                                                  "at": row.get("heartbeat_at")
                                                  or row["started_at"]}))

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
        """Records the job as running, under this process as its monitor."""
        host, pid, boot = this_monitor()
        self._write(
            "INSERT INTO jobs (job_id, command, metadata, status, started_at, monitor_host, "
            "monitor_pid, monitor_boot_id) VALUES (?, ?, ?, 'running', ?, ?, ?, ?) "
            "ON CONFLICT(job_id) DO UPDATE SET "
            "command = excluded.command, metadata = excluded.metadata, status = 'running', "
            "node_ids = NULL, started_at = excluded.started_at, finished_at = NULL, "
            "monitor_host = excluded.monitor_host, monitor_pid = excluded.monitor_pid, "
            "monitor_boot_id = excluded.monitor_boot_id, heartbeat_at = NULL, "
            "heartbeat_s = NULL",
            (str(job_id), str(command_text), _to_json(metadata or {}), time.time(), host, pid,
             boot))

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
        self._write(
            "UPDATE events SET occurrences = ?, last_seen = ? WHERE id = (SELECT MAX(id) FROM "
            "events WHERE job_id = ? AND node_id = ? AND event_type = ? AND severity = ? AND "
            "summary = ?)",
            (int(occurrences), last_seen, job_id, node_id, str(event_type), str(severity),
             str(summary)))

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
        self._submit(("op", "finish_job", {
            "job_id": str(job_id), "status": str(status), "finished_at": time.time(),
            "nodes": _to_json(list(node_ids or [])),
            "details": json.loads(_to_json(details)) if details else None}))

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
        """Findings of the given kinds and severities, oldest first, with their details as
        stored (JSON text) and "injected" (true when a rehearsal's fault injection made the
        finding)."""
        types, sevs = sorted(set(map(str, event_types))), list(map(str, severities))
        if not types or not sevs:
            return []
        rows = self._read(
            "SELECT id, recorded_at, node_id, job_id, event_type, severity, summary, details "
            f"FROM events WHERE event_type IN ({', '.join('?' * len(types))}) "
            f"AND severity IN ({', '.join('?' * len(sevs))}) ORDER BY id", (*types, *sevs))
        for row in rows:
            row["injected"] = _injected(row["details"])
        return rows

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
        rows = [_shown_lost(r) for r in self._rows("jobs", ("metadata", "node_ids"), where,
                                                   params, order)]
        return [r for r in rows if status is None or r["status"] == status]

    def job(self, job_id: str) -> dict | None:
        rows = self._rows("jobs", ("metadata", "node_ids"), "WHERE job_id = ?", (str(job_id),),
                          "job_id")
        return _shown_lost(rows[0]) if rows else None

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


# -- the monitor of a job --------------------------------------------------------------------

_HEARTBEAT = ("UPDATE jobs SET heartbeat_at = ?, heartbeat_s = ?, "
              "status = CASE WHEN status = 'lost' THEN 'running' ELSE status END, "
              "finished_at = CASE WHEN status = 'lost' THEN NULL ELSE finished_at END "
              "WHERE job_id = ? AND status IN ('running', 'lost')")
# A monitor on another host is gone after this many of its polls without a heartbeat (and
# never before STALE_MIN_S: clocks differ, a busy database delays a write).
STALE_POLLS = 5
STALE_MIN_S = 60.0


def _boot_id() -> str | None:
    try:
        with open("/proc/sys/kernel/random/boot_id", encoding="ascii") as fh:
            return fh.read().strip() or None
    except OSError:
        return None


def this_monitor() -> tuple[str, int, str | None]:
    """This process as a job's monitor: its host, pid and the host's boot."""
    return socket.gethostname(), os.getpid(), _boot_id()


def monitor_gone(job: dict, now: float | None = None) -> str | None:
    """Why the monitor of a running job is gone, or None when it may still run (or the job
    was recorded without its monitor: nothing can be told)."""
    host, pid = job.get("monitor_host"), job.get("monitor_pid")
    if host is None or pid is None:
        return None
    now = time.time() if now is None else now
    beat, interval = job.get("heartbeat_at"), job.get("heartbeat_s")
    if beat is not None and interval is not None:
        silent = now - beat
        if silent > max(STALE_POLLS * interval, STALE_MIN_S):
            return f"no heartbeat from its monitor on {host} for {silent:.0f} s"
    this_host, _, boot = this_monitor()
    if host != this_host:
        return None
    if boot is not None and job.get("monitor_boot_id") not in (None, boot):
        return f"the machine {host} restarted since its monitor started"
    try:
        os.kill(int(pid), 0)
    except ProcessLookupError:
        return f"its monitor (pid {pid} on {host}) has ended"
    except (OSError, ValueError, OverflowError):
        pass  # another user's process, or no pid to ask about: it may still run
    return None


def _shown_lost(job: dict) -> dict:
    if job.get("status") == "running" and monitor_gone(job) is not None:
        job["status"] = "lost"
    return job


def _injected(details) -> bool:
    try:
        parsed = json.loads(details) if isinstance(details, (str, bytes)) else details
    except ValueError:
        return False
    return isinstance(parsed, dict) and parsed.get("injected") is True


def _op_finish_job(cur, *, job_id, status, finished_at, nodes, details) -> None:
    if details:
        rows = cur.all("SELECT metadata FROM jobs WHERE job_id = ?", (job_id,))
        metadata = _from_json(rows[0]["metadata"]) if rows else {}
        if not isinstance(metadata, dict):
            metadata = {"metadata": metadata}
        metadata["end"] = details
        cur.run("UPDATE jobs SET metadata = ? WHERE job_id = ?", (_to_json(metadata), job_id))
    cur.run("UPDATE jobs SET status = ?, finished_at = ?, node_ids = ? WHERE job_id = ?",
            (status, finished_at, nodes, job_id))


def _op_mark_lost(cur, *, job_id, why, at) -> None:
    # Only while it still says running: a monitor that ended meanwhile recorded its end.
    rows = cur.all("SELECT metadata, status FROM jobs WHERE job_id = ?", (job_id,))
    if not rows or rows[0]["status"] != "running":
        return
    metadata = _from_json(rows[0]["metadata"])
    metadata = metadata if isinstance(metadata, dict) else {"metadata": metadata}
    metadata["end"] = {"lost": why}
    cur.run("UPDATE jobs SET status = 'lost', finished_at = ?, metadata = ? WHERE job_id = ?",
            (at, _to_json(metadata), job_id))


_OPS = {"finish_job": _op_finish_job, "mark_lost": _op_mark_lost}
