"""The central tile endpoint: where a layer's data lies, cached for four hours."""
from __future__ import annotations

import asyncio
import json
import uuid

import pytest
from fastapi import HTTPException
from sqlalchemy import text
from sqlalchemy.exc import SQLAlchemyError
from sqlalchemy.ext.asyncio import create_async_engine

from tests.fakes import FakeResult, FakeSession, row
from tests.tessera.live import app, http, live_redis, redis_server  # noqa: F401  (fixtures)

CENTRE = dict(lat=6.4, lon=7.5, extent_minx=834526.75, extent_miny=713568.0625, extent_maxx=835265.625,
              extent_maxy=714293.75)


def body(response):
    return json.loads(response.body)


def expected_document(tessera, layer, fields=CENTRE):
    """The answer worked out from the host helpers and the catalogue."""
    from helpers.utils import latlon_to_xyz, xyz_to_bbox_web_mercator

    tile = latlon_to_xyz(fields["lat"], fields["lon"], 16)
    config = tessera.LAYER_CONFIG[layer]
    return {
        "layer": layer,
        "centroid_wgs84": {"latitude": fields["lat"], "longitude": fields["lon"]},
        "extent_web_mercator": {k: fields["extent_" + k] for k in ("minx", "miny", "maxx", "maxy")},
        "suggested_tile": tile,
        "suggested_tile_bbox": xyz_to_bbox_web_mercator(tile["z"], tile["x"], tile["y"]),
        "tile_url": f"/gis/{layer}/{tile['z']}/{tile['x']}/{tile['y']}.pbf",
        "layer_config": {"min_zoom": config["min_zoom"], "properties": config["properties"]},
    }


def centre_session():
    return FakeSession(FakeResult(row=row(**CENTRE)))


@pytest.mark.asyncio
async def test_unknown_layer_is_refused_before_cache_or_database(tessera, fake_redis):
    session = FakeSession()
    with pytest.raises(HTTPException) as refused:
        await tessera.get_central_tile_info("unknown", session)
    assert (refused.value.status_code, refused.value.detail) == (404, "Layer 'unknown' not found")
    assert fake_redis.calls == [] and session.events == []


@pytest.mark.asyncio
@pytest.mark.parametrize("layer, extent_args", [("plots", "'GIS\".\"PLOT', 'GEOMETRY'"),
                                                ("cadzones", "'GIS\".\"CadZones', 'geometry'")])
async def test_computed_document_and_its_cache_entry(tessera, fake_redis, records, layer, extent_args):
    session = centre_session()
    response = await tessera.get_central_tile_info(layer, session)
    data = body(response)["data"]
    assert response.status_code == 200
    assert list(data.items()) == list(expected_document(tessera, layer).items())
    assert session.events == ["execute", "commit", "close"]
    statement, params = session.statements[0]
    assert params is None and f"SELECT ST_EstimatedExtent({extent_args}) as bbox\n" in statement
    assert statement.startswith("\n        WITH layer_stats AS (\n") and statement.endswith("IS NOT NULL\n    ")
    assert "as lon,\n            \n            -- Extract" in statement
    key = f"mvt_v8:centroid:{layer}"
    assert fake_redis.store[key] == json.dumps(data).encode() and fake_redis.ttls[key] == tessera.CACHE_TTL_LONG * 2
    assert records() == []


@pytest.mark.asyncio
async def test_module_globals_are_read_at_call_time(tessera, fake_redis, monkeypatch):
    reads = []

    async def recording_get(key, timeout=1.0):
        reads.append((key, timeout))

    monkeypatch.setattr(tessera, "safe_cache_get", recording_get)
    monkeypatch.setattr(tessera, "CACHE_TTL_LONG", 50)
    monkeypatch.setattr(tessera, "DEFAULT_CENTROID_ZOOM", 12)
    monkeypatch.setitem(tessera.LAYER_CONFIG, "roads",
                        {k: v for k, v in tessera.LAYER_CONFIG["roads"].items() if k != "min_zoom"})
    data = body(await tessera.get_central_tile_info("roads", centre_session()))["data"]
    assert reads == [("centroid:roads", 2.0)] and fake_redis.ttls["mvt_v8:centroid:roads"] == 100
    assert data["tile_url"].startswith("/gis/roads/12/") and data["layer_config"]["min_zoom"] == 0


