"""What a cached tile costs the host: its compressed body kept, sessions released without
FastAPI's generator machinery, and metrics that cannot grow without bound."""
from __future__ import annotations

import gzip

import httpx
import pytest
from fastapi import Depends, FastAPI, HTTPException
from sqlalchemy import text

from tests.fakes import FakeRedis

TILE = b"\x1a\x90\x01" + bytes(range(256)) * 12
TILE_PATH = "/gis/plots/16/34000/31600.pbf"
TILE_KEY = "mvt_v8:plots:16:34000:31600"


@pytest.fixture
def host(tessera, monkeypatch):
    """The host app, its tile in a fake Redis, a fresh compressed-tile cache."""
    from service import app as main
    from service import web

    redis = FakeRedis()
    redis.store[TILE_KEY] = TILE
    monkeypatch.setattr(tessera, "redis_client", redis)
    monkeypatch.setattr(tessera, "cache", tessera.BinaryRedisCache(redis, namespace="mvt_v8"))
    compressions = []
    real = web.gzip.compress

    def counted(data, *args, **kwargs):
        compressions.append(len(data))
        return real(data, *args, **kwargs)

    monkeypatch.setattr(web.gzip, "compress", counted)
    if main.app.middleware_stack is None:
        main.app.middleware_stack = main.app.build_middleware_stack()
    layer = main.app.middleware_stack
    while not isinstance(layer, web.HttpCaching):
        layer = layer.app
    if hasattr(layer, "tiles"):
        monkeypatch.setattr(layer, "tiles", web.CompressedTiles(layer.level, 1 << 20))  # nothing kept from before
    transport = httpx.ASGITransport(app=main.app, client=("10.9.8.4", 1))
    yield httpx.AsyncClient(transport=transport, base_url="http://t"), redis, compressions


async def raw_get(client, path, **headers):
    async with client.stream("GET", path, headers=headers) as answer:
        return answer, b"".join([chunk async for chunk in answer.aiter_raw()])


async def test_a_cached_tile_is_compressed_once_and_keeps_its_bytes_and_etag(host):
    client, redis, compressions = host
    answers = [await raw_get(client, TILE_PATH, **{"Accept-Encoding": "gzip"}) for _ in range(4)]
    assert compressions == [len(TILE)]
    for answer, body in answers:
        assert answer.headers["content-encoding"] == "gzip" and answer.headers["vary"] == "Accept-Encoding"
        assert gzip.decompress(body) == TILE and int(answer.headers["content-length"]) == len(body)
        assert answer.headers["etag"] == answers[0][0].headers["etag"]
    assert answers[0][1] == gzip.compress(TILE, compresslevel=1, mtime=0)
    # The kept answer revalidates as before.
    etag = answers[0][0].headers["etag"]
    unchanged, body = await raw_get(client, TILE_PATH, **{"Accept-Encoding": "gzip", "If-None-Match": etag})
    assert (unchanged.status_code, body) == (304, b"") and unchanged.headers["etag"] == etag


async def test_a_rebuilt_tile_is_answered_with_its_new_bytes_and_etag(host):
    """An invalidated tile that comes back different must not get the old compressed body."""
    client, redis, _ = host
    old, _ = await raw_get(client, TILE_PATH, **{"Accept-Encoding": "gzip"})
    redis.store.pop("rate_limit:gis:10.9.8.4", None)
    # Same length and same first, middle and last bytes: only the content tells them apart.
    changed = bytearray(TILE)
    changed[100] ^= 0xFF
    redis.store[TILE_KEY] = bytes(changed)
    new, body = await raw_get(client, TILE_PATH, **{"Accept-Encoding": "gzip",
                                                      "If-None-Match": old.headers["etag"]})
    assert new.status_code == 200 and gzip.decompress(body) == bytes(changed)
    assert new.headers["etag"] != old.headers["etag"]


@pytest.mark.parametrize("encoding", ["gzip", "identity"])
async def test_plain_and_compressed_answers_of_a_kept_tile_keep_distinct_etags(host, encoding):
    client, _, _ = host
    other = "identity" if encoding == "gzip" else "gzip"
    first, first_body = await raw_get(client, TILE_PATH, **{"Accept-Encoding": encoding})
    second, _ = await raw_get(client, TILE_PATH, **{"Accept-Encoding": other})
    again, again_body = await raw_get(client, TILE_PATH, **{"Accept-Encoding": encoding})
    assert first.headers["etag"] != second.headers["etag"]
    assert again.headers["etag"] == first.headers["etag"] and again_body == first_body
    assert ("content-encoding" in again.headers) == (encoding == "gzip")


