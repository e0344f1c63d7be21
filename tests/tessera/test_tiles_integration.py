"""Tiles from the real PostGIS sample database through the real Redis."""
from __future__ import annotations

import asyncio

import httpx
import mapbox_vector_tile
import pytest
import redis.asyncio as aioredis
from fastapi import FastAPI
from redis.asyncio.retry import Retry
from redis.backoff import NoBackoff
from sqlalchemy import text
from sqlalchemy.ext.asyncio import create_async_engine

from tests.support.services import temporary_redis

pytestmark = pytest.mark.integration


@pytest.fixture
async def engine(database_url):
    engine = create_async_engine(database_url)
    yield engine
    await engine.dispose()


@pytest.fixture
async def redis(tessera, services, monkeypatch):
    """The real Redis behind the module, cleared of tile keys and counters."""
    client = aioredis.Redis(host=services["REDIS_HOST"], port=int(services["REDIS_PORT"]), decode_responses=False,
                            socket_connect_timeout=5, socket_timeout=5)
    for pattern in ("mvt_v8:*", "rate_limit:gis:*"):
        async for key in client.scan_iter(match=pattern):
            await client.delete(key)
    monkeypatch.setattr(tessera, "redis_client", client)
    monkeypatch.setattr(tessera, "cache", tessera.BinaryRedisCache(client, namespace="mvt_v8"))
    yield client
    await client.aclose()


@pytest.fixture
async def http(tessera, redis):
    import database

    app = FastAPI()
    app.include_router(tessera.tesseraApi)
    async with httpx.AsyncClient(transport=httpx.ASGITransport(app=app), base_url="http://t") as client:
        yield client
    await database.dispose_engine()


async def parcel_tile(engine, tessera, zoom):
    """The tile at `zoom` over the centre of some parcel of the sample data."""
    async with engine.connect() as conn:
        lon, lat = (await conn.execute(text(
            'SELECT ST_X(p), ST_Y(p) FROM (SELECT ST_Transform(ST_PointOnSurface("GEOMETRY"), 4326) p '
            'FROM "GIS"."PLOT" ORDER BY "ID" LIMIT 1 OFFSET 150) s'))).one()
    tile = tessera.latlon_to_xyz(lat, lon, zoom)
    return tile["z"], tile["x"], tile["y"]


def decode(body):
    return mapbox_vector_tile.decode(body, default_options={"y_coord_down": True})


@pytest.mark.parametrize("layer, zoom", [("lgas", 5), ("lgas", 18), ("plots", 14)])
async def test_statement_gives_a_tile_over_the_data(tessera, engine, layer, zoom):
    z, x, y = await parcel_tile(engine, tessera, zoom)
    bbox = tessera.xyz_to_bbox_web_mercator(z, x, y)
    sql, _ = tessera.generate_mvt_sql(layer, zoom)
    async with engine.connect() as conn:
        body = (await conn.execute(text(sql), {"min_x": bbox["minx"], "min_y": bbox["miny"],
                                               "max_x": bbox["maxx"], "max_y": bbox["maxy"]})).scalar_one()
    layers = decode(bytes(body))
    assert list(layers) == [layer] and layers[layer]["features"]


async def test_estimated_extent_resolves_every_catalogue_table(tessera, engine):
    async with engine.connect() as conn:
        for entry in tessera.LAYER_CONFIG.values():
            box = (await conn.execute(text("SELECT ST_EstimatedExtent(:t, :g)::text"),
                                      {"t": entry["table"].strip('"'), "g": entry["geom_col"].strip('"')})).scalar()
            assert box and box.startswith("BOX("), entry["table"]


async def test_xyz_tile_content_and_cache_hit(tessera, engine, http, redis):
    z, x, y = await parcel_tile(engine, tessera, 17)
    first = await http.get(f"/gis/plots/{z}/{x}/{y}.pbf")
    assert first.status_code == 200 and first.headers["content-type"] == "application/vnd.mapbox-vector-tile"
    features = decode(first.content)["plots"]["features"]
    expected = {p.strip('"') for p in tessera.LAYER_CONFIG["plots"]["properties"]} | {"feature_id"}
    assert features and all(set(f["properties"]) == expected for f in features)
    assert all(f["properties"]["feature_id"] == f["properties"]["ID"] for f in features)
    # Exactly the parcels that meet the tile.
    bbox = tessera.xyz_to_bbox_web_mercator(z, x, y)
    async with engine.connect() as conn:
        ids = set((await conn.execute(text(
            'SELECT "ID" FROM "GIS"."PLOT" WHERE ST_Intersects("GEOMETRY", '
            'ST_MakeEnvelope(:a, :b, :c, :d, 3857)) '
            'AND NOT ST_Touches("GEOMETRY", ST_MakeEnvelope(:a, :b, :c, :d, 3857))'),
            {"a": bbox["minx"], "b": bbox["miny"], "c": bbox["maxx"], "d": bbox["maxy"]})).scalars())
    assert {f["properties"]["ID"] for f in features} == ids
    second = await http.get(f"/gis/plots/{z}/{x}/{y}.pbf")
    assert second.headers["x-cache"] == "HIT" and second.headers["cache-control"] == "public, max-age=1800"
    assert second.content == first.content == await redis.get(f"mvt_v8:plots:{z}:{x}:{y}")


