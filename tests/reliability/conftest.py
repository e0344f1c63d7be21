"""Fault and load fixtures: a private PostgreSQL cluster and a private redis-server,
and the host application under real uvicorn servers pointed at them."""
from __future__ import annotations

import math
import os
import secrets
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import httpx
import pytest

from tests.support.postgres import temporary_postgres
from tests.support.services import TemporaryRedis

REPO_ROOT = Path(__file__).resolve().parents[2]
API_DIR = REPO_ROOT / "api"
ADMIN_TOKEN = "reliability-" + secrets.token_hex(8)
WEB_MERCATOR_HALF = 20037508.342789244


@pytest.fixture(scope="session")
def private_pg():
    """One private cluster for the whole run: tests stop it, lock its tables and fill its pool."""
    with temporary_postgres(parcels=200, seed=1) as server:
        yield server


@pytest.fixture
def pg(private_pg):
    """The private cluster, up (a test that stopped it may have failed before restarting it)."""
    if not private_pg.running:
        private_pg.start()
    yield private_pg
    if not private_pg.running:
        private_pg.start()


@pytest.fixture
def redis_server():
    """A redis-server of the test's own."""
    server = TemporaryRedis().start()
    try:
        yield server
    finally:
        server.close()


@pytest.fixture(scope="session")
def data_tiles(private_pg):
    """Tiles at zoom 18 over the sample parcels, west to east, north to south."""
    extent = private_pg.admin_sql('SELECT ST_XMin(e) || \',\' || ST_YMin(e) || \',\' '
                                  '|| ST_XMax(e) || \',\' || ST_YMax(e) '
                                  'FROM (SELECT ST_Extent("GEOMETRY") e FROM "GIS"."PLOT") s',
                                  database=private_pg.database)
    minx, miny, maxx, maxy = map(float, extent.split(","))
    return tiles_over(18, minx, miny, maxx, maxy)


def tiles_over(z, minx, miny, maxx, maxy):
    size = 2 * WEB_MERCATOR_HALF / (1 << z)
    x0, x1 = (math.floor((v + WEB_MERCATOR_HALF) / size) for v in (minx, maxx))
    y0, y1 = (math.floor((WEB_MERCATOR_HALF - v) / size) for v in (maxy, miny))
    return [(z, x, y) for y in range(y0, y1 + 1) for x in range(x0, x1 + 1)]


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def rss_kib(pid: int) -> int:
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    raise RuntimeError(f"no VmRSS for {pid}")


class Server:
    """The host application under `python -m uvicorn main:app`, as an operator runs it."""

    def __init__(self, pg, redis, workers: int = 1, **env):
        self.port = free_port()
        self.base = f"http://127.0.0.1:{self.port}"
        self.workers = workers
        self.env = {k: v for k, v in os.environ.items() if not k.startswith(("REDIS_", "PG", "DB_"))}
        self.env.update(
            DATABASE_URL=pg.url, REDIS_HOST=redis.host, REDIS_PORT=str(redis.port), REDIS_DB="0",
            ADMIN_TOKEN=ADMIN_TOKEN, FORWARDED_ALLOW_IPS="", PYTHONUNBUFFERED="1",
        )
        self.env.update({k: str(v) for k, v in env.items()})
        self._log = tempfile.NamedTemporaryFile(prefix=f"ravn-reliability-{self.port}-", suffix=".log", delete=False)
        self.process: subprocess.Popen | None = None

    def start(self, timeout: float = 60) -> "Server":
        argv = [sys.executable, "-m", "uvicorn", "main:app", "--host", "127.0.0.1", "--port", str(self.port),
                "--log-level", "warning", "--forwarded-allow-ips", ""]
        if self.workers > 1:
            argv += ["--workers", str(self.workers)]
        self.process = subprocess.Popen(argv, cwd=API_DIR, env=self.env, stdin=subprocess.DEVNULL,
                                        stdout=self._log, stderr=subprocess.STDOUT, start_new_session=True)
        deadline = time.monotonic() + timeout
        while True:
            try:
                if httpx.get(self.base + "/openapi.json", timeout=2).status_code == 200:
                    break
            except httpx.HTTPError:
                pass
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                pytest.fail("server did not start:\n" + self.log())
            time.sleep(0.2)
        if self.workers > 1:  # every worker up, not just the first to answer
            while len(self.worker_pids()) < self.workers and time.monotonic() < deadline:
                time.sleep(0.2)
        return self

    def worker_pids(self) -> list[int]:
        """The processes that serve requests: the server itself, or its worker children."""
        if self.workers == 1:
            return [self.process.pid]
        children = Path(f"/proc/{self.process.pid}/task/{self.process.pid}/children").read_text().split()
        return [int(pid) for pid in children if b"spawn_main" in Path(f"/proc/{pid}/cmdline").read_bytes()]

    def log(self) -> str:
        return Path(self._log.name).read_text(errors="replace")

    def stop(self) -> None:
        process, self.process = self.process, None
        if process is None or process.poll() is not None:
            return
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=15)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()

    def close(self) -> None:
        self.stop()
        self._log.close()
        os.unlink(self._log.name)


@pytest.fixture
def serve(pg, redis_server):
    """Starts servers of the host application over the private services; stops them after the test
    and checks that none logged an unhandled exception."""
    started: list[Server] = []

    def start(workers: int = 1, redis=None, **env) -> Server:
        server = Server(pg, redis or redis_server, workers=workers, **env)
        started.append(server)
        return server.start()

    yield start
    logs = []
    for server in started:
        server.stop()
        logs.append(server.log())
        server.close()
    for text in logs:
        assert "Exception in ASGI application" not in text and "Traceback" not in text, text[-4000:]


def client(base: str, address: str = "127.0.0.1", **kwargs) -> httpx.Client:
    """A client whose requests come from the loopback address `address` (a rate-limit identity)."""
    return httpx.Client(base_url=base, transport=httpx.HTTPTransport(local_address=address), **kwargs)


def admin_headers() -> dict[str, str]:
    return {"Authorization": f"Bearer {ADMIN_TOKEN}"}
