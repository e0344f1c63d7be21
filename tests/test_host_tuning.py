"""The host as tuned for serving tiles: lazy sessions, compression, the benchmark's
hit floor, and plans drawn in another process."""
from __future__ import annotations

import pickle
from pathlib import Path

import httpx
import pytest
from fastapi import FastAPI
from sqlalchemy import event

from tests.fakes import FakeRedis

BENCH_DIR = Path(__file__).resolve().parents[1] / "bench"
TILE = b"\x1a\x90\x01" + bytes(range(256)) * 12


async def test_a_session_that_runs_nothing_never_touches_the_pool(monkeypatch):
    """A cached tile gets its session from get_db but never uses it: releasing it must
    check nothing out (the URL points at a closed port, so a connection attempt would fail)."""
    import database
    from sqlalchemy.ext.asyncio import AsyncSession, async_sessionmaker, create_async_engine

    engine = create_async_engine("postgresql+asyncpg://nobody:x@127.0.0.1:1/none", pool_size=1)
    checkouts = []
    event.listen(engine.sync_engine.pool, "checkout", lambda *args: checkouts.append(args))
    monkeypatch.setattr(database, "get_sessionmaker", lambda: async_sessionmaker(engine, class_=AsyncSession))
    for _ in range(3):
        async with database.session_scope() as session:
            assert isinstance(session, AsyncSession)
    assert checkouts == [] and engine.sync_engine.pool.checkedout() == 0
    await engine.dispose()


@pytest.mark.integration
async def test_sessions_are_reused_only_when_left_as_new(database_url, monkeypatch, tessera):
    import database
    from sqlalchemy import text
    from sqlalchemy.ext.asyncio import AsyncSession, async_sessionmaker, create_async_engine

    engine = create_async_engine(database_url, pool_size=2)
    maker = async_sessionmaker(engine, class_=AsyncSession)
    monkeypatch.setattr(database, "get_sessionmaker", lambda: maker)

    async def request(use):
        async with database.session_scope() as session:
            await use(session)
        return session

    async def nothing(session):
        pass

    async def in_transaction(session):  # closed by the module's transaction wrapper, as a tile miss is
        async with tessera.db_transaction(session):
            assert (await session.execute(text("SELECT 1"))).scalar_one() == 1

    async def left_open(session):
        await session.execute(text("SELECT 1"))

    async def tagged(session):
        session.info["user"] = "someone"

    try:
        first = await request(nothing)
        assert await request(in_transaction) is first  # closed by its transaction: as new
        assert await request(nothing) is first
        assert await request(left_open) is first       # handed out once more, then closed, not kept
        second = await request(nothing)
        assert second is not first and not first.in_transaction()
        assert await request(tagged) is second and await request(nothing) is not second
        # Requests at the same time never share a session.
        async with database.session_scope() as a, database.session_scope() as b, database.session_scope() as c:
            assert len({id(a), id(b), id(c)}) == 3
        assert engine.sync_engine.pool.checkedout() == 0
    finally:
        await engine.dispose()


@pytest.fixture
def tiles(tessera, monkeypatch):
    """The tile router and the hit floor side by side in one app, on a fake Redis holding one tile."""
    monkeypatch.syspath_prepend(str(BENCH_DIR))
    import hitfloor

    redis = FakeRedis()
    redis.store["mvt_v8:plots:16:34000:31600"] = TILE
    monkeypatch.setattr(tessera, "redis_client", redis)
    monkeypatch.setattr(tessera, "cache", tessera.BinaryRedisCache(redis, namespace="mvt_v8"))
    app = FastAPI()
    app.include_router(tessera.tesseraApi)
    app.include_router(hitfloor.router)
    client = httpx.AsyncClient(transport=httpx.ASGITransport(app=app, client=("10.9.8.7", 1)), base_url="http://t")
    return client, redis


async def test_the_hit_floor_sends_the_same_commands_and_bytes_as_the_tile_route(tiles):
    client, redis = tiles
    answers = {}
    for prefix in ("/gis", "/floor"):
        redis.calls.clear()
        redis.store.pop("rate_limit:gis:10.9.8.7", None)
        answers[prefix] = await client.get(prefix + "/plots/16/34000/31600.pbf")
        assert [c[0] for c in redis.calls] == ["incr", "expire", "get"], prefix
    tile, floor = answers["/gis"], answers["/floor"]
    assert tile.status_code == floor.status_code == 200
    assert tile.content == floor.content == TILE
    for header in ("content-type", "cache-control", "x-cache", "content-length"):
        assert tile.headers[header] == floor.headers[header], header
    # A window already open: no second EXPIRE, and the floor refuses past the same limit.
    redis.calls.clear()
    assert (await client.get("/floor/plots/16/34000/31600.pbf")).status_code == 200
    assert [c[0] for c in redis.calls] == ["incr", "get"]
    redis.store["rate_limit:gis:10.9.8.7"] = 40
    assert (await client.get("/floor/plots/16/34000/31600.pbf")).status_code == 429


@pytest.mark.parametrize("size, compressed", [(2000, True), (500, False)])
async def test_tiles_are_compressed_at_the_configured_level_above_the_minimum(tessera, monkeypatch, size, compressed):
    from service import app as main

    redis = FakeRedis()
    redis.store["mvt_v8:plots:16:34000:31600"] = TILE[:size]
    monkeypatch.setattr(tessera, "redis_client", redis)
    monkeypatch.setattr(tessera, "cache", tessera.BinaryRedisCache(redis, namespace="mvt_v8"))
    transport = httpx.ASGITransport(app=main.app, client=("10.9.8.6", 1))
    async with httpx.AsyncClient(transport=transport, base_url="http://t") as client:
        answer = await client.get("/gis/plots/16/34000/31600.pbf", headers={"Accept-Encoding": "gzip"})
    assert answer.status_code == 200 and answer.content == TILE[:size]  # httpx decodes it
    assert (answer.headers.get("content-encoding") == "gzip") is compressed


def test_deployment_settings_for_compression_and_plan_processes(monkeypatch):
    from service import deployment

    defaults = deployment.settings()
    assert (defaults.gzip_level, defaults.gzip_minimum_size, defaults.plan_processes) == (1, 1024, 1)
    monkeypatch.setenv("GZIP_LEVEL", "12")
    monkeypatch.setenv("PLAN_PROCESSES", "0")
    capped = deployment.settings()
    assert (capped.gzip_level, capped.plan_processes) == (9, 1)
    monkeypatch.setenv("GZIP_LEVEL", "fast")
    with pytest.raises(ValueError, match="^GZIP_LEVEL must"):
        deployment.settings()


def test_a_plan_error_crosses_the_process_boundary_whole():
    from service.plans.documents import PlanError

    error = pickle.loads(pickle.dumps(PlanError(422, "Parcel 7 has no boundary legs")))
    assert (type(error), error.status_code, error.detail, str(error)) == (
        PlanError, 422, "Parcel 7 has no boundary legs", "Parcel 7 has no boundary legs")


def test_plan_processes_run_below_the_tile_workers(monkeypatch):
    """On busy cores a drawing process must give way to the tiles (PLAN_NICE)."""
    import os

    from service.plans import routes as plans

    monkeypatch.setenv("PLAN_NICE", "7")
    renderer = plans.PlanRenderer()
    try:
        assert renderer.executor().submit(os.nice, 0).result(timeout=120) == os.nice(0) + 7
    finally:
        renderer.shutdown()
