"""Reads from a streaming replica: a throwaway primary, a replica of it made by scripts/replica.sh,
and a Redis of the module's own. Replay is paused on the replica to hold an edit back from it."""
from __future__ import annotations

import asyncio
import logging

import asyncpg
import httpx
import pytest
from fastapi import FastAPI
from sqlalchemy import text

from tests.tessera.live import live_redis as redis, redis_server  # noqa: F401 - fixtures: the module's own empty Redis
from tests.support.postgres import TemporaryReplica, temporary_postgres

from service import tile_edits

pytestmark = pytest.mark.integration


@pytest.fixture(scope="module")
def cluster():
    """(primary, replica), the replica caught up with the sample data."""
    with temporary_postgres(parcels=40, seed=1) as primary:
        replica = TemporaryReplica(primary).create()
        try:
            replica.wait_for_primary()
            yield primary, replica
        finally:
            replica.close()


@pytest.fixture
def paused(cluster):
    """Pauses replay on the replica; returns a function that resumes it. Resumed at the end in any case."""
    primary, replica = cluster
    replica.admin_sql("SELECT pg_wal_replay_pause()")

    def resume():
        replica.admin_sql("SELECT pg_wal_replay_resume()")

    yield resume
    resume()
    replica.wait_for_primary()


@pytest.fixture
async def db_env(cluster, monkeypatch):
    """The host's engines on the primary, its request sessions on the replica."""
    import database

    primary, replica = cluster
    monkeypatch.setenv("DATABASE_URL", primary.url)
    monkeypatch.setenv("DATABASE_REPLICA_URL", replica.url)
    await database.dispose_engine()
    yield database
    await database.dispose_engine()


@pytest.fixture
async def http(tessera, redis, db_env):
    app = FastAPI()
    app.include_router(tessera.tesseraApi)
    async with httpx.AsyncClient(transport=httpx.ASGITransport(app=app), base_url="http://t") as client:
        yield client


@pytest.fixture
async def listener(tessera, cluster):
    primary, replica = cluster
    started: list[tile_edits.TileEditListener] = []

    async def make(replica_wait: float) -> tile_edits.TileEditListener:
        made = tile_edits.TileEditListener(primary.dsn, tessera, coalesce=0.02, redelete_after=-1, retry=0.1,
                                           replica_dsn=replica.dsn, replica_wait=replica_wait).start()
        started.append(made)
        await asyncio.wait_for(made.active.wait(), 10)
        return made

    yield make
    for made in started:
        await made.stop()


async def until(predicate, timeout=10.0):
    deadline = asyncio.get_running_loop().time() + timeout
    while not predicate():
        assert asyncio.get_running_loop().time() < deadline, "condition not reached in time"
        await asyncio.sleep(0.02)