@pytest.mark.asyncio
@pytest.mark.parametrize("found", [None, row(**{**CENTRE, "lat": None}), row(**{**CENTRE, "lon": None})],
                         ids=["no-row", "no-latitude", "no-longitude"])
async def test_no_extent_returns_the_404_document(tessera, fake_redis, records, found):
    session = FakeSession(FakeResult(row=found))
    response = await tessera.get_central_tile_info("lgas", session)
    assert response.status_code == 404
    assert body(response)["message"] == "No valid geometry found for layer 'lgas'"
    assert fake_redis.commands("set") == [] and session.events == ["execute", "commit", "close"]
    assert records() == []


@pytest.mark.asyncio
async def test_second_request_is_answered_from_the_cache(tessera, fake_redis):
    first = body(await tessera.get_central_tile_info("districts", centre_session()))
    untouched = FakeSession(SQLAlchemyError("must not be asked"))
    assert body(await tessera.get_central_tile_info("districts", untouched)) == first
    assert untouched.events == []


@pytest.mark.asyncio
@pytest.mark.parametrize("entry", [b"\xff\xfe", b"{not json", b'{"stale": true}'],
                         ids=["not-utf8", "not-json", "helper-fails"])
async def test_unusable_entry_is_recomputed_silently(tessera, fake_redis, records, monkeypatch, entry):
    fake_redis.store["mvt_v8:centroid:plots"] = entry
    real = tessera.api_router_response

    def refuses_stale(document):
        if document["data"] == {"stale": True}:
            raise RuntimeError("helper failed")
        return real(document)

    monkeypatch.setattr(tessera, "api_router_response", refuses_stale)
    session = centre_session()
    assert body(await tessera.get_central_tile_info("plots", session))["data"] == expected_document(tessera, "plots")
    assert session.events == ["execute", "commit", "close"]
    assert json.loads(fake_redis.store["mvt_v8:centroid:plots"]) == expected_document(tessera, "plots")
    assert records() == []


@pytest.mark.asyncio
@pytest.mark.parametrize("command, logged", [("get", "Cache get failed for centroid:roads: down"),
                                             ("set", "Cache set failed for centroid:roads: down")])
async def test_cache_failures_do_not_fail_the_request(tessera, fake_redis, records, command, logged):
    fake_redis.fail_on[command] = ConnectionError("down")
    response = await tessera.get_central_tile_info("roads", centre_session())
    assert body(response)["data"] == expected_document(tessera, "roads")
    assert records() == [("WARNING", logged)]


@pytest.mark.asyncio
async def test_a_document_json_cannot_encode_is_answered_but_not_cached(tessera, fake_redis, records, monkeypatch):
    monkeypatch.setattr(tessera, "xyz_to_bbox_web_mercator", lambda z, x, y: {1.0, 2.0})
    response = await tessera.get_central_tile_info("roads", centre_session())
    assert sorted(body(response)["data"]["suggested_tile_bbox"]) == [1.0, 2.0]
    assert fake_redis.commands("set") == [] and records() == []


@pytest.mark.asyncio
async def test_query_time_limit(tessera, fake_redis, records, monkeypatch):
    limits = []

    async def short_wait_for(awaitable, timeout):
        limits.append(timeout)
        return await asyncio.wait_for(awaitable, 0.05)

    monkeypatch.setattr(tessera, "asyncio", type("asyncio", (), {"wait_for": staticmethod(short_wait_for),
                                                                 "TimeoutError": asyncio.TimeoutError}))
    session = FakeSession(1.0)
    with pytest.raises(HTTPException) as refused:
        await tessera.get_central_tile_info("plots", session)
    assert limits == [2.0, 15.0]  # the cache read, then the query
    assert (refused.value.status_code, refused.value.detail) == (408, "Centroid calculation timeout")
    assert session.events == ["execute", "rollback", "close"]
    assert records() == [("ERROR", "Timeout calculating centroid for plots")]


@pytest.mark.asyncio
@pytest.mark.parametrize("error", [SQLAlchemyError("relation missing"), ValueError("bad row")])
async def test_query_errors(tessera, fake_redis, records, error):
    session = FakeSession(error)
    with pytest.raises(HTTPException) as refused:
        await tessera.get_central_tile_info("beacons", session)
    assert (refused.value.status_code, refused.value.detail) == (500, "Database error")
    assert session.events == ["execute", "rollback", "close"]
    assert records() == [("ERROR", f"Error calculating centroid for beacons: {error}")]


