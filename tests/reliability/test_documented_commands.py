"""The server commands the documentation shows, run as shown: none of them lets a local
client choose the address its requests are counted under."""
from __future__ import annotations

import os
import re
import shlex
import subprocess
import sys
import time

import httpx
import pytest

from tests.support.services import TemporaryRedis

from .conftest import API_DIR, REPO_ROOT, free_port

pytestmark = [pytest.mark.integration, pytest.mark.e2e]
DOCUMENTS = ["README.md", "docs/operations.md"]


def documented_commands() -> list[tuple[str, str]]:
    found = []
    for document in DOCUMENTS:
        text = (REPO_ROOT / document).read_text()
        found += [(document, command.replace("\n", " ")) for command in re.findall(r"`(uvicorn main:app[^`]*)`", text)]
    return found


def test_the_documents_show_server_commands():
    assert {document for document, _ in documented_commands()} == set(DOCUMENTS)


@pytest.mark.parametrize("document,command", documented_commands())
def test_forwarded_addresses_are_not_believed(services, database_url, tmp_path, document, command):
    argv = shlex.split(re.sub(r"--workers \S+", "--workers 1", command))
    port = free_port()
    redis = TemporaryRedis().start()
    env = {k: v for k, v in os.environ.items() if k != "FORWARDED_ALLOW_IPS"}
    env.update(DATABASE_URL=database_url, REDIS_HOST=redis.host, REDIS_PORT=str(redis.port), REDIS_DB="0",
               ISSUED_RATE_PER_MINUTE="2")
    with open(tmp_path / "server.log", "wb") as log:
        server = subprocess.Popen([sys.executable, "-m", *argv, "--host", "127.0.0.1", "--port", str(port)],
                                  cwd=API_DIR, env=env, stdout=log, stderr=subprocess.STDOUT)
    base = f"http://127.0.0.1:{port}"
    try:
        deadline = time.monotonic() + 60
        while True:
            try:
                httpx.get(base + "/openapi.json", timeout=2)
                break
            except httpx.HTTPError:
                assert server.poll() is None and time.monotonic() < deadline, (tmp_path / "server.log").read_text()
                time.sleep(0.2)
        codes = [httpx.get(base + "/plans/issued/" + "0" * 64, headers={"X-Forwarded-For": f"203.0.113.{i}"},
                           timeout=10).status_code for i in range(3)]
        assert codes == [404, 404, 429], f"{document}: {command}"
    finally:
        server.terminate()
        server.wait(timeout=15)
        redis.close()