async def parcel_tile(primary) -> tuple[int, str]:
    """A parcel and the z18 tile over its centre."""
    conn = await asyncpg.connect(primary.dsn)
    try:
        row = await conn.fetchrow('SELECT "ID", ST_X(c) AS x, ST_Y(c) AS y FROM (SELECT "ID", '
                                  'ST_PointOnSurface("GEOMETRY") AS c FROM "GIS"."PLOT" ORDER BY "ID" LIMIT 1) s')
    finally:
        await conn.close()
    n = 1 << 18
    size = 2 * tile_edits.HALF / n
    x, y = int((row["x"] + tile_edits.HALF) // size), int((tile_edits.HALF - row["y"]) // size)
    return row["ID"], f"18/{x}/{y}"


async def move(primary, parcel: int, metres: float) -> None:
    conn = await asyncpg.connect(primary.dsn)
    try:
        await conn.execute('UPDATE "GIS"."PLOT" SET "GEOMETRY" = ST_Translate("GEOMETRY", $2, 0) WHERE "ID" = $1',
                           parcel, metres)
    finally:
        await conn.close()


class Lines(logging.Handler):
    def __init__(self):
        super().__init__(logging.INFO)
        self.lines: list[str] = []

    def emit(self, record):
        self.lines.append(record.getMessage())


@pytest.mark.parametrize("replica_wait, deleted_while_paused", [(30.0, False), (0.3, True)])
async def test_an_edit_leaves_the_cache_once_the_replica_has_replayed_it(
        cluster, http, redis, listener, paused, replica_wait, deleted_while_paused):
    """Held back until the replica has the edit; a replica lagging past the bound does not hold
    it back for ever, and the log says so."""
    primary, replica = cluster
    parcel, tile = await parcel_tile(primary)
    old = await http.get(f"/gis/plots/{tile}.pbf")
    assert old.status_code == 200
    key = f"mvt_v8:plots:{tile.replace('/', ':')}"
    assert await redis.exists(key)
    edits = await listener(replica_wait)
    lines = Lines()
    tile_edits.log.addHandler(lines)
    try:
        await move(primary, parcel, 3.0)
        await until(lambda: edits.stats.replica_waits >= 1)
        if deleted_while_paused:
            await until(lambda: edits.stats.passes >= 1)
            assert not await redis.exists(key)
            assert edits.stats.replica_late == 1
            assert any("has not replayed" in line for line in lines.lines)
        else:
            await asyncio.sleep(1.0)
            assert await redis.exists(key) and edits.stats.passes == 0
            paused()
            await until(lambda: edits.stats.passes >= 1)
            assert not await redis.exists(key)
            assert edits.stats.replica_late == 0
            # Asked again, the tile comes from the replica with the parcel moved.
            fresh = await http.get(f"/gis/plots/{tile}.pbf")
            assert fresh.status_code == 200 and fresh.content != old.content
    finally:
        tile_edits.log.removeHandler(lines)
        await move(primary, parcel, -3.0)


async def test_without_a_replica_the_listener_does_not_wait(tessera, cluster, redis, paused):
    primary, _ = cluster
    parcel, _ = await parcel_tile(primary)
    edits = tile_edits.TileEditListener(primary.dsn, tessera, coalesce=0.02, redelete_after=-1).start()
    try:
        await asyncio.wait_for(edits.active.wait(), 10)
        await move(primary, parcel, 1.0)
        await until(lambda: edits.stats.passes >= 1, timeout=5)
        assert edits.stats.replica_waits == 0
    finally:
        await edits.stop()
        await move(primary, parcel, -1.0)


async def test_plans_read_from_the_replica_and_register_on_the_primary(cluster, db_env, paused):
    from service.plans import documents, issue_log

    primary, replica = cluster
    database = db_env
    async with database.SessionLocal() as session:
        assert (await session.execute(text("SELECT pg_is_in_recovery()"))).scalar() is True
    parcel, _ = await parcel_tile(primary)
    conn = await asyncpg.connect(primary.dsn)
    try:
        # Gone from the primary, still on the paused replica: the plan is drawn from the replica.
        await conn.execute('CREATE TABLE keep AS SELECT * FROM "GIS"."PLOT" WHERE "ID" = $1', parcel)
        await conn.execute('DELETE FROM "GIS"."PLOT" WHERE "ID" = $1', parcel)
        pdf, _ = await documents.document("site", parcel, {})
        assert pdf.startswith(b"%PDF")
        sha256 = await issue_log.record(database.get_engine(), client="test", parcel_id=parcel, document="site",
                                        particulars={}, pdf=pdf)
        assert await conn.fetchval("SELECT count(*) FROM registry.plan_issues WHERE sha256 = $1", sha256) == 1
        # A plan just issued can be looked up at once, replica or not.
        assert len(await issue_log.issued(database.get_engine(), sha256)) == 1
        paused()
        replica.wait_for_primary()
        with pytest.raises(documents.PlanError) as gone:
            await documents.document("site", parcel, {})
        assert gone.value.status_code == 404
    finally:
        await conn.execute('INSERT INTO "GIS"."PLOT" SELECT * FROM keep')
        await conn.execute("DROP TABLE keep")
        await conn.close()
