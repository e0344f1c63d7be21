"""Tile latency on the 100,000-parcel sample: the bare statement against the endpoint.

For each zoom level, the same tiles (around parcels of the sample data) are
fetched three ways in one run:
  sql   the tile statement executed directly on a session (the database's share),
  miss  the XYZ endpoint with an empty cache (rate limit, cache read, query, cache write),
  hit   the XYZ endpoint again (served from Redis).
Medians in milliseconds, and the endpoint's ratios to the bare statement.

    python bench/tiles.py [--parcels 100000] [--tiles 40] [--database ravn_bench]
"""
from __future__ import annotations

import argparse
import asyncio
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path
from types import SimpleNamespace

ROOT = Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT), str(ROOT / "api")]


def parse():
    parser = argparse.ArgumentParser()
    parser.add_argument("--parcels", type=int, default=100_000)
    parser.add_argument("--tiles", type=int, default=40)
    parser.add_argument("--database", default="ravn_bench")
    parser.add_argument("--zooms", default="12,14,16,18")
    return parser.parse_args()


async def run(args):
    from tests.support.services import database_url, settings
    from sqlalchemy import text
    from sqlalchemy.ext.asyncio import async_sessionmaker, create_async_engine
    import redis.asyncio as aioredis

    url = database_url(test=True).rsplit("/", 1)[0] + "/" + args.database
    os.environ["DATABASE_URL"] = url
    import ravn.tessera as tessera

    engine = create_async_engine(url, pool_size=2)
    sessions = async_sessionmaker(engine, expire_on_commit=False)
    cfg = settings()
    client = aioredis.Redis(host=cfg["REDIS_HOST"], port=int(cfg["REDIS_PORT"]))
    tessera.redis_client = client
    tessera.cache = tessera.BinaryRedisCache(client, namespace="bench")

    async with engine.connect() as conn:
        points = (await conn.execute(text(
            'SELECT ST_Y(p), ST_X(p) FROM (SELECT ST_Transform(ST_PointOnSurface("GEOMETRY"), 4326) p '
            'FROM "GIS"."PLOT" ORDER BY md5("ID"::text) LIMIT :n) s'), {"n": args.tiles})).all()

    rows = []
    for zoom in [int(z) for z in args.zooms.split(",")]:
        tiles = sorted({tuple(tessera.latlon_to_xyz(lat, lon, zoom).values()) for lat, lon in points})
        async for key in client.scan_iter(match="bench:*"):
            await client.delete(key)
        sql_ms, miss_ms, hit_ms, sizes = [], [], [], []
        statement = text(tessera.generate_mvt_sql("plots", zoom)[0])
        for i, (z, x, y) in enumerate(tiles):
            bbox = tessera.xyz_to_bbox_web_mercator(z, x, y)
            params = {"min_x": bbox["minx"], "min_y": bbox["miny"], "max_x": bbox["maxx"], "max_y": bbox["maxy"]}
            async with sessions() as session:
                started = time.perf_counter()
                body = (await session.execute(statement, params)).scalar_one_or_none()
                sql_ms.append((time.perf_counter() - started) * 1000)
            sizes.append(len(body or b""))
            for timings in (miss_ms, hit_ms):
                request = SimpleNamespace(client=SimpleNamespace(host=f"bench-{zoom}-{i}"))
                async with sessions() as session:
                    started = time.perf_counter()
                    await tessera.get_tile_xyz("plots", z, x, y, request, session)
                    timings.append((time.perf_counter() - started) * 1000)
        med = statistics.median
        rows.append((zoom, len(tiles), med(sizes) / 1024, med(sql_ms), med(miss_ms), med(hit_ms),
                     med(miss_ms) / med(sql_ms), med(hit_ms) / med(sql_ms)))
    await client.aclose()
    await engine.dispose()
    return rows


def main():
    args = parse()
    subprocess.run([sys.executable, "-m", "sampledata", "--parcels", str(args.parcels), "--seed", "1",
                    "--database", args.database, "--if-empty"], check=True, cwd=ROOT)
    rows = asyncio.run(run(args))
    print(f"{platform.machine()} {os.cpu_count()} cores | Python {platform.python_version()} | "
          f"{args.parcels} parcels in {args.database} | layer plots")
    print(f"{'zoom':>4} {'tiles':>5} {'KiB':>7} {'sql ms':>8} {'miss ms':>8} {'hit ms':>8} "
          f"{'miss/sql':>9} {'hit/sql':>8}")
    for zoom, n, kib, sql, miss, hit, r_miss, r_hit in rows:
        print(f"{zoom:>4} {n:>5} {kib:>7.1f} {sql:>8.2f} {miss:>8.2f} {hit:>8.2f} {r_miss:>9.2f} {r_hit:>8.2f}")


if __name__ == "__main__":
    main()