@pytest.mark.asyncio
async def test_cancellation_is_not_a_query_error(tessera, fake_redis, records):
    session = FakeSession(asyncio.CancelledError())
    with pytest.raises(asyncio.CancelledError):
        await tessera.get_central_tile_info("beacons", session)
    assert session.events == ["execute", "close"] and records() == []


# --- the real PostGIS sample database and a private Redis server

@pytest.mark.integration
@pytest.mark.asyncio
@pytest.mark.parametrize("layer", ["plots", "beacons", "cadzones", "districts", "lgas", "roads"])
async def test_every_layer_on_the_sample_database(tessera, http, database_url, layer):
    response = await http.get(f"/gis/{layer}/")
    assert response.status_code == 200
    data = response.json()["data"]
    config = tessera.LAYER_CONFIG[layer]
    engine = create_async_engine(database_url)
    try:
        async with engine.connect() as conn:
            exact = (await conn.execute(text(
                f"SELECT ST_XMin(e), ST_YMin(e), ST_XMax(e), ST_YMax(e) FROM "
                f"(SELECT ST_Extent({config['geom_col']})::geometry AS e FROM {config['table']}) s"))).one()
    finally:
        await engine.dispose()
    # An estimate from statistics: close to the exact extent, not equal to it.
    extent = data["extent_web_mercator"]
    span = max(exact[2] - exact[0], exact[3] - exact[1])
    assert all(abs(got - want) <= 0.05 * span for got, want in zip(extent.values(), exact, strict=False))
    centre = {"lat": data["centroid_wgs84"]["latitude"], "lon": data["centroid_wgs84"]["longitude"],
              **{"extent_" + k: v for k, v in extent.items()}}
    assert data == expected_document(tessera, layer, centre)
    bbox = data["suggested_tile_bbox"]  # the tile of the WGS84 centre holds the Mercator centre
    assert bbox["minx"] <= (extent["minx"] + extent["maxx"]) / 2 <= bbox["maxx"]
    assert bbox["miny"] <= (extent["miny"] + extent["maxy"]) / 2 <= bbox["maxy"]


@pytest.mark.integration
@pytest.mark.asyncio
async def test_table_without_statistics_gives_the_404_document(tessera, http, live_redis, database_url,
                                                               monkeypatch):
    table = f"centroid_scratch_{uuid.uuid4().hex[:8]}"
    engine = create_async_engine(database_url)
    try:
        async with engine.begin() as conn:
            await conn.execute(text(f'CREATE TABLE "GIS"."{table}" (id int, geometry geometry(Polygon, 3857))'))
        monkeypatch.setitem(tessera.LAYER_CONFIG, "scratch", {**tessera.LAYER_CONFIG["lgas"],
                                                              "table": f'"GIS"."{table}"'})
        response = await http.get("/gis/scratch/")
    finally:
        async with engine.begin() as conn:
            await conn.execute(text(f'DROP TABLE IF EXISTS "GIS"."{table}"'))
        await engine.dispose()
    assert response.status_code == 404
    assert response.json()["message"] == "No valid geometry found for layer 'scratch'"
    assert await live_redis.exists("mvt_v8:centroid:scratch") == 0


@pytest.mark.integration
@pytest.mark.asyncio
async def test_second_request_comes_from_redis(app, http, live_redis):
    import database

    executed = []

    async def counting_db():
        async with database.session_scope() as session:
            real_execute = session.execute

            async def execute(*args, **kwargs):
                executed.append(args[0])
                return await real_execute(*args, **kwargs)

            session.execute = execute
            yield session

    app.dependency_overrides[database.get_db] = counting_db
    first = await http.get("/gis/roads/")
    assert first.status_code == 200 and len(executed) == 1
    assert json.loads(await live_redis.get("mvt_v8:centroid:roads")) == first.json()["data"]
    assert 14390 <= await live_redis.ttl("mvt_v8:centroid:roads") <= 14400
    second = await http.get("/gis/roads/")
    assert second.json() == first.json() and len(executed) == 1