async def test_truncated_tile_keeps_the_largest_features(tessera, engine, http, monkeypatch):
    monkeypatch.setattr(tessera, "MAX_FEATURES_GLOBAL", 3)
    z, x, y = await parcel_tile(engine, tessera, 15)
    features = decode((await http.get(f"/gis/plots/{z}/{x}/{y}.pbf")).content)["plots"]["features"]
    bbox = tessera.xyz_to_bbox_web_mercator(z, x, y)
    async with engine.connect() as conn:
        largest = list((await conn.execute(text(
            'SELECT "ID" FROM "GIS"."PLOT" WHERE ST_Intersects("GEOMETRY", ST_MakeEnvelope(:a, :b, :c, :d, 3857)) '
            'ORDER BY ST_Area("GEOMETRY") DESC LIMIT 3'),
            {"a": bbox["minx"], "b": bbox["miny"], "c": bbox["maxx"], "d": bbox["maxy"]})).scalars())
    assert len(features) == 3 and {f["properties"]["ID"] for f in features} == set(largest)


async def test_binary_body_round_trips_through_the_cache(http, redis):
    body = bytes(range(0x80, 0x100)) * 3
    await redis.set("mvt_v8:roads:12:1:1", body)
    response = await http.get("/gis/roads/12/1/1.pbf")
    assert response.headers["x-cache"] == "HIT" and response.content == body


async def test_empty_area_is_204_and_not_cached(http, redis):
    for _ in range(2):
        assert (await http.get("/gis/plots/16/0/0.pbf")).status_code == 204
    assert await redis.exists("mvt_v8:plots:16:0:0") == 0


async def test_tiles_are_served_with_redis_stopped(tessera, engine, http, monkeypatch, caplog):
    caplog.set_level("WARNING", logger="ravn.tessera")
    with temporary_redis() as server:
        client = aioredis.Redis(port=server.port, socket_connect_timeout=5, socket_timeout=5,
                                retry=Retry(NoBackoff(), 0))
        monkeypatch.setattr(tessera, "redis_client", client)
        monkeypatch.setattr(tessera, "cache", tessera.BinaryRedisCache(client, namespace="mvt_v8"))
        server.stop()
        z, x, y = await parcel_tile(engine, tessera, 16)
        response = await http.get(f"/gis/plots/{z}/{x}/{y}.pbf")
        assert response.status_code == 200 and decode(response.content)["plots"]["features"]
        bbox = await http.get("/gis/plots/bbox/?minx=7.49&miny=6.39&maxx=7.51&maxy=6.41")
        assert bbox.status_code in (200, 204) and bbox.headers.get("x-cache", "MISS") == "MISS"
        await client.aclose()
    messages = [r.getMessage() for r in caplog.records if r.name == "ravn.tessera"]
    assert any(m.startswith("Rate limit check failed: ") for m in messages)
    assert any(m.startswith(f"Cache get failed for plots:{z}:{x}:{y}: ") for m in messages)
    assert any(m.startswith(f"Cache set failed for plots:{z}:{x}:{y}: ") for m in messages)


async def test_slow_query_gives_408_and_releases_the_session(tessera, engine, http, monkeypatch):
    real_wait_for = asyncio.wait_for

    async def short_wait_for(awaitable, timeout):
        return await real_wait_for(awaitable, 0.5)

    def slow_sql(layer_name, zoom=None):
        return "SELECT pg_sleep(20)::text::bytea AS mvt /* slow tile */", tessera.get_zoom_config(zoom, layer_name)

    with monkeypatch.context() as patch:
        patch.setattr(tessera, "generate_mvt_sql", slow_sql)
        patch.setattr(tessera.asyncio, "wait_for", short_wait_for)
        response = await http.get("/gis/lgas/6/33/31.pbf")
    assert response.status_code == 408 and response.json() == {"detail": "Tile generation timeout at zoom 6"}
    async with engine.connect() as conn:
        for _ in range(50):
            running = (await conn.execute(text(
                "SELECT count(*) FROM pg_stat_activity WHERE query LIKE '%slow tile%' AND state = 'active' "
                "AND pid <> pg_backend_pid()"))).scalar()
            if running == 0:
                break
            await asyncio.sleep(0.1)
    assert running == 0


async def test_bbox_tiles_agree_between_projections(tessera, engine, http, redis):
    wgs84 = await http.get("/gis/plots/bbox/?minx=7.495&miny=6.395&maxx=7.505&maxy=6.405&simplify=false")
    assert wgs84.status_code == 200 and wgs84.headers["x-cache"] == "MISS"
    async with engine.connect() as conn:
        corners = (await conn.execute(text(
            "SELECT ST_XMin(b), ST_YMin(b), ST_XMax(b), ST_YMax(b) FROM (SELECT ST_Transform("
            "ST_MakeEnvelope(7.495, 6.395, 7.505, 6.405, 4326), 3857) b) s"))).one()
    async for key in redis.scan_iter(match="mvt_v8:bbox:*"):
        await redis.delete(key)
    mercator = await http.get(
        "/gis/plots/bbox/?minx={}&miny={}&maxx={}&maxy={}&srid=3857&simplify=false".format(*corners))
    assert mercator.status_code == 200 and mercator.headers["x-cache"] == "MISS"
    ids = lambda body: sorted(f["properties"]["ID"] for f in decode(body)["plots"]["features"])  # noqa: E731
    assert ids(wgs84.content) == ids(mercator.content) and ids(wgs84.content)