def test_compressed_tiles_stay_within_their_bound():
    from service import web

    tiles = web.CompressedTiles(level=1, max_bytes=100_000, max_entry=20_000)
    bodies = [bytes([i]) * 10_000 + i.to_bytes(4, "big") for i in range(50)]
    for body in bodies:
        packed, etag = tiles.gzip(body)
        assert gzip.decompress(packed) == body
        assert tiles.held <= 100_000
    assert 0 < len(tiles.entries) < 50
    assert tiles.held == sum(len(e[0]) + len(e[1]) for e in tiles.entries.values())
    # The latest stay; an oversized body is answered but not kept.
    assert tiles.gzip(bodies[-1])[0] is tiles.gzip(bodies[-1])[0]
    big = bytes(30_000)
    assert gzip.decompress(tiles.gzip(big)[0]) == big and len(tiles.entries[tiles._key(bodies[-1])]) == 6
    assert all(e[0] is not big for e in tiles.entries.values())


@pytest.mark.parametrize("path, headers, setup", [
    (TILE_PATH, {"Accept-Encoding": "gzip"}, None),
    (TILE_PATH, {}, None),
    ("/gis/plots/016/34000/031600.pbf", {}, None),                # leading zeros, as int() reads them
    ("/gis/nowhere/16/34000/31600.pbf", {}, None),                # unknown layer: 404
    ("/gis/plots/25/1/1.pbf", {}, None),                          # outside the tile grid: 400
    ("/gis/plots/1x/1/1.pbf", {}, None),                          # not an int: FastAPI's 422
    ("/gis/plots/16/" + "9" * 30 + "/1.pbf", {}, None),          # too long to convert here: the route's answer
    (TILE_PATH, {}, "limited"),                                   # the window is full: 429
    (TILE_PATH, {}, "crash"),                                     # the endpoint fails: 500
], ids=["gzip", "plain", "zeros", "layer", "grid", "not-int", "long", "limited", "crash"])
async def test_a_tile_served_directly_is_answered_as_fastapi_answers_it(host, monkeypatch, tessera, path, headers,
                                                                         setup):
    """The direct tile route and FastAPI's route give the same status, headers and bytes."""
    from service import app as main
    from service import direct

    _, redis, _ = host
    transport = httpx.ASGITransport(app=main.app, client=("10.9.8.4", 1), raise_app_exceptions=False)
    client = httpx.AsyncClient(transport=transport, base_url="http://t")
    if setup == "crash":
        async def broken(key, timeout=1.0):
            raise RuntimeError("cache exploded")
        monkeypatch.setattr(tessera, "safe_cache_get", broken)
    leased = []
    real_get_db = direct.get_db

    async def counted(request):
        leased.append(request.scope["path"])
        return await real_get_db(request)

    monkeypatch.setattr(direct, "get_db", counted)
    answers = []
    for overridden in (False, True):  # any dependency override sends the request through FastAPI
        redis.store["rate_limit:gis:10.9.8.4"] = 40 if setup == "limited" else 0
        with monkeypatch.context() as m:
            if overridden:
                import database
                m.setitem(main.app.dependency_overrides, database.get_db, database.get_db)
            answer, body = await raw_get(client, path, **headers)
        answers.append((answer.status_code, body, sorted((k, v) for k, v in answer.headers.items() if k != "date")))
    assert answers[0] == answers[1]
    plain = path.split("/")[3:6] != ["1x", "1", "1.pbf"] and "9" * 30 not in path
    assert leased == ([path] if plain else [])


def test_urls_of_routes_behind_the_direct_route_are_still_built():
    """A direct route answers no name: url_for finds the routes it stands in front of."""
    from service import app as main

    assert main.app.url_path_for("get_tile_xyz", layer_name="plots", z=1, x=2, y=3) == "/gis/plots/1/2/3.pbf"
    assert main.app.url_path_for("ready") == "/ready"


# ---------------------------------------------------------------- sessions


@pytest.fixture
def tracked_sessions(database_url, monkeypatch):
    """Sessions from a real pool; records each one handed out."""
    import database
    from sqlalchemy.ext.asyncio import AsyncSession, async_sessionmaker, create_async_engine

    engine = create_async_engine(database_url, pool_size=2, max_overflow=0)
    handed = []

    class Tracked(AsyncSession):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            handed.append(self)

    maker = async_sessionmaker(engine, class_=Tracked)
    monkeypatch.setattr(database, "get_sessionmaker", lambda: maker)
    return engine, handed


def session_app(with_scope: bool) -> FastAPI:
    import database

    app = FastAPI()
    if with_scope:
        app.add_middleware(database.SessionScope)

    @app.get("/unused")
    async def unused(db=Depends(database.get_db)):
        return {"ok": True}

    @app.get("/used")
    async def used(db=Depends(database.get_db)):
        # As the bounding-box route: a statement first, then an answer from the cache.
        return {"one": (await db.execute(text("SELECT 1"))).scalar_one()}

    @app.get("/used-then-fails")
    async def used_then_fails(db=Depends(database.get_db)):
        await db.execute(text("SELECT 1"))
        raise HTTPException(status_code=503, detail="no")

    @app.get("/used-then-crashes")
    async def used_then_crashes(db=Depends(database.get_db)):
        await db.execute(text("SELECT 1"))
        raise RuntimeError("boom")

    return app


