"""The host application under a real uvicorn server, for end-to-end tests."""
from __future__ import annotations

import contextlib
import os
import socket
import subprocess
import sys
import time
from pathlib import Path
from typing import Iterator

import httpx
import pytest

API_DIR = Path(__file__).resolve().parents[2] / "api"


@contextlib.contextmanager
def host_server(name: str, **env: str) -> Iterator[str]:
    """Serves api/main.py on a free loopback port with `env` added to the environment;
    yields the base URL. The server's output goes to a log in TMPDIR."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    log = open(Path(os.environ.get("TMPDIR", "/tmp")) / f"ravn-{name}-{port}.log", "w+b")
    process = subprocess.Popen([sys.executable, "-m", "uvicorn", "main:app", "--host", "127.0.0.1", "--port",
                                str(port), "--log-level", "warning"], cwd=API_DIR, env=dict(os.environ, **env),
                               stdout=log, stderr=subprocess.STDOUT)
    base = f"http://127.0.0.1:{port}"
    try:
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            try:
                httpx.get(base + "/openapi.json", timeout=1)
                break
            except httpx.HTTPError:
                time.sleep(0.2)
        else:
            process.kill()
            log.seek(0)
            pytest.fail("server did not start: " + log.read().decode())
        yield base
    finally:
        if process.poll() is None:
            process.terminate()
            process.wait(timeout=10)
        log.close()
