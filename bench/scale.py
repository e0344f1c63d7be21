"""A cadastre the size of a state: every layer at every zoom over a million parcels, a whole
map view, and edits reaching the map. Not run by CI; bench/run_all.py runs it.

    python bench/scale.py [--parcels 1000000] [--database ravn_scale] [--grid 5] [--edits 20] [--no-docs]

1. Loads the parcels into a database of its own when missing (the sample-data generator;
   about two minutes and 1.1 GB for a million), which applies db/schema.sql (indexes, triggers).
2. Starts the host (one uvicorn worker) over that database with a Redis of its own and the
   edit listener running.
3. For each layer, every zoom from its minimum to 18, the tiles under a grid of points spread
   evenly over the parcels' extent: each tile deleted from Redis, fetched cold (the database's
   caches as the previous tile left them), then fetched again cached. Latency p50/p95/max,
   body raw and gzipped, and any 408 or 500.
4. A cold map view at z10: the 12 tiles around the data's centre, 6 at a time as a browser asks.
5. Edits: a parcel moved in one transaction; time from COMMIT until its z16 tile is served
   fresh, and whether cached tiles elsewhere stay cached. Then one statement editing 10,000
   parcels while cached tiles are being served.
Figures on a shared machine are noisy: compare ratios within one run.
"""
from __future__ import annotations

import argparse
import asyncio
import datetime
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BENCH, API = ROOT / "bench", ROOT / "api"
sys.path[:0] = [str(ROOT), str(API), str(BENCH)]

import asyncpg  # noqa: E402
import httpx  # noqa: E402

from sampledata.settings import database_dsn  # noqa: E402
from tests.support.services import TemporaryRedis  # noqa: E402

HALF = 20037508.342789244
LAYERS = {"plots": 8, "beacons": 12, "roads": 10, "cadzones": 4, "districts": 3, "lgas": 2}


def limit_for(z: int) -> float:
    """The tile endpoint's time limit at zoom z, seconds."""
    return 10.0 if z <= 6 else 12.0 if z <= 10 else 15.0 if z <= 14 else 20.0 if z <= 16 else 30.0


MARK_BEGIN, MARK_END = "<!-- scale:begin -->", "<!-- scale:end -->"
out: list[str] = []


def emit(line: str = "") -> None:
    print(line, flush=True)
    out.append(line)


def table(header: list[str], rows: list[list]) -> None:
    emit("| " + " | ".join(header) + " |")
    emit("|" + "|".join("---" if i == 0 else "---:" for i in range(len(header))) + "|")
    for row in rows:
        emit("| " + " | ".join(str(c) for c in row) + " |")
    emit()


def pct(values: list[float], q: float) -> float:
    values = sorted(values)
    if not values:
        return float("nan")
    return values[min(len(values) - 1, max(0, int(round(q * (len(values) - 1)))))]


