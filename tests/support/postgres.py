"""A throwaway PostgreSQL/PostGIS cluster for tests that stop, lock or exhaust the database.

The shared services stay untouched: the cluster lives in a temporary directory,
listens on a free loopback port, and its server runs as the `postgres` OS user
(the tests run as root, and PostgreSQL refuses to).
"""
from __future__ import annotations

import contextlib
import os
import pwd
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Iterator

from .services import REPO_ROOT, _free_port

BIN_DIR = Path(os.environ.get("PG_BIN_DIR", "/usr/lib/postgresql/15/bin"))
OS_USER = "postgres"
# The connection settings of the shared services must not leak into the admin commands.
_PG_VARS = ("PGHOST", "PGPORT", "PGUSER", "PGPASSWORD", "PGDATABASE", "PGSERVICE", "PGDATABASE_TEST", "DATABASE_URL")


def _as_postgres(argv: list[str], timeout: float = 120, check: bool = True) -> subprocess.CompletedProcess:
    env = {k: v for k, v in os.environ.items() if k not in _PG_VARS}
    if os.geteuid() == 0:
        argv = ["runuser", "-u", OS_USER, "--", *argv]
    elif pwd.getpwuid(os.geteuid()).pw_name != OS_USER:
        argv = ["sudo", "-n", "-u", OS_USER, *argv]
    done = subprocess.run(argv, env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=timeout)
    if check and done.returncode != 0:
        raise RuntimeError(f"{' '.join(argv)} failed ({done.returncode}):\n{done.stdout}\n{done.stderr}")
    return done


class TemporaryPostgres:
    """initdb'd cluster with one PostGIS database owned by a password role.

    start() and stop() simulate an outage (stop() is a fast shutdown: sessions
    are cut, as when the server goes down); close() removes everything."""

    def __init__(self, host: str = "127.0.0.1", port: int | None = None, user: str = "ravn",
                 password: str = "ravn", database: str = "ravn_private"):
        if not (BIN_DIR / "initdb").exists():
            raise RuntimeError(f"PostgreSQL binaries not found in {BIN_DIR} (scripts/services.sh install)")
        self.host = host
        self.port = port or _free_port(host)
        self.user = user
        self.password = password
        self.database = database
        self._dir = Path(tempfile.mkdtemp(prefix="ravn-pg-"))
        self.data_dir = self._dir / "data"
        self.socket_dir = self._dir / "run"
        self.log_file = self._dir / "postgres.log"
        self.socket_dir.mkdir()
        owner = pwd.getpwnam(OS_USER)
        for path in (self._dir, self.socket_dir):
            os.chown(path, owner.pw_uid, owner.pw_gid)
        self._initialised = False

    # Connection strings ------------------------------------------------------------------

    @property
    def dsn(self) -> str:
        return f"postgresql://{self.user}:{self.password}@{self.host}:{self.port}/{self.database}"

    @property
    def url(self) -> str:
        """SQLAlchemy asyncpg URL, as the host application's DATABASE_URL takes it."""
        return "postgresql+asyncpg://" + self.dsn.split("://", 1)[1]

    def client_env(self) -> dict[str, str]:
        """PG* variables that point libpq-style clients (and the sample-data loader) here."""
        return {"PGHOST": self.host, "PGPORT": str(self.port), "PGUSER": self.user,
                "PGPASSWORD": self.password, "PGDATABASE": self.database}

    # Life cycle --------------------------------------------------------------------------

    @property
    def running(self) -> bool:
        done = _as_postgres([str(BIN_DIR / "pg_ctl"), "status", "-D", str(self.data_dir)], check=False)
        return done.returncode == 0

    def _initdb(self) -> None:
        pwfile = self._dir / "pw"
        pwfile.write_text(self.password + "\n")
        owner = pwd.getpwnam(OS_USER)
        os.chown(pwfile, owner.pw_uid, owner.pw_gid)
        _as_postgres([str(BIN_DIR / "initdb"), "-D", str(self.data_dir), "-U", OS_USER, "-E", "UTF8",
                      "--locale=C", "--auth-local=trust", "--auth-host=scram-sha-256",
                      f"--pwfile={pwfile}", "--no-sync"])
        pwfile.unlink()

    def start(self, timeout: float = 60) -> "TemporaryPostgres":
        first = not self._initialised
        if first:
            self._initdb()
        if not self.running:
            # Durability is worth nothing here; speed is.
            options = (f"-p {self.port} -c listen_addresses={self.host} -k {self.socket_dir} "
                       "-c fsync=off -c synchronous_commit=off -c full_page_writes=off "
                       "-c max_connections=100 -c shared_buffers=32MB")
            _as_postgres([str(BIN_DIR / "pg_ctl"), "start", "-D", str(self.data_dir), "-l", str(self.log_file),
                          "-o", options, "-w", "-t", str(int(timeout))], timeout=timeout + 10)
        if first:
            self._initialised = True
            self.admin_sql(f"CREATE ROLE {self.user} LOGIN PASSWORD '{self.password}'")
            self.admin_sql(f"CREATE DATABASE {self.database} OWNER {self.user}")
            self.admin_sql("CREATE EXTENSION IF NOT EXISTS postgis", database=self.database)
        return self

    def stop(self, mode: str = "fast") -> None:
        if self._initialised and self.running:
            _as_postgres([str(BIN_DIR / "pg_ctl"), "stop", "-D", str(self.data_dir), "-m", mode, "-w"])

    def close(self) -> None:
        try:
            self.stop("immediate")
        finally:
            shutil.rmtree(self._dir, ignore_errors=True)

    # Content ------------------------------------------------------------------------------

    def admin_sql(self, sql: str, database: str = "postgres") -> str:
        """Runs `sql` as the superuser over the cluster's socket; returns psql's unaligned output."""
        done = _as_postgres([str(BIN_DIR / "psql"), "-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1",
                             "-h", str(self.socket_dir), "-p", str(self.port), "-d", database, "-c", sql])
        return done.stdout.strip()

    def load_sample(self, parcels: int = 200, seed: int = 1) -> None:
        env = {k: v for k, v in os.environ.items() if k not in _PG_VARS}
        env.update(self.client_env())
        done = subprocess.run([sys.executable, "-m", "sampledata", "--parcels", str(parcels), "--seed", str(seed),
                               "--database", self.database, "--quiet"],
                              cwd=REPO_ROOT, env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=300)
        if done.returncode != 0:
            raise RuntimeError(f"loading sample data failed:\n{done.stdout}\n{done.stderr}")

    def wait_until_accepting(self, timeout: float = 30) -> None:
        deadline = time.monotonic() + timeout
        while True:
            done = _as_postgres([str(BIN_DIR / "pg_isready"), "-q", "-h", str(self.socket_dir), "-p", str(self.port)],
                                check=False)
            if done.returncode == 0:
                return
            if time.monotonic() > deadline:
                raise RuntimeError(f"PostgreSQL on port {self.port} is not accepting connections")
            time.sleep(0.1)


