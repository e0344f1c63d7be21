"""What a Redis freeze costs tile clients: 429s they did not earn, and when they come.

Serves the host application (one uvicorn worker) over a redis-server of its own and the
test database, sends tile requests from a few loopback addresses at a steady pace,
freezes Redis (SIGSTOP) for a while, thaws it, and keeps going. Prints, per client,
the 429s and when they came relative to the thaw. No client ever exceeds the limit
(40 a second), so every 429 is unearned.

    python bench/redis_freeze.py [--clients 3] [--rate 8] [--freeze 8] [--after 20] [--database NAME]
"""
from __future__ import annotations

import argparse
import asyncio
import math
import os
import platform
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import httpx

REPO_ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO_ROOT))

from tests.reliability.traffic import paced, statuses  # noqa: E402
from tests.support import services  # noqa: E402
from tests.support.services import TemporaryRedis  # noqa: E402

HALF = 20037508.342789244


def tiles(database_url: str, z: int = 18) -> list[str]:
    from sqlalchemy import text
    from sqlalchemy.ext.asyncio import create_async_engine

    async def extent():
        engine = create_async_engine(database_url)
        try:
            async with engine.connect() as conn:
                return (await conn.execute(text('SELECT ST_XMin(e), ST_YMin(e), ST_XMax(e), ST_YMax(e) FROM '
                                                '(SELECT ST_Extent("GEOMETRY") e FROM "GIS"."PLOT") s'))).one()
        finally:
            await engine.dispose()

    minx, miny, maxx, maxy = asyncio.run(extent())
    size = 2 * HALF / (1 << z)
    x0, x1 = (math.floor((v + HALF) / size) for v in (minx, maxx))
    y0, y1 = (math.floor((HALF - v) / size) for v in (maxy, miny))
    return [f"/gis/plots/{z}/{x}/{y}.pbf" for y in range(y0, y1 + 1) for x in range(x0, x1 + 1)]


async def measure(base: str, redis: TemporaryRedis, paths: list[str], args) -> tuple[list, float]:
    stop, answers = asyncio.Event(), []
    load = [asyncio.create_task(paced(base, f"127.0.0.{21 + i}", paths[i::args.clients], args.rate, stop, answers))
            for i in range(args.clients)]
    await asyncio.sleep(3.0)
    os.kill(redis._proc.pid, signal.SIGSTOP)
    try:
        await asyncio.sleep(args.freeze)
    finally:
        os.kill(redis._proc.pid, signal.SIGCONT)
    thawed = time.monotonic()
    await asyncio.sleep(args.after)
    stop.set()
    await asyncio.gather(*load)
    return answers, thawed


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--clients", type=int, default=3)
    parser.add_argument("--rate", type=float, default=8.0, help="requests a second per client")
    parser.add_argument("--freeze", type=float, default=8.0, help="seconds Redis is stopped")
    parser.add_argument("--after", type=float, default=20.0, help="seconds of traffic after the thaw")
    parser.add_argument("--database", help="database to serve (default: the test database)")
    args = parser.parse_args()

    url = services.database_url(test=True)
    if args.database:
        url = url.rsplit("/", 1)[0] + "/" + args.database
    paths = tiles(url)
    redis = TemporaryRedis().start()
    port = services._free_port("127.0.0.1")
    env = {k: v for k, v in os.environ.items() if not k.startswith(("REDIS_", "PG", "DB_"))}
    env.update(DATABASE_URL=url, REDIS_HOST=redis.host, REDIS_PORT=str(redis.port), REDIS_DB="0")
    log = tempfile.NamedTemporaryFile(prefix="ravn-freeze-", suffix=".log", delete=False)
    server = subprocess.Popen([sys.executable, "-m", "uvicorn", "main:app", "--host", "127.0.0.1", "--port", str(port),
                               "--log-level", "warning", "--forwarded-allow-ips", ""], cwd=REPO_ROOT / "api", env=env,
                              stdout=log, stderr=subprocess.STDOUT)
    base = f"http://127.0.0.1:{port}"
    try:
        for _ in range(300):
            try:
                httpx.get(base + "/openapi.json", timeout=2)
                break
            except httpx.HTTPError:
                time.sleep(0.2)
        answers, thawed = asyncio.run(measure(base, redis, paths, args))
    finally:
        server.terminate()
        server.wait(timeout=15)
        redis.close()

    print(f"# {platform.node()}, {os.cpu_count()} cores, {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}")
    print(f"# {args.clients} clients x {args.rate:g} requests/s, Redis frozen {args.freeze:g} s, "
          f"{args.after:g} s after the thaw; all answers: {statuses(answers)}")
    print(f"{'client':<12} {'requests':>8} {'429s':>5} {'first 429 after thaw (s)':>25} {'last (s)':>9}")
    total = 0
    for address in sorted({a.address for a in answers}):
        mine = [a for a in answers if a.address == address]
        refused = [a.started + a.seconds - thawed for a in mine if a.status == 429]
        total += len(refused)
        first = f"{min(refused):.2f}" if refused else "-"
        last = f"{max(refused):.2f}" if refused else "-"
        print(f"{address:<12} {len(mine):>8} {len(refused):>5} {first:>25} {last:>9}")
    print(f"{'all':<12} {len(answers):>8} {total:>5}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
