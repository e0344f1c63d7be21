"""Real local services for tests: PostgreSQL/PostGIS, Redis, and the sample data set."""
from __future__ import annotations

import contextlib
import os
import shutil
import socket
import subprocess
import tempfile
import time
from pathlib import Path
from typing import Iterator

import sampledata
from sampledata.settings import database_dsn
from sampledata.settings import settings as _settings

REPO_ROOT = Path(__file__).resolve().parents[2]

SERVICES_SCRIPT = REPO_ROOT / "scripts" / "services.sh"
_services_started = False


def child_env(env: dict[str, str] | None = None) -> dict[str, str]:
    """The environment for a Python child process that imports what the tests import
    (the repository and the host folder), as pytest's `pythonpath` gives the tests."""
    env = dict(os.environ if env is None else env)
    paths = [str(REPO_ROOT), str(REPO_ROOT / "api")]
    if env.get("PYTHONPATH"):
        paths.append(env["PYTHONPATH"])
    env["PYTHONPATH"] = os.pathsep.join(paths)
    return env


def settings() -> dict[str, str]:
    """services.env merged with the environment (the environment wins)."""
    return _settings()


def database_url(test: bool = True) -> str:
    """SQLAlchemy asyncpg URL of the test database (or of the serve database)."""
    cfg = settings()
    if not test and cfg.get("DATABASE_URL"):
        dsn = database_dsn(cfg["DATABASE_URL"])
    else:
        dsn = database_dsn(cfg["PGDATABASE_TEST"] if test else cfg["PGDATABASE"])
    return "postgresql+asyncpg://" + dsn.split("://", 1)[1]


def ensure_services() -> None:
    """Start PostgreSQL and Redis and make sure the databases exist (once per process)."""
    global _services_started
    if _services_started:
        return
    proc = subprocess.run(
        ["bash", str(SERVICES_SCRIPT), "start"],
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        timeout=300,
    )
    if proc.returncode != 0:
        raise RuntimeError(f"scripts/services.sh start failed:\n{proc.stdout}")
    _services_started = True


def load_test_dataset(parcels: int = 400, seed: int = 1) -> sampledata.LoadResult:
    """Load the test database unless it already holds exactly this data set."""
    ensure_services()
    return sampledata.load(settings()["PGDATABASE_TEST"], parcels, seed, reuse=True)


def _free_port(host: str) -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def _pings(host: str, port: int) -> bool:
    try:
        with socket.create_connection((host, port), timeout=0.5) as s:
            s.sendall(b"PING\r\n")
            return s.recv(64).startswith(b"+PONG")
    except OSError:
        return False


class TemporaryRedis:
    """A throwaway redis-server on a loopback port; stop() and start() simulate an outage."""

    def __init__(self, host: str = "127.0.0.1", port: int | None = None):
        binary = shutil.which("redis-server") or "/usr/bin/redis-server"
        if not Path(binary).exists():
            raise RuntimeError("redis-server is not installed (scripts/services.sh install)")
        self.binary = binary
        self.host = host
        self.port = port or _free_port(host)
        self._dir = tempfile.mkdtemp(prefix="ravn-redis-")
        self._proc: subprocess.Popen | None = None

    @property
    def url(self) -> str:
        return f"redis://{self.host}:{self.port}/0"

    @property
    def running(self) -> bool:
        return self._proc is not None and self._proc.poll() is None

    def start(self, timeout: float = 10.0) -> "TemporaryRedis":
        if self.running:
            return self
        log = open(Path(self._dir) / "redis.log", "ab")
        self._proc = subprocess.Popen(
            [self.binary, "--port", str(self.port), "--bind", self.host, "--daemonize", "no",
             "--save", "", "--appendonly", "no", "--dir", self._dir, "--loglevel", "warning"],
            stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
        )
        log.close()
        deadline = time.monotonic() + timeout
        while not _pings(self.host, self.port):
            if self._proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                tail = (Path(self._dir) / "redis.log").read_text(errors="replace")[-2000:]
                raise RuntimeError(f"redis-server did not come up on port {self.port}:\n{tail}")
            time.sleep(0.05)
        return self

    def stop(self) -> None:
        proc, self._proc = self._proc, None
        if proc is None or proc.poll() is not None:
            return
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()

    def kill(self) -> None:
        """Abrupt death, as opposed to a clean shutdown."""
        proc, self._proc = self._proc, None
        if proc is not None and proc.poll() is None:
            proc.kill()
            proc.wait()

    def close(self) -> None:
        self.stop()
        shutil.rmtree(self._dir, ignore_errors=True)


@contextlib.contextmanager
def temporary_redis() -> Iterator[TemporaryRedis]:
    server = TemporaryRedis()
    try:
        yield server.start()
    finally:
        server.close()
