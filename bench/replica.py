"""Edits reaching the map when tiles are read from a streaming replica.

A throwaway primary with the sample parcels, a replica of it made by scripts/replica.sh, a Redis
and the host (one uvicorn worker, the edit listener running) with DATABASE_URL on the primary and
DATABASE_REPLICA_URL on the replica. Two measurements, each parcel moved 0.5 m in a transaction
of its own and its z16 tile polled every 10 ms:

- streaming: from COMMIT to the tile served fresh;
- held back: replay paused on the replica, the edit committed, the old tile served for 1.5 s,
  replay resumed: from the resume to the tile served fresh.

    python bench/replica.py [--parcels 400] [--edits 20]
"""
from __future__ import annotations

import argparse
import asyncio
import datetime
import os
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BENCH, API = ROOT / "bench", ROOT / "api"
sys.path[:0] = [str(ROOT), str(API), str(BENCH)]

import asyncpg  # noqa: E402

from scale import Client, emit, machine, pct, table, tile_of  # noqa: E402
from tests.support.postgres import TemporaryReplica, temporary_postgres  # noqa: E402
from tests.support.services import TemporaryRedis  # noqa: E402

HOLD = 1.5


async def fresh_after(client: Client, path: str, old: bytes, since: float) -> tuple[float, bool]:
    """ms from `since` until the tile comes back changed; whether it then stays changed (cached)."""
    while True:
        _, r = await client.get(path)
        if r.status_code == 200 and r.content != old:
            break
        if time.perf_counter() - since > 30:
            return float("inf"), False
        await asyncio.sleep(0.01)
    ms = (time.perf_counter() - since) * 1000
    _, again = await client.get(path)
    return ms, again.content == r.content


async def run(base: str, primary, replica, count: int) -> None:
    client = Client(base)
    conn = await asyncpg.connect(primary.dsn)
    try:
        parcels = await conn.fetch(
            'SELECT "ID", ST_X(ST_PointOnSurface("GEOMETRY")) x, ST_Y(ST_PointOnSurface("GEOMETRY")) y '
            'FROM "GIS"."PLOT" ORDER BY "ID" LIMIT $1', 2 * count)
        results: dict[str, list[float]] = {"streaming": [], "held back": []}
        stale_served = {"streaming": 0, "held back": 0}
        held_requests = 0
        kept = {"streaming": 0, "held back": 0}
        for i, p in enumerate(parcels):
            kind = "streaming" if i < count else "held back"
            path = "/gis/plots/%d/%d/%d.pbf" % tile_of(16, p["x"], p["y"])
            await client.get(path)
            _, r = await client.get(path)
            assert r.headers.get("x-cache") == "HIT", path
            old = r.content
            if kind == "held back":
                replica.admin_sql("SELECT pg_wal_replay_pause()")
            await conn.execute('UPDATE "GIS"."PLOT" SET "GEOMETRY" = ST_Translate("GEOMETRY", 0.5, 0) WHERE "ID" = $1',
                               p["ID"])
            since = time.perf_counter()
            if kind == "held back":
                # The replica does not have the edit: the old tile is all it can give, and stays cached.
                end = since + HOLD
                while time.perf_counter() < end:
                    _, r = await client.get(path)
                    stale_served[kind] += r.content == old
                    held_requests += 1
                    await asyncio.sleep(0.05)
                replica.admin_sql("SELECT pg_wal_replay_resume()")
                since = time.perf_counter()
            ms, stays = await fresh_after(client, path, old, since)
            results[kind].append(ms)
            kept[kind] += stays
            await conn.execute('UPDATE "GIS"."PLOT" SET "GEOMETRY" = ST_Translate("GEOMETRY", -0.5, 0) WHERE "ID" = $1',
                               p["ID"])
            replica.wait_for_primary()
            await asyncio.sleep(0.2)
        await client.close()
    finally:
        await conn.close()
    emit(f"### Edits reaching the map through a streaming replica — {count} parcels per row moved 0.5 m, "
         "one transaction each; their z16 tile polled every 10 ms")
    emit()
    table(["", "edits", "p50 ms", "p95 ms", "max ms", "fresh tile stays cached"],
          [["streaming: from COMMIT", count, f"{pct(results['streaming'], .5):.0f}",
            f"{pct(results['streaming'], .95):.0f}", f"{max(results['streaming']):.0f}",
            f"{kept['streaming']} of {count}"],
           [f"held back {HOLD} s: from replay resumed", count, f"{pct(results['held back'], .5):.0f}",
            f"{pct(results['held back'], .95):.0f}", f"{max(results['held back']):.0f}",
            f"{kept['held back']} of {count}"]])
    emit(f"While replay was paused the old tile was served to {stale_served['held back']} of {held_requests} "
         "requests, as the replica had it; after the resume the fresh tile came within the times above.")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--parcels", type=int, default=400)
    parser.add_argument("--edits", type=int, default=20)
    args = parser.parse_args()
    from run_all import Server, uvicorn_command

    with temporary_postgres(parcels=args.parcels, seed=1) as primary:
        replica = TemporaryReplica(primary).create()
        redis_server = TemporaryRedis().start()
        host = None
        try:
            replica.wait_for_primary()
            env = dict(os.environ, DATABASE_URL=primary.url, DATABASE_REPLICA_URL=replica.url,
                       REDIS_HOST=redis_server.host, REDIS_PORT=str(redis_server.port), REDIS_DB="0",
                       LOG_LEVEL="WARNING", TILE_EDITS="1")
            host = Server("host", uvicorn_command("main:app"), API, env, "/")
            emit(f"Run {datetime.datetime.now().astimezone():%Y-%m-%d %H:%M %Z}: {machine()}.")
            emit()
            emit(f"Data: {args.parcels:,} parcels (`python -m sampledata --seed 1`) in a throwaway primary "
                 "(fsync off) and a streaming replica of it on the same machine (`scripts/replica.sh`). "
                 "One uvicorn worker reading tiles from the replica, the edit listener on the primary "
                 "(REPLICA_WAIT 10 s).")
            emit()
            asyncio.run(run(host.base, primary, replica, args.edits))
        finally:
            if host is not None:
                host.stop()
            redis_server.close()
            replica.close()


if __name__ == "__main__":
    main()
