"""The README's first command, scripts/serve.sh, run as a newcomer runs it and stopped with Ctrl-C.

It runs against a PostgreSQL cluster and a Redis of its own (other ports, other folders), so
that it can start from nothing, and stop what it started, without touching the services the
rest of the suite uses.
"""
from __future__ import annotations

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
from pathlib import Path

import httpx
import pytest

from tests.support.services import REPO_ROOT

pytestmark = [pytest.mark.integration, pytest.mark.e2e]

CLUSTER = "ravnserve"


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port: int) -> bool:
    with socket.socket() as s:
        s.settimeout(1)
        return s.connect_ex(("127.0.0.1", port)) == 0


class ServeRun:
    """scripts/serve.sh in a process group of its own, as a shell runs a foreground job."""

    def __init__(self, env: dict[str, str], log: Path):
        self.log = log
        self.lines: list[str] = []
        self.process = subprocess.Popen(["bash", "scripts/serve.sh"], cwd=REPO_ROOT, env=env, start_new_session=True,
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self) -> None:
        with self.log.open("w") as out:
            for line in self.process.stdout:
                self.lines.append(line)
                out.write(line)
                out.flush()

    @property
    def output(self) -> str:
        return "".join(self.lines)

    def wait_until_serving(self, timeout: float) -> None:
        deadline = time.monotonic() + timeout
        while "==> serving" not in self.output:
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.interrupt()
                pytest.fail("serve.sh did not come up:\n" + self.output[-4000:])
            time.sleep(0.3)

    def interrupt(self, timeout: float = 90) -> int:
        """Ctrl-C: SIGINT to the whole foreground group, then wait for the command to finish."""
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGINT)
        try:
            code = self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(self.process.pid, signal.SIGKILL)
            pytest.fail("serve.sh did not stop after Ctrl-C:\n" + self.output[-4000:])
        self.reader.join(timeout=10)
        self.process.stdout.close()
        return code

    def survivors(self) -> str:
        """Live processes left in the run's group, as `ps` lists them ('' when none). An exited
        child whose parent has gone waits a moment for init to reap it: that one is not alive."""
        listing = subprocess.run(["ps", "-o", "pid=,stat=,args=", "-g", str(self.process.pid)],
                                 capture_output=True, text=True)
        return "\n".join(line for line in listing.stdout.strip().splitlines() if line.split()[1][0] != "Z")


@pytest.fixture(scope="module")
def own_services(services, tmp_path_factory):
    """Settings for a cluster and a Redis that nothing else uses; both removed afterwards."""
    if os.geteuid() != 0 or not shutil.which("pg_createcluster"):
        pytest.skip("creating a PostgreSQL cluster needs root and Debian's postgresql-common")
    subprocess.run(["pg_dropcluster", "--stop", "15", CLUSTER], capture_output=True)
    folder = tmp_path_factory.mktemp("serve")
    # Redis runs as its own user when started by root: its folder must not be under pytest's private one.
    redis_dir = tempfile.mkdtemp(prefix="ravn-serve-redis-")
    env = {key: value for key, value in os.environ.items()
           if not key.startswith(("PG", "REDIS_", "DATABASE_URL", "PYTEST"))}
    env.update(PG_CLUSTER=CLUSTER, PGPORT=str(free_port()), PGDATABASE="ravn_serve", PGDATABASE_TEST="ravn_serve",
               REDIS_PORT=str(free_port()), REDIS_DIR=redis_dir, PORT=str(free_port()),
               SAMPLE_PARCELS="300", PLAN_TOKEN="serve-test-token", ADMIN_TOKEN="serve-test-admin")
    yield env, folder
    subprocess.run(["redis-cli", "-p", env["REDIS_PORT"], "shutdown", "nosave"], capture_output=True)
    subprocess.run(["pg_dropcluster", "--stop", "15", CLUSTER], capture_output=True)
    shutil.rmtree(redis_dir, ignore_errors=True)


def answers(env: dict[str, str]) -> dict[str, bool]:
    return {service: subprocess.run(["bash", "scripts/services.sh", "answers", service], cwd=REPO_ROOT, env=env,
                                    capture_output=True).returncode == 0
            for service in ("postgresql", "redis")}


def check_serving(base: str) -> None:
    """A parcel tile, the viewer page and its script, as a browser opening the printed address gets them."""
    with httpx.Client(base_url=base, timeout=30) as client:
        tile = client.get("/gis/plots/").json()["data"]["suggested_tile"]
        response = client.get(f"/gis/plots/{tile['z']}/{tile['x']}/{tile['y']}.pbf")
        assert response.status_code == 200 and response.headers["content-type"] == "application/vnd.mapbox-vector-tile"
        import mapbox_vector_tile

        assert mapbox_vector_tile.decode(response.content)["plots"]["features"]
        page = client.get("/")
        assert page.status_code == 200 and "/static/viewer.js" in page.text
        assert client.get("/static/viewer.js").status_code == 200
        assert client.get("/static/maplibre/maplibre-gl.js").status_code == 200


def test_from_nothing_to_a_served_map_and_back(own_services, services):
    env, folder = own_services
    assert answers(env) == {"postgresql": False, "redis": False}
    run = ServeRun(env, folder / "first-run.log")
    # Creating the cluster and loading the parcels are part of the first run.
    run.wait_until_serving(timeout=600)
    base = f"http://127.0.0.1:{env['PORT']}"
    assert f"map:               {base}/" in run.output and f"{base}/docs" in run.output
    check_serving(base)

    assert run.interrupt() == 130
    assert "stopping postgresql (started by this run)" in run.output
    assert "stopping redis (started by this run)" in run.output
    assert answers(env) == {"postgresql": False, "redis": False}
    assert run.survivors() == "", "processes of the run outlived Ctrl-C"
    assert not listening(int(env["PORT"]))
    # The suite's own services were never touched.
    assert answers(dict(os.environ)) == {"postgresql": True, "redis": True}


def test_services_already_running_stay_up(own_services):
    env, folder = own_services
    subprocess.run(["bash", "scripts/services.sh", "start"], cwd=REPO_ROOT, env=env, check=True, capture_output=True)
    # The second run finds its parcels loaded and set-up done; it must not reload or stop anything.
    env = dict(env, SERVE_SKIP_SETUP="1")
    run = ServeRun(env, folder / "second-run.log")
    run.wait_until_serving(timeout=120)
    check_serving(f"http://127.0.0.1:{env['PORT']}")

    assert run.interrupt() == 130
    assert "stopping" not in run.output
    assert answers(env) == {"postgresql": True, "redis": True}
    assert run.survivors() == ""
    assert not listening(int(env["PORT"]))
