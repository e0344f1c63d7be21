"""Edits made in the database reach the map: the layer tables' triggers and the listener that
drops the cache entries they touch. Everything runs on a database and a Redis of the module's own."""
from __future__ import annotations

import asyncio
import json
import logging

import asyncpg
import httpx
import pytest
from fastapi import FastAPI

import sampledata
from sampledata.settings import database_dsn
from tests.tessera.live import live_redis as redis, redis_server  # noqa: F401 - fixtures: the module's own empty Redis

from service import tile_edits
from helpers.utils import xyz_to_bbox_web_mercator

pytestmark = pytest.mark.integration

SCHEMA_SQL = (sampledata.loader.SCHEMA_FILE).read_text()

# table, layer, geometry column, (columns, values) of a row apart from id and geometry
TABLES = {
    "plots": ('"GIS"."PLOT"', '"ID"', '"GEOMETRY"', ', "PLOT_NO", "STATUS"', ", 'T1', 'ACTIVE'"),
    "beacons": ('"GIS"."BEACON"', '"ID"', '"GEOMETRY"', ', "BEACON_NO"', ", 'B1'"),
    "roads": ('"GIS"."ROAD"', '"ID"', '"GEOMETRY"', ', "ROAD_NAME"', ", 'R1'"),
    "cadzones": ('"GIS"."CadZones"', '"id"', '"geometry"', ', "name", "district_id"', ", 'C1', 1"),
    "districts": ('"GIS"."Districts"', '"id"', '"geometry"', ', "name", "lga_id"', ", 'D1', 1"),
    "lgas": ('"GIS"."LGAs"', '"id"', '"geometry"', ', "name"', ", 'L1'"),
}
# Far from the sample data, so the loaded rows never share a tile with these.
CX, CY = -3_000_123.0, 2_500_321.0
# Size of the edited feature per layer, metres.
SIZE = {"plots": 20, "beacons": 0, "roads": 100, "cadzones": 800, "districts": 3000, "lgas": 9000}
# Small neighbours at growing distances, so that at every zoom some cached tiles lie next to the
# edited feature's and some do not.
SATELLITES = [(d * dx, d * dy) for d, (dx, dy) in zip(
    (45, 130, 420, 1300, 4100, 13000, 41000, 130000),
    ((1, 0), (0, 1), (-1, 0), (0, -1), (1, 1), (-1, 1), (-1, -1), (1, -1)), strict=False)]
EDIT_ID = 900_001


def geometry_sql(layer: str, x: float, y: float, size: float) -> str:
    if layer == "beacons":
        return f"ST_SetSRID(ST_MakePoint({x}, {y}), 3857)"
    if layer == "roads":
        return (f"ST_SetSRID(ST_MakeLine(ST_MakePoint({x - size / 2}, {y}), "
                f"ST_MakePoint({x + size / 2}, {y + 7})), 3857)")
    env = f"ST_MakeEnvelope({x - size / 2}, {y - size / 2}, {x + size / 2}, {y + size / 2}, 3857)"
    return env if layer == "plots" else f"ST_Multi({env})"


def insert_sql(layer: str, *rows: tuple[int, float, float, float]) -> str:
    """One INSERT statement of (id, x, y, size) rows."""
    table, id_col, geom_col, cols, vals = TABLES[layer]
    values = ", ".join(f"({fid}, {geometry_sql(layer, x, y, size)}{vals})" for fid, x, y, size in rows)
    return f"INSERT INTO {table} ({id_col}, {geom_col}{cols}) VALUES {values}"