@contextlib.contextmanager
def temporary_postgres(parcels: int = 200, seed: int = 1) -> Iterator[TemporaryPostgres]:
    server = TemporaryPostgres()
    try:
        server.start()
        server.load_sample(parcels, seed)
        yield server
    finally:
        server.close()


class TemporaryReplica:
    """A streaming replica of a TemporaryPostgres, made by scripts/replica.sh (pg_basebackup -R)
    into a temporary directory, on another free loopback port."""

    SCRIPT = REPO_ROOT / "scripts" / "replica.sh"

    def __init__(self, primary: TemporaryPostgres, port: int | None = None):
        self.primary = primary
        self.host = primary.host
        self.port = port or _free_port(primary.host)
        self._dir = Path(tempfile.mkdtemp(prefix="ravn-replica-"))
        self.socket_dir = self._dir / "run"

    def _script(self, command: str, timeout: float = 180) -> str:
        env = {k: v for k, v in os.environ.items() if k not in _PG_VARS}
        env.update({"PG_BIN_DIR": str(BIN_DIR), "REPLICA_PRIMARY_HOST": str(self.primary.socket_dir),
                    "REPLICA_PRIMARY_PORT": str(self.primary.port), "REPLICA_PORT": str(self.port),
                    "REPLICA_DIR": str(self._dir), "REPLICA_LISTEN": self.host, "REPLICA_NO_SYNC": "1"})
        done = subprocess.run(["bash", str(self.SCRIPT), command], env=env, stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=timeout)
        if done.returncode != 0:
            raise RuntimeError(f"replica.sh {command} failed ({done.returncode}):\n{done.stdout}\n{done.stderr}")
        return done.stdout

    @property
    def dsn(self) -> str:
        p = self.primary
        return f"postgresql://{p.user}:{p.password}@{self.host}:{self.port}/{p.database}"

    @property
    def url(self) -> str:
        return "postgresql+asyncpg://" + self.dsn.split("://", 1)[1]

    def create(self) -> "TemporaryReplica":
        self._script("create")
        return self

    def admin_sql(self, sql: str, database: str = "postgres") -> str:
        done = _as_postgres([str(BIN_DIR / "psql"), "-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1",
                             "-h", str(self.socket_dir), "-p", str(self.port), "-d", database, "-c", sql])
        return done.stdout.strip()

    def wait_for_primary(self, timeout: float = 30) -> None:
        """Until the replica has replayed everything the primary has written so far."""
        target = self.primary.admin_sql("SELECT pg_current_wal_insert_lsn()")
        deadline = time.monotonic() + timeout
        while self.admin_sql(f"SELECT pg_last_wal_replay_lsn() >= '{target}'::pg_lsn") != "t":
            if time.monotonic() > deadline:
                raise RuntimeError(f"the replica on port {self.port} did not reach {target}")
            time.sleep(0.05)

    def close(self) -> None:
        try:
            self._script("remove", timeout=60)
        finally:
            shutil.rmtree(self._dir, ignore_errors=True)
