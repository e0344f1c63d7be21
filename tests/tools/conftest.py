"""The command-line tools against the test database and a Redis of their own."""
from __future__ import annotations

import os
import re
import subprocess
import sys
import time

import httpx
import pytest

from tests.support.host_server import host_server
from tests.support.services import REPO_ROOT, TemporaryRedis

ZONE = "B05"


@pytest.fixture(scope="module")
def private_redis(services):
    server = TemporaryRedis().start()
    yield server
    server.close()


@pytest.fixture(scope="module")
def tool_env(services, database_url, private_redis):
    return {"DATABASE_URL": database_url, "REDIS_HOST": private_redis.host, "REDIS_PORT": str(private_redis.port),
            "REDIS_DB": "0"}


@pytest.fixture(scope="module")
def archive_dir(tmp_path_factory):
    return tmp_path_factory.mktemp("archives")


@pytest.fixture(scope="module")
def server(tool_env, archive_dir):
    with host_server("tools", TILE_ARCHIVE_DIR=str(archive_dir), **tool_env) as base:
        yield base


def cli(env: dict, *args: str, check: bool = True) -> subprocess.CompletedProcess:
    done = subprocess.run([sys.executable, "-m", "landrecords", *args], cwd=REPO_ROOT, env=dict(os.environ, **env),
                          capture_output=True, text=True, timeout=600)
    if check and done.returncode != 0:
        pytest.fail(f"landrecords {' '.join(args)} failed ({done.returncode}):\n{done.stdout}\n{done.stderr}")
    return done


def summary(output: str) -> dict[str, str]:
    """The `key  value` lines of a tool's closing summary."""
    pairs = (re.split(r"\s{2,}", line.strip(), maxsplit=1) for line in output.splitlines() if line.startswith("  "))
    return {pair[0]: pair[1] for pair in pairs if len(pair) == 2}


def get_tile(base: str, path: str) -> httpx.Response:
    """GET within the endpoint's rate limit (429 means: wait for the next one-second window)."""
    for _ in range(10):
        response = httpx.get(base + path, timeout=60)
        if response.status_code != 429:
            return response
        time.sleep(1.0)
    return response


def features(body: bytes) -> dict[str, dict]:
    """Decoded features per layer, keyed by feature id: their order in a tile is not fixed."""
    import mapbox_vector_tile

    return {name: {f["properties"]["feature_id"]: (f["properties"], f["geometry"]) for f in layer["features"]}
            for name, layer in mapbox_vector_tile.decode(body).items()}