@pytest.fixture(scope="module")
def edits_db(services):
    """A database of this module's own: the schema, a few sample parcels (loaded by the loader),
    and per layer one feature to edit with its small neighbours."""
    name = f"{services['PGDATABASE_TEST']}_edits"

    async def create():
        admin = await asyncpg.connect(database_dsn("postgres"))
        try:
            await admin.execute(f'DROP DATABASE IF EXISTS "{name}" WITH (FORCE)')
            await admin.execute(f'CREATE DATABASE "{name}"')
        finally:
            await admin.close()

    asyncio.run(create())
    sampledata.load(name, 30, 1)
    dsn = database_dsn(name)

    async def fill():
        conn = await asyncpg.connect(dsn)
        try:
            for layer in TABLES:
                await conn.execute(insert_sql(layer, (EDIT_ID, CX, CY, SIZE[layer])))
                for i, (dx, dy) in enumerate(SATELLITES):
                    # Large enough to show at the zooms where they lie in tiles of their own.
                    size = max(10, abs(dx or dy) / 8)
                    await conn.execute(insert_sql(layer, (EDIT_ID + 1 + i, CX + dx, CY + dy, size)))
        finally:
            await conn.close()

    asyncio.run(fill())
    yield dsn

    async def drop():
        admin = await asyncpg.connect(database_dsn("postgres"))
        try:
            await admin.execute(f'DROP DATABASE IF EXISTS "{name}" WITH (FORCE)')
        finally:
            await admin.close()

    asyncio.run(drop())


@pytest.fixture
async def http(tessera, redis, edits_db, monkeypatch):
    """The tile routes over the module's database."""
    import database

    monkeypatch.setenv("DATABASE_URL", edits_db)
    await database.dispose_engine()
    app = FastAPI()
    app.include_router(tessera.tesseraApi)
    async with httpx.AsyncClient(transport=httpx.ASGITransport(app=app), base_url="http://t") as client:
        yield client
    await database.dispose_engine()


@pytest.fixture
async def listeners(tessera, edits_db):
    started: list[tile_edits.TileEditListener] = []

    def make(**kw) -> tile_edits.TileEditListener:
        kw.setdefault("coalesce", 0.02)
        kw.setdefault("redelete_after", -1)
        kw.setdefault("standby_poll", 0.2)
        kw.setdefault("retry", 0.1)
        listener = tile_edits.TileEditListener(edits_db, tessera, **kw).start()
        started.append(listener)
        return listener

    yield make
    for listener in started:
        await listener.stop()


async def until(predicate, timeout=10.0):
    deadline = asyncio.get_running_loop().time() + timeout
    while not predicate():
        assert asyncio.get_running_loop().time() < deadline, "condition not reached in time"
        await asyncio.sleep(0.02)


async def get(http, redis, url):
    await redis.delete(*[k async for k in redis.scan_iter(match="rate_limit:*")] or ["-"])
    return await http.get(url)