def tile_of(z: int, x: float, y: float) -> tuple[int, int, int]:
    size = 2 * HALF / (1 << z)
    return z, int((x + HALF) // size), int((HALF - y) // size)


class Client:
    """One keep-alive connection; each request from its own forwarded address, so that the
    rate limit is not what is measured."""

    def __init__(self, base: str):
        self.http = httpx.AsyncClient(base_url=base, timeout=60)
        self.n = 0

    async def get(self, path: str, encoding: str = "gzip") -> tuple[float, httpx.Response]:
        self.n += 1
        headers = {"Accept-Encoding": encoding,
                   "X-Forwarded-For": f"10.{self.n >> 16 & 255}.{self.n >> 8 & 255}.{self.n & 255}"}
        for attempt in (1, 2):
            started = time.perf_counter()
            try:
                response = await self.http.get(path, headers=headers)
                break
            except httpx.RemoteProtocolError:
                # The server closed an idle keep-alive connection as the request went out: once more.
                if attempt == 2:
                    raise
        return (time.perf_counter() - started) * 1000, response

    async def close(self) -> None:
        await self.http.aclose()


async def extent(dsn: str) -> tuple[float, float, float, float]:
    conn = await asyncpg.connect(dsn)
    try:
        row = await conn.fetchrow('SELECT ST_XMin(e), ST_YMin(e), ST_XMax(e), ST_YMax(e) FROM '
                                  '(SELECT ST_Extent("GEOMETRY")::geometry e FROM "GIS"."PLOT") s')
        return tuple(row)
    finally:
        await conn.close()


async def every_tile(base: str, redis, box, grid: int, layers: list[str]) -> None:
    client = Client(base)
    minx, miny, maxx, maxy = box
    points = [(minx + (i + 0.5) / grid * (maxx - minx), miny + (j + 0.5) / grid * (maxy - miny))
              for i in range(grid) for j in range(grid)]
    rows, failures, misses = [], [], []
    try:
        for layer in layers:
            for z in range(LAYERS[layer], 19):
                tiles = list(dict.fromkeys(tile_of(z, x, y) for x, y in points))
                cold, hot, plain, raw, packed, bad, empty = [], [], [], [], [], 0, 0
                for _, x, y in tiles:
                    path = f"/gis/{layer}/{z}/{x}/{y}.pbf"
                    redis.delete(f"mvt_v8:{layer}:{z}:{x}:{y}")
                    ms, r = await client.get(path)
                    if r.status_code in (408, 500):
                        bad += 1
                        failures.append(f"{path} {r.status_code}")
                        continue
                    if r.status_code == 204:
                        empty += 1
                        continue
                    cold.append(ms)
                    raw.append(len(r.content))
                    packed.append(r.num_bytes_downloaded)
                    ms, r = await client.get(path)
                    hot.append(ms)
                    if r.headers.get("x-cache") != "HIT":
                        misses.append(path)
                    # The same hit without compression: what the cache itself costs.
                    ms, r = await client.get(path, encoding="identity")
                    plain.append(ms)
                if not cold:
                    rows.append([layer, z, len(tiles), empty, "", "", "", "", "", "", "", "", bad, ""])
                    continue
                within = max(cold) <= limit_for(z) * 1000 / 3
                rows.append([layer, z, len(tiles), empty, f"{pct(cold, .5):.0f}", f"{pct(cold, .95):.0f}",
                             f"{max(cold):.0f}", f"{pct(hot, .5):.1f}", f"{pct(hot, .95):.1f}",
                             f"{pct(plain, .95):.1f}", f"{max(raw) / 1024:.0f}", f"{max(packed) / 1024:.0f}", bad,
                             "yes" if within else "**no**"])
    finally:
        await client.close()
    emit(f"### Every layer at every zoom — the tiles under a {grid}×{grid} grid over the parcels' extent, "
         f"one request at a time, cold (deleted from Redis first) then cached")
    emit()
    table(["layer", "zoom", "tiles", "empty", "cold p50 ms", "cold p95 ms", "cold max ms", "cached p50 ms",
           "cached p95 ms", "cached p95 ms, no gzip", "max KiB", "max gzip KiB", "408/500", "max ≤ ⅓ limit"], rows)
    if failures:
        emit("Failed: " + ", ".join(failures))
        emit()
    if misses:
        emit(f"{len(misses)} second fetches were not cache hits, e.g. {misses[0]}")
        emit()


async def map_view(base: str, redis, box, repeats: int) -> None:
    cx, cy = (box[0] + box[2]) / 2, (box[1] + box[3]) / 2
    z, tx, ty = tile_of(10, cx, cy)
    tiles = [(10, tx + dx, ty + dy) for dy in (-1, 0, 1) for dx in (-2, -1, 0, 1)]
    rows = []
    for rep in range(repeats):
        clients = [Client(base) for _ in range(6)]  # a new page: new connections
        try:
            for layer in ("plots",):
                for _, x, y in tiles:
                    redis.delete(f"mvt_v8:{layer}:10:{x}:{y}")
                queue = list(tiles)
                times = []

                async def browser(client, queue=queue, layer=layer, times=times):
                    while queue:
                        _, x, y = queue.pop(0)
                        ms, r = await client.get(f"/gis/{layer}/10/{x}/{y}.pbf")
                        times.append((ms, r.status_code))

                started = time.perf_counter()
                await asyncio.gather(*(browser(c) for c in clients))
                total = (time.perf_counter() - started) * 1000
                rows.append([rep + 1, f"{total:,.0f}", f"{max(t for t, _ in times):,.0f}",
                             ", ".join(sorted({str(s) for _, s in times}))])
        finally:
            for c in clients:
                await c.close()
    emit("### A cold map view at z10 — the 12 plot tiles around the data's centre, 6 requests at a time")
    emit()
    table(["run", "whole view ms", "slowest tile ms", "statuses"], rows)


async def edits(base: str, dsn: str, box, count: int) -> None:
    client = Client(base)
    conn = await asyncpg.connect(dsn)
    try:
        parcels = await conn.fetch(
            'SELECT "ID", ST_X(ST_PointOnSurface("GEOMETRY")) x, ST_Y(ST_PointOnSurface("GEOMETRY")) y '
            'FROM "GIS"."PLOT" WHERE "ID" % 50000 = 7 ORDER BY "ID" LIMIT $1', count)
        latencies, far_hits = [], 0
        for i, p in enumerate(parcels):
            path = "/gis/plots/%d/%d/%d.pbf" % tile_of(16, p["x"], p["y"])
            # Another of the parcels, elsewhere: its tile must stay cached through this edit.
            q = parcels[(i + len(parcels) // 2) % len(parcels)]
            far_path = "/gis/plots/%d/%d/%d.pbf" % tile_of(16, q["x"], q["y"])
            await client.get(path)
            await client.get(far_path)
            _, r = await client.get(path)
            assert r.headers.get("x-cache") == "HIT", path
            await conn.execute('UPDATE "GIS"."PLOT" SET "GEOMETRY" = ST_Translate("GEOMETRY", 0.5, 0) WHERE "ID" = $1',
                               p["ID"])
            committed = time.perf_counter()
            while True:
                _, r = await client.get(path)
                if r.headers.get("x-cache") != "HIT":
                    break
                if time.perf_counter() - committed > 30:
                    break
                await asyncio.sleep(0.01)
            latencies.append((time.perf_counter() - committed) * 1000)
            _, r = await client.get(far_path)
            far_hits += r.headers.get("x-cache") == "HIT"
            await conn.execute('UPDATE "GIS"."PLOT" SET "GEOMETRY" = ST_Translate("GEOMETRY", -0.5, 0) WHERE "ID" = $1',
                               p["ID"])
            await asyncio.sleep(0.2)
        emit(f"### Edits reaching the map — {len(latencies)} parcels moved 0.5 m, one transaction each; "
             f"from COMMIT to its z16 tile served fresh (polled every 10 ms)")
        emit()
        table(["edits", "p50 ms", "p95 ms", "max ms", "a far z16 tile still cached afterwards"],
              [[len(latencies), f"{pct(latencies, .5):.0f}", f"{pct(latencies, .95):.0f}", f"{max(latencies):.0f}",
                f"{far_hits} of {len(latencies)}"]])

        # One statement over 10,000 parcels while cached tiles are being served.
        warm = [tile_of(17, box[0] + (box[2] - box[0]) * (i % 10 + 0.5) / 10,
                        box[1] + (box[3] - box[1]) * (i // 10 + 0.5) / 10) for i in range(100)]
        paths = ["/gis/plots/%d/%d/%d.pbf" % t for t in warm]
        for path in paths:
            await client.get(path)

        async def serve(seconds: float) -> list[float]:
            times, end, i = [], time.perf_counter() + seconds, 0
            while time.perf_counter() < end:
                ms, _ = await client.get(paths[i % len(paths)])
                times.append(ms)
                i += 1
            return times

        quiet = await serve(3)
        first = await conn.fetchval('SELECT min("ID") FROM "GIS"."PLOT"')

        async def bulk() -> float:
            other = await asyncpg.connect(dsn)
            try:
                started = time.perf_counter()
                await other.execute('UPDATE "GIS"."PLOT" SET "STATUS" = "STATUS" '
                                    'WHERE "ID" >= $1 AND "ID" < $1 + 10000',
                                    first)
                return (time.perf_counter() - started) * 1000
            finally:
                await other.close()

        busy_task = asyncio.ensure_future(serve(6))
        statement_ms = await bulk()
        busy = await busy_task
        emit("### A bulk edit of 10,000 parcels (one UPDATE) while 100 cached z17 tiles are served one at a time")
        emit()
        table(["", "requests", "p50 ms", "p95 ms", "max ms"],
              [["before (3 s)", len(quiet), f"{pct(quiet, .5):.1f}", f"{pct(quiet, .95):.1f}", f"{max(quiet):.1f}"],
               ["during and after (6 s)", len(busy), f"{pct(busy, .5):.1f}", f"{pct(busy, .95):.1f}",
                f"{max(busy):.1f}"]])
        emit(f"The UPDATE itself (with its statement trigger): {statement_ms:,.0f} ms.")
        emit()
    finally:
        await conn.close()
        await client.close()


async def plans(small: str, big: str, repeats: int) -> None:
    """Site and deed plans of a parcel near the data's centre on each database, interleaved."""
    import plan_documents
    from sqlalchemy.ext.asyncio import async_sessionmaker, create_async_engine

    rows, times = [], {}
    engines = {}
    try:
        parcels = {}
        for name, dsn in (("400", small), ("1,000,000", big)):
            engines[name] = create_async_engine("postgresql+asyncpg://" + dsn.split("://", 1)[1])
            conn = await asyncpg.connect(dsn)
            try:
                parcels[name] = await conn.fetchval(
                    'SELECT "ID" FROM "GIS"."PLOT", '
                    '(SELECT ST_SetSRID(ST_Centroid(ST_Extent("GEOMETRY")::geometry), 3857) c FROM "GIS"."PLOT") e '
                    'ORDER BY "GEOMETRY" <-> c LIMIT 1')
            finally:
                await conn.close()
        makers = {name: async_sessionmaker(engine, expire_on_commit=False) for name, engine in engines.items()}
        fields = {"person_name": "A. Surveyor", "district": "D", "cadzone": "Z", "file_no": "F-1"}
        for kind in ("site", "deed"):
            for name in makers:
                times[kind, name] = []
        for rep in range(repeats + 1):  # the first round warms connections and caches, and is dropped
            for kind in ("site", "deed"):
                for name, maker in makers.items():
                    async with maker() as db:
                        started = time.perf_counter()
                        if kind == "site":
                            await plan_documents.site_plan(db, parcels[name])
                        else:
                            await plan_documents.deed_plan(db, parcels[name], **fields)
                        if rep:
                            times[kind, name].append((time.perf_counter() - started) * 1000)
        for kind in ("site", "deed"):
            a, b = statistics.median(times[kind, "400"]), statistics.median(times[kind, "1,000,000"])
            rows.append([kind, f"{a:.0f}", f"{b:.0f}", f"{b / a:.2f}"])
    finally:
        for engine in engines.values():
            await engine.dispose()
    emit(f"### Plans at scale — a parcel near the data's centre, drawn in the process, median of {repeats} "
         f"(the two databases interleaved)")
    emit()
    table(["plan", "400 parcels ms", "1,000,000 parcels ms", "ratio"], rows)


def machine() -> str:
    model = next((row.split(":", 1)[1].strip() for row in Path("/proc/cpuinfo").read_text().splitlines()
                  if row.startswith("model name")), "?")
    mem = int(next(row.split()[1] for row in Path("/proc/meminfo").read_text().splitlines()
                   if row.startswith("MemTotal")))
    return (f"{os.cpu_count()} cores ({model}), {mem / 2**20:.0f} GiB, "
            f"shared with other work (load {os.getloadavg()[0]:.1f})")


async def settings_line(dsn: str) -> str:
    conn = await asyncpg.connect(dsn)
    try:
        names = ("server_version", "jit", "work_mem", "max_parallel_workers_per_gather", "random_page_cost",
                 "shared_buffers")
        values = [f"{n} {await conn.fetchval(f'SHOW {n}')}" for n in names]
        return ", ".join(values)
    finally:
        await conn.close()


def write_docs() -> None:
    from report import write_block

    write_block(out, MARK_BEGIN, MARK_END, "A million parcels — `python bench/scale.py`")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--parcels", type=int, default=1_000_000)
    parser.add_argument("--database", default="ravn_scale")
    parser.add_argument("--grid", type=int, default=5)
    parser.add_argument("--layers", default=",".join(LAYERS))
    parser.add_argument("--views", type=int, default=3, help="cold z10 map views")
    parser.add_argument("--edits", type=int, default=20)
    parser.add_argument("--small-database", default="ravn_scale_small", help="the 400-parcel database for plans")
    parser.add_argument("--plans", type=int, default=10, help="plans of each kind on each database")
    parser.add_argument("--only", help="comma-separated: tiles,view,edits,plans")
    parser.add_argument("--no-docs", action="store_true")
    args = parser.parse_args()
    want = (lambda s: True) if not args.only else (lambda s: s in args.only.split(","))  # noqa: E731

    subprocess.run([sys.executable, "-m", "sampledata", "--parcels", str(args.parcels), "--seed", "1",
                    "--database", args.database, "--if-empty"], check=True, cwd=ROOT)
    dsn = database_dsn(args.database)
    box = asyncio.run(extent(dsn))
    from run_all import Server, uvicorn_command

    redis_server = TemporaryRedis().start()
    import redis as sync_redis

    redis = sync_redis.Redis(host=redis_server.host, port=redis_server.port)
    env = dict(os.environ, DATABASE_URL="postgresql+asyncpg://" + dsn.split("://", 1)[1],
               REDIS_HOST=redis_server.host, REDIS_PORT=str(redis_server.port), REDIS_DB="0",
               LOG_LEVEL="WARNING", TILE_EDITS="1")
    host = Server("host", uvicorn_command("main:app"), API, env, "/")
    try:
        emit(f"Run {datetime.datetime.now().astimezone():%Y-%m-%d %H:%M %Z}: {machine()}.")
        emit()
        emit(f"Data: {args.parcels:,} parcels in `{args.database}` (`python -m sampledata --seed 1`). "
             f"PostgreSQL: {asyncio.run(settings_line(dsn))}. One uvicorn worker, the edit listener running.")
        emit()
        if want("tiles"):
            asyncio.run(every_tile(host.base, redis, box, args.grid, args.layers.split(",")))
        if want("view"):
            asyncio.run(map_view(host.base, redis, box, args.views))
        if want("edits"):
            asyncio.run(edits(host.base, dsn, box, args.edits))
        if want("plans"):
            subprocess.run([sys.executable, "-m", "sampledata", "--parcels", "400", "--seed", "1",
                            "--database", args.small_database, "--if-empty", "--quiet"], check=True, cwd=ROOT)
            asyncio.run(plans(database_dsn(args.small_database), dsn, args.plans))
    finally:
        host.stop()
        redis_server.close()
    if not args.no_docs:
        write_docs()


if __name__ == "__main__":
    main()