@pytest.mark.integration
@pytest.mark.parametrize("with_scope", [True, False], ids=["SessionScope", "FastAPI exit stack"])
async def test_no_request_leaves_a_session_open(tracked_sessions, with_scope):
    engine, handed = tracked_sessions
    transport = httpx.ASGITransport(app=session_app(with_scope), raise_app_exceptions=False)
    try:
        async with httpx.AsyncClient(transport=transport, base_url="http://t") as client:
            # More requests than the pool holds: a session left open would exhaust it.
            for path, status in [("/unused", 200), ("/used", 200), ("/used-then-fails", 503),
                                 ("/used-then-crashes", 500)] * 3:
                assert (await client.get(path)).status_code == status, path
                assert engine.sync_engine.pool.checkedout() == 0, path
        assert handed and not any(s.in_transaction() for s in handed)
    finally:
        await engine.dispose()


@pytest.mark.integration
async def test_the_host_releases_the_bbox_session_after_a_cache_hit(tessera, tracked_sessions, monkeypatch):
    """The 4326 bounding box is transformed in the database before the cache is asked."""
    from service import app as main

    engine, handed = tracked_sessions
    redis = FakeRedis()
    monkeypatch.setattr(tessera, "redis_client", redis)
    monkeypatch.setattr(tessera, "cache", tessera.BinaryRedisCache(redis, namespace="mvt_v8"))
    transport = httpx.ASGITransport(app=main.app, client=("10.9.8.3", 1))
    params = dict(minx=7.49, miny=6.39, maxx=7.51, maxy=6.41)
    try:
        async with httpx.AsyncClient(transport=transport, base_url="http://t") as client:
            first = await client.get("/gis/plots/bbox/", params=params)
            assert first.status_code in (200, 204)
            if first.status_code == 204:
                pytest.skip("no parcel in the box")
            for _ in range(3):
                hit = await client.get("/gis/plots/bbox/", params=params)
                assert hit.status_code == 200 and hit.headers["x-cache"] == "HIT"
                assert engine.sync_engine.pool.checkedout() == 0
        assert len(handed) >= 2 and not any(s.in_transaction() for s in handed)
    finally:
        await engine.dispose()


# ---------------------------------------------------------------- metrics


async def test_invented_methods_share_one_metrics_label(host):
    client, _, _ = host

    async def series():
        text_ = (await client.get("/metrics")).text
        return {line.rsplit(" ", 1)[0]: float(line.rsplit(" ", 1)[1]) for line in text_.splitlines()
                if line.startswith("http_requests_total{")}

    before = await series()
    for i in range(30):
        await client.request(f"BREW{i}", "/api")
    await client.request("GET", "/api")
    after = await series()
    new = {name: after[name] - before.get(name, 0.0) for name in after if after[name] != before.get(name)}
    assert not any("BREW" in name for name in after)
    assert new.pop('http_requests_total{method="other",route="/api",status="405"}') == 30
    assert new.pop('http_requests_total{method="GET",route="/api",status="200"}') == 1


# ---------------------------------------------------------------- idle connections


@pytest.mark.integration
async def test_only_an_idle_connection_is_pinged_and_a_dead_one_is_replaced(database_url, monkeypatch):
    import asyncio

    import asyncpg
    import database
    from sqlalchemy.ext.asyncio import create_async_engine

    engine = create_async_engine(database_url, pool_size=1, max_overflow=0)
    database.ping_when_idle(engine, 0.3)
    pings = []
    real_ping = engine.dialect.do_ping
    monkeypatch.setattr(engine.dialect, "do_ping", lambda conn: pings.append(1) or real_ping(conn))

    async def backend_pid():
        async with engine.connect() as conn:
            return (await conn.execute(text("SELECT pg_backend_pid()"))).scalar_one()

    try:
        first = await backend_pid()
        assert {await backend_pid() for _ in range(5)} == {first} and pings == []  # in steady use: no ping
        # The server drops the pooled connection (as a restart does) while it sits idle.
        admin = await asyncpg.connect(database_url.replace("postgresql+asyncpg://", "postgresql://"))
        try:
            assert await admin.fetchval("SELECT pg_terminate_backend($1)", first)
        finally:
            await admin.close()
        await asyncio.sleep(0.5)
        replaced = await backend_pid()  # no error: the ping found it dead and the pool opened another
        assert replaced != first and pings == [1]
    finally:
        await engine.dispose()