def tile_of(z, x, y):
    n = 1 << z
    size = 2 * tile_edits.HALF / n
    return z, int((x + tile_edits.HALF) // size), int((tile_edits.HALF - y) // size)


async def warm(http, redis, tessera, layer):
    """Cache, through the endpoints, the tiles over the edited feature and over each neighbour at
    every zoom of the layer, two bounding boxes and the centroid; the keys the module wrote."""
    min_zoom = tessera.LAYER_CONFIG[layer]["min_zoom"]
    tiles = set()
    for z in range(max(min_zoom, 1), 19):
        for dx, dy in [(0, 0)] + SATELLITES:
            tiles.add(tile_of(z, CX + dx, CY + dy))
    for z, x, y in sorted(tiles):
        # A feature too small for its zoom leaves the tile empty: 204, nothing cached.
        assert (await get(http, redis, f"/gis/{layer}/{z}/{x}/{y}.pbf")).status_code in (200, 204)
    for x, y in ((CX, CY), (CX + SATELLITES[-1][0], CY + SATELLITES[-1][1])):
        r = await get(http, redis, f"/gis/{layer}/bbox/?minx={x - 300}&miny={y - 300}&maxx={x + 300}"
                                   f"&maxy={y + 300}&srid=3857")
        assert r.status_code == 200
    assert (await get(http, redis, f"/gis/{layer}/")).status_code == 200
    return {k.decode() async for k in redis.scan_iter(match="mvt_v8:*")}


def touched(tessera, layer, key, box):
    """Whether a written key's area, as its endpoint defines it, meets `box`."""
    parts = key.split(":")
    if parts[1] == "centroid":
        return True
    if parts[1] == "bbox":
        minx, miny, maxx, maxy = (float(v) for v in parts[3:7])
    else:
        z, x, y = (int(v) for v in parts[2:5])
        b = xyz_to_bbox_web_mercator(z, x, y)
        grow = (b["maxx"] - b["minx"]) * tessera.get_zoom_config(z, layer)["buffer"] / 4096
        minx, miny, maxx, maxy = b["minx"] - grow, b["miny"] - grow, b["maxx"] + grow, b["maxy"] + grow
    return minx <= box[2] and box[0] <= maxx and miny <= box[3] and box[1] <= maxy


@pytest.mark.parametrize("layer", list(TABLES))
async def test_an_edit_drops_exactly_the_entries_it_touches(tessera, http, redis, edits_db, listeners, layer):
    written = await warm(http, redis, tessera, layer)
    zooms = {int(k.split(":")[2]) for k in written if k.startswith(f"mvt_v8:{layer}:")}
    assert zooms == set(range(max(tessera.LAYER_CONFIG[layer]["min_zoom"], 1), 19))
    assert any(":bbox:" in k for k in written) and f"mvt_v8:centroid:{layer}" in written
    listener = listeners()
    await listener.active.wait()
    table, id_col, geom_col, _, _ = TABLES[layer]
    conn = await asyncpg.connect(edits_db)
    try:
        box = tuple(await conn.fetchrow(
            f"SELECT ST_XMin(b), ST_YMin(b), ST_XMax(b), ST_YMax(b) FROM (SELECT ST_Extent(g)::geometry AS b FROM "
            f"(SELECT {geom_col} AS g FROM {table} WHERE {id_col} = $1 UNION ALL "
            f"SELECT ST_Translate({geom_col}, 30, 0) FROM {table} WHERE {id_col} = $1) AS t) AS s", EDIT_ID))
        # Moved 30 m east: the tiles of the old place and of the new one.
        await conn.execute(f"UPDATE {table} SET {geom_col} = ST_Translate({geom_col}, 30, 0) WHERE {id_col} = $1",
                           EDIT_ID)
        await until(lambda: listener.stats.passes >= 1)
        await conn.execute(f"UPDATE {table} SET {geom_col} = ST_Translate({geom_col}, -30, 0) WHERE {id_col} = $1",
                           EDIT_ID)
    finally:
        await conn.close()
    left = {k.decode() async for k in redis.scan_iter(match="mvt_v8:*")}
    dropped = written - left
    expected = {k for k in written if touched(tessera, layer, k, box)}
    assert dropped == expected
    # Neighbours' tiles at every zoom the neighbours leave the edit's tile stay cached.
    assert any(k.startswith(f"mvt_v8:{layer}:18:") for k in left)


async def test_a_district_sized_extent_scans_a_zoom_instead_of_listing_it(tessera, redis):
    inside = [f"mvt_v8:lgas:18:{x}:{y}" for x in range(100, 103) for y in range(200, 203)]
    outside = ["mvt_v8:lgas:18:99:200", "mvt_v8:lgas:18:100:210", "mvt_v8:lgas:17:60:100", "mvt_v8:plots:18:101:201"]
    for key in inside + outside:
        await redis.set(key, b"t")
    size = 2 * tile_edits.HALF / (1 << 18)
    # Tiles 100..102 x 200..202 at z18, shrunk so no neighbour is reached through the buffer.
    box = (-tile_edits.HALF + 100.1 * size, tile_edits.HALF - 202.9 * size,
           -tile_edits.HALF + 102.9 * size, tile_edits.HALF - 200.1 * size)
    invalidator = tile_edits.Invalidator(tessera, key_bound=4)
    await invalidator.drop_extents("lgas", [box])
    assert invalidator.stats.zoom_scans > 0
    left = {k.decode() async for k in redis.scan_iter(match="*")}
    assert left == set(outside)


def _notes(conn):
    got: list[dict] = []
    return got, (lambda c, pid, channel, payload: got.append(json.loads(payload)))


async def test_trigger_payloads(edits_db):
    listen = await asyncpg.connect(edits_db)
    edit = await asyncpg.connect(edits_db)
    got, callback = _notes(listen)
    await listen.add_listener("tile_edits", callback)
    try:
        async with edit.transaction():
            await edit.execute(insert_sql("roads", (990_001, 0, 0, 100), (990_002, 1000, 1000, 100)))
            await asyncio.sleep(0.2)
            assert got == []  # nothing before the commit
        await until(lambda: len(got) == 1)
        # One statement over two rows: one extent over both.
        assert got.pop() == {"layer": "roads", "op": "INSERT", "bbox": [-50, 0, 1050, 1007]}
        await edit.execute('UPDATE "GIS"."ROAD" SET "GEOMETRY" = ST_Translate("GEOMETRY", 5000, 0) '
                           'WHERE "ID" IN (990001, 990002)')
        await until(lambda: len(got) == 1)
        assert got.pop() == {"layer": "roads", "op": "UPDATE", "bbox": [-50, 0, 6050, 1007]}
        await edit.execute('DELETE FROM "GIS"."ROAD" WHERE "ID" = 990001')
        await until(lambda: len(got) == 1)
        assert got.pop() == {"layer": "roads", "op": "DELETE", "bbox": [4950, 0, 5050, 7]}
        # Rolled back, or touching no row: nothing to drop.
        tx = edit.transaction()
        await tx.start()
        await edit.execute('DELETE FROM "GIS"."ROAD" WHERE "ID" = 990002')
        await tx.rollback()
        await edit.execute('UPDATE "GIS"."ROAD" SET "ROAD_NAME" = \'X\' WHERE "ID" = -1')
        async with edit.transaction():
            # TRUNCATE drops the layer whole; rolled back here so the data stays.
            await edit.execute('CREATE TEMP TABLE keep AS SELECT * FROM "GIS"."CadZones"')
            await edit.execute('TRUNCATE "GIS"."CadZones"')
            await edit.execute('INSERT INTO "GIS"."CadZones" SELECT * FROM keep')
        await until(lambda: len(got) >= 1)
        await asyncio.sleep(0.2)
        assert got[0] == {"layer": "cadzones", "op": "TRUNCATE", "all": True}
        assert [n["op"] for n in got] == ["TRUNCATE", "INSERT"]
    finally:
        await edit.execute('DELETE FROM "GIS"."ROAD" WHERE "ID" IN (990001, 990002)')
        await listen.close()
        await edit.close()


async def test_a_bulk_load_sends_whole_layer_invalidations_only(edits_db, services):
    name = f"{services['PGDATABASE_TEST']}_edits_load"
    listen = None
    try:
        await asyncio.to_thread(sampledata.load, name, 20, 2)
        listen = await asyncpg.connect(database_dsn(name))
        got, callback = _notes(listen)
        await listen.add_listener("tile_edits", callback)
        await asyncio.to_thread(sampledata.load, name, 25, 3)
        await until(lambda: len(got) >= 6)
        await asyncio.sleep(0.2)
        assert sorted(n["layer"] for n in got) == sorted(tile_edits.LAYERS)
        assert all(n["op"] == "TRUNCATE" for n in got)
        # And the edit triggers are back after the load.
        count = await listen.fetchval("SELECT count(*) FROM pg_trigger WHERE tgname LIKE 'tile_edit_%'")
        assert count == 4 * len(tile_edits.LAYERS)
        # Parcels stored in the order of their spatial index.
        clustered = await listen.fetchval("SELECT indisclustered FROM pg_index "
                                          "WHERE indexrelid = '\"GIS\".\"PLOT_GEOMETRY_gist\"'::regclass")
        assert clustered
    finally:
        if listen is not None:
            await listen.close()
        admin = await asyncpg.connect(database_dsn("postgres"))
        await admin.execute(f'DROP DATABASE IF EXISTS "{name}" WITH (FORCE)')
        await admin.close()


@pytest.fixture
def edit_log(caplog):
    """The listener's records, also when the host's logger (which does not propagate) is set up."""
    logger = logging.getLogger("landrecords.tile_edits")
    caplog.set_level(logging.INFO, logger=logger.name)
    logger.addHandler(caplog.handler)
    yield caplog
    logger.removeHandler(caplog.handler)


async def test_a_reconnect_drops_every_layer_whole(tessera, redis, edits_db, listeners, edit_log):
    caplog = edit_log
    listener = listeners()
    await listener.active.wait()
    keys = [f"mvt_v8:{layer}:12:1:1" for layer in tile_edits.LAYERS] + ["mvt_v8:bbox:plots:0:0:9:9:100:True",
                                                                       "mvt_v8:centroid:roads", "rate_limit:gis:x"]
    for key in keys:
        await redis.set(key, b"t")
    admin = await asyncpg.connect(edits_db)
    try:
        # The session that holds the listener's lock is the listening one.
        killed = await admin.fetchval(
            "SELECT count(pg_terminate_backend(pid)) FROM pg_locks WHERE locktype = 'advisory' AND objid = $1 "
            "AND database = (SELECT oid FROM pg_database WHERE datname = current_database())", tile_edits.LOCK_KEY)
        assert killed >= 1
    finally:
        await admin.close()
    await until(lambda: listener.stats.takeovers == 1 and listener.stats.passes >= 1)
    assert [k.decode() async for k in redis.scan_iter(match="*")] == ["rate_limit:gis:x"]
    assert any("edits made meanwhile are unknown" in r.getMessage() for r in caplog.records)


async def test_two_listeners_do_the_work_once(tessera, redis, edits_db, listeners):
    first = listeners(name="first")
    await first.active.wait()
    second = listeners(name="second")
    await asyncio.sleep(0.5)
    assert not second.active.is_set()
    conn = await asyncpg.connect(edits_db)
    try:
        await conn.execute('UPDATE "GIS"."BEACON" SET "STATUS" = \'moved\' WHERE "ID" = $1', EDIT_ID)
        await until(lambda: first.stats.passes == 1)
        await asyncio.sleep(0.3)
        assert second.stats.passes == 0 and second.stats.notifications == 0
        # The working one goes: the other takes over, knowing nothing of the gap.
        await first.stop()
        await asyncio.wait_for(second.active.wait(), 5)
        await until(lambda: second.stats.layer_flushes == len(tile_edits.LAYERS))
        assert second.stats.takeovers == 1
    finally:
        await conn.close()


async def test_entries_written_back_after_the_edit_are_dropped_again(tessera, redis, edits_db, listeners):
    listener = listeners(redelete_after=0.3)
    await listener.active.wait()
    key = "mvt_v8:plots:%d:%d:%d" % tile_of(18, CX, CY)
    conn = await asyncpg.connect(edits_db)
    try:
        await conn.execute('UPDATE "GIS"."PLOT" SET "STATUS" = \'x\' WHERE "ID" = $1', EDIT_ID)
        await until(lambda: listener.stats.passes == 1)
        # A tile query that began before the commit writes the old tile now.
        await redis.set(key, b"old")
        await until(lambda: listener.stats.passes == 2)
        assert await redis.get(key) is None
    finally:
        await conn.close()


async def test_stop_ends_a_listener_that_outlived_its_cancellation(monkeypatch):
    """On 3.11 asyncio.wait_for can return a result that arrived together with a cancellation,
    and the listener goes on; stopping it (the application's shutdown) must still end."""
    monkeypatch.setattr(tile_edits, "STOP_GRACE", 0.05)
    lost: list[bool] = []

    class Stubborn(tile_edits.TileEditListener):
        async def _run(self):
            while True:
                try:
                    await asyncio.sleep(3600)
                except asyncio.CancelledError:
                    if lost:
                        raise
                    lost.append(True)  # as wait_for does when its result came in first

    listener = Stubborn("postgresql://unused", tessera=object()).start()
    await asyncio.sleep(0)
    async with asyncio.timeout(5):
        await listener.stop()
    assert lost == [True] and listener._task is None
