"""Drives the tile endpoint in a fresh interpreter whose module-level Redis client
is the one the module builds at load (REDIS_PORT points at a private server).

    python -m tests.tessera.redis_promises SCENARIO REDIS_PID

Prints one JSON object: the status and duration of every request."""
from __future__ import annotations

import asyncio
import json
import os
import signal
import sys
import time

import ravn.tessera as tessera
from fastapi import HTTPException

from tests.fakes import FakeResult, FakeSession, fake_request

TILE = b"\x1a\x05tile"
QUERY_SECONDS = 0.05  # what the fake database takes for a tile


class TimedSession(FakeSession):
    async def execute(self, statement, params=None):
        await asyncio.sleep(QUERY_SECONDS)
        return FakeResult(TILE)


async def request(address, x):
    started = time.monotonic()
    try:
        response = await tessera.get_tile_xyz("plots", 16, x, 1000, fake_request(address), TimedSession())
        status = response.status_code
    except HTTPException as refused:
        status = refused.status_code
    return status, time.monotonic() - started


async def concurrent(count, address):
    return await asyncio.gather(*(request(address, x) for x in range(count)))


async def main(scenario, redis_pid):
    if scenario == "flood":
        answers = await concurrent(400, "10.0.0.1")
    elif scenario == "sequence":
        answers = [await request("10.0.0.2", 0) for _ in range(41)]  # one tile: from the cache after the first
    elif scenario == "killed":
        os.kill(redis_pid, signal.SIGKILL)
        answers = await concurrent(20, "10.0.0.3")
    elif scenario == "frozen":
        await tessera.redis_client.ping()  # connections exist before the freeze, as in service
        os.kill(redis_pid, signal.SIGSTOP)
        try:
            answers = await concurrent(20, "10.0.0.4")
        finally:
            os.kill(redis_pid, signal.SIGCONT)
    else:
        raise SystemExit(f"unknown scenario {scenario}")
    await tessera.redis_client.aclose()
    print(json.dumps({"answers": answers}))


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1], int(sys.argv[2])))
