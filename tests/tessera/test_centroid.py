"""The central tile endpoint: where a layer's data lies, cached for four hours."""
from __future__ import annotations

import asyncio
import json
import uuid

import pytest
from fastapi import HTTPException
from sqlalchemy.exc import SQLAlchemyError

from tests.fakes import FakeResult, FakeSession, row

# Each test gets a live client and its own Redis contents; see live.py.
from tests.tessera.live import app, http, live_redis, redis_server  # noqa: F401

LAYERS = ["plots", "beacons", "cadzones", "districts", "lgas", "roads"]
CENTRE = dict(lat=6.4, lon=7.5, extent_minx=834526.75, extent_miny=713568.0625, extent_maxx=835265.625,
              extent_maxy=714293.75)


def body(response):
    return json.loads(response.body)


def expected_document(tessera, layer, fields=CENTRE):
    """What the answer must hold, worked out from the host helpers and the catalogue."""
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


class TestComputed:
    @pytest.mark.asyncio
    async def test_unknown_layer_is_refused_before_cache_or_database(self, tessera, fake_redis):
        session = FakeSession()
        with pytest.raises(HTTPException) as refused:
            await tessera.get_central_tile_info("unknown", session)
        assert (refused.value.status_code, refused.value.detail) == (404, "Layer 'unknown' not found")
        assert fake_redis.calls == [] and session.events == []

    @pytest.mark.asyncio
    @pytest.mark.parametrize("layer", LAYERS)
    async def test_document_statement_and_cache_entry(self, tessera, fake_redis, records, layer):
        session = centre_session()
        response = await tessera.get_central_tile_info(layer, session)
        document = body(response)
        assert response.status_code == 200
        assert document["data"] == expected_document(tessera, layer)
        assert list(document["data"]) == list(expected_document(tessera, layer))
        assert session.events == ["execute", "commit", "close"]

        statement, params = session.statements[0]
        config = tessera.LAYER_CONFIG[layer]
        assert params is None
        assert f"ST_EstimatedExtent('{config['table'].strip(chr(34))}', '{config['geom_col'].strip(chr(34))}')" \
            in statement
        assert statement.startswith("\n        WITH layer_stats AS (\n")
        assert statement.endswith("\n        WHERE bbox IS NOT NULL\n    ")
        assert "as lon,\n            \n            -- Extract" in statement

        key = f"mvt_v8:centroid:{layer}"
        assert fake_redis.ttls[key] == tessera.CACHE_TTL_LONG * 2
        assert fake_redis.store[key] == json.dumps(document["data"]).encode()
        assert fake_redis.commands("get") == [("get", key)]
        assert records() == []

    @pytest.mark.asyncio
    async def test_inner_quotes_of_the_table_name_stay(self, tessera, fake_redis):
        session = centre_session()
        await tessera.get_central_tile_info("plots", session)
        assert "ST_EstimatedExtent('GIS\".\"PLOT', 'GEOMETRY')" in session.statements[0][0]

    @pytest.mark.asyncio
    async def test_module_settings_are_read_at_call_time(self, tessera, fake_redis, monkeypatch):
        monkeypatch.setattr(tessera, "CACHE_TTL_LONG", 50)
        monkeypatch.setattr(tessera, "DEFAULT_CENTROID_ZOOM", 12)
        reads = []

        async def recording_get(key, timeout=1.0):
            reads.append((key, timeout))
            return None

        monkeypatch.setattr(tessera, "safe_cache_get", recording_get)
        data = body(await tessera.get_central_tile_info("roads", centre_session()))["data"]
        assert reads == [("centroid:roads", 2.0)]
        assert fake_redis.ttls["mvt_v8:centroid:roads"] == 100
        assert data["suggested_tile"]["z"] == 12 and data["tile_url"].startswith("/gis/roads/12/")

    @pytest.mark.asyncio
    async def test_entry_without_min_zoom(self, tessera, fake_redis, monkeypatch):
        entry = {k: v for k, v in tessera.LAYER_CONFIG["beacons"].items() if k != "min_zoom"}
        monkeypatch.setitem(tessera.LAYER_CONFIG, "beacons", entry)
        data = body(await tessera.get_central_tile_info("beacons", centre_session()))["data"]
        assert data["layer_config"] == {"min_zoom": 0, "properties": entry["properties"]}

    @pytest.mark.asyncio
    @pytest.mark.parametrize("found", [None, row(**{**CENTRE, "lat": None}), row(**{**CENTRE, "lon": None})],
                             ids=["no-row", "no-latitude", "no-longitude"])
    async def test_no_extent_returns_the_404_document(self, tessera, fake_redis, records, found):
        session = FakeSession(FakeResult(row=found))
        response = await tessera.get_central_tile_info("lgas", session)
        assert response.status_code == 404
        document = body(response)
        assert document["message"] == "No valid geometry found for layer 'lgas'"
        assert document["data"] is None
        assert "mvt_v8:centroid:lgas" not in fake_redis.store and fake_redis.commands("set") == []
        assert session.events == ["execute", "commit", "close"]
        assert records() == []

    @pytest.mark.asyncio
    async def test_the_404_document_is_built_by_the_host_helpers(self, tessera, fake_redis, monkeypatch):
        built = []
        monkeypatch.setattr(tessera, "api_response", lambda **kw: built.append(kw) or ("doc", kw))
        monkeypatch.setattr(tessera, "api_router_response", lambda doc: ("answer", doc))
        answer = await tessera.get_central_tile_info("lgas", FakeSession(FakeResult(row=None)))
        assert built == [{"status_code": 404, "message": "No valid geometry found for layer 'lgas'"}]
        assert answer == ("answer", ("doc", built[0]))


class TestCached:
    @pytest.mark.asyncio
    async def test_second_request_is_answered_from_the_cache(self, tessera, fake_redis):
        first = body(await tessera.get_central_tile_info("districts", centre_session()))
        untouched = FakeSession(SQLAlchemyError("must not be asked"))
        second = body(await tessera.get_central_tile_info("districts", untouched))
        assert second == first
        assert untouched.events == []

    @pytest.mark.asyncio
    async def test_tuples_come_back_as_lists(self, tessera, fake_redis, monkeypatch):
        monkeypatch.setattr(tessera, "xyz_to_bbox_web_mercator", lambda z, x, y: (1.5, 2.5, 3.5, 4.5))
        handed = []
        monkeypatch.setattr(tessera, "api_router_response", lambda doc: handed.append(doc["data"]) or doc)
        await tessera.get_central_tile_info("cadzones", centre_session())
        await tessera.get_central_tile_info("cadzones", FakeSession())
        assert handed[0]["suggested_tile_bbox"] == (1.5, 2.5, 3.5, 4.5)
        assert handed[1]["suggested_tile_bbox"] == [1.5, 2.5, 3.5, 4.5]
        assert {k: v for k, v in handed[1].items() if k != "suggested_tile_bbox"} == \
            {k: v for k, v in handed[0].items() if k != "suggested_tile_bbox"}

    @pytest.mark.asyncio
    @pytest.mark.parametrize("entry", [b"\xff\xfe not utf-8", b"{not json", b"[1, 2"], ids=["bytes", "json", "cut"])
    async def test_damaged_entry_is_recomputed_silently(self, tessera, fake_redis, records, entry):
        fake_redis.store["mvt_v8:centroid:plots"] = entry
        session = centre_session()
        response = await tessera.get_central_tile_info("plots", session)
        assert body(response)["data"] == expected_document(tessera, "plots")
        assert session.events == ["execute", "commit", "close"]
        assert json.loads(fake_redis.store["mvt_v8:centroid:plots"]) == expected_document(tessera, "plots")
        assert records() == []

    @pytest.mark.asyncio
    async def test_a_failing_response_helper_on_a_hit_falls_back(self, tessera, fake_redis, monkeypatch):
        fake_redis.store["mvt_v8:centroid:plots"] = b'{"stale": true}'
        real = tessera.api_router_response
        calls = []

        def flaky(document):
            calls.append(document["data"])
            if len(calls) == 1:
                raise RuntimeError("helper failed")
            return real(document)

        monkeypatch.setattr(tessera, "api_router_response", flaky)
        response = await tessera.get_central_tile_info("plots", centre_session())
        assert calls[0] == {"stale": True}
        assert body(response)["data"] == expected_document(tessera, "plots")

    @pytest.mark.asyncio
    async def test_unreadable_cache_is_a_miss(self, tessera, fake_redis, records):
        fake_redis.fail_on["get"] = ConnectionError("refused")
        response = await tessera.get_central_tile_info("roads", centre_session())
        assert response.status_code == 200
        assert records() == [("WARNING", "Cache get failed for centroid:roads: refused")]

    @pytest.mark.asyncio
    async def test_unwritable_cache_still_answers(self, tessera, fake_redis, records):
        fake_redis.fail_on["set"] = ConnectionError("read only")
        response = await tessera.get_central_tile_info("roads", centre_session())
        assert body(response)["data"] == expected_document(tessera, "roads")
        assert records() == [("WARNING", "Cache set failed for centroid:roads: read only")]

    @pytest.mark.asyncio
    async def test_a_document_json_cannot_encode_is_answered_but_not_cached(self, tessera, fake_redis, records,
                                                                             monkeypatch):
        monkeypatch.setattr(tessera, "xyz_to_bbox_web_mercator", lambda z, x, y: {1.0, 2.0})
        response = await tessera.get_central_tile_info("roads", centre_session())
        assert response.status_code == 200 and sorted(body(response)["data"]["suggested_tile_bbox"]) == [1.0, 2.0]
        assert fake_redis.commands("set") == [] and records() == []


class TestFailures:
    @pytest.mark.asyncio
    async def test_query_time_limit(self, tessera, fake_redis, records, monkeypatch):
        limits = []
        real_wait_for = asyncio.wait_for

        async def recording_wait_for(awaitable, timeout):
            limits.append(timeout)
            return await real_wait_for(awaitable, 0.05)

        patched = type("asyncio", (), {"wait_for": staticmethod(recording_wait_for),
                                       "TimeoutError": asyncio.TimeoutError})
        monkeypatch.setattr(tessera, "asyncio", patched)
        session = FakeSession(1.0)
        with pytest.raises(HTTPException) as refused:
            await tessera.get_central_tile_info("plots", session)
        assert limits == [2.0, 15.0]  # the cache read, then the query
        assert (refused.value.status_code, refused.value.detail) == (408, "Centroid calculation timeout")
        assert session.events == ["execute", "rollback", "close"]
        assert records() == [("ERROR", "Timeout calculating centroid for plots")]

    @pytest.mark.asyncio
    @pytest.mark.parametrize("error", [SQLAlchemyError("relation missing"), ValueError("bad row")])
    async def test_database_errors(self, tessera, fake_redis, records, error):
        session = FakeSession(error)
        with pytest.raises(HTTPException) as refused:
            await tessera.get_central_tile_info("beacons", session)
        assert (refused.value.status_code, refused.value.detail) == (500, "Database error")
        assert session.events == ["execute", "rollback", "close"]
        assert records() == [("ERROR", f"Error calculating centroid for beacons: {error}")]
        assert fake_redis.commands("set") == []

    @pytest.mark.asyncio
    async def test_cancellation_is_not_a_database_error(self, tessera, fake_redis, records):
        session = FakeSession(asyncio.CancelledError())
        with pytest.raises(asyncio.CancelledError):
            await tessera.get_central_tile_info("beacons", session)
        assert session.events == ["execute", "close"]
        assert records() == []

    @pytest.mark.asyncio
    async def test_tile_helper_errors_propagate(self, tessera, fake_redis, monkeypatch):
        def broken(lat, lon, zoom):
            raise ArithmeticError("outside the projection")

        monkeypatch.setattr(tessera, "latlon_to_xyz", broken)
        with pytest.raises(ArithmeticError):
            await tessera.get_central_tile_info("plots", centre_session())


# --- against the real PostGIS sample database and a private Redis server

@pytest.mark.integration
class TestLive:
    @pytest.mark.asyncio
    @pytest.mark.parametrize("layer", LAYERS)
    async def test_every_layer_on_the_sample_database(self, tessera, http, database_url, layer):
        from sqlalchemy import text
        from sqlalchemy.ext.asyncio import create_async_engine

        response = await http.get(f"/gis/{layer}/")
        assert response.status_code == 200
        data = response.json()["data"]

        # The estimate comes from statistics; the exact extent must agree with it closely.
        config = tessera.LAYER_CONFIG[layer]
        engine = create_async_engine(database_url)
        try:
            async with engine.connect() as conn:
                exact = (await conn.execute(text(
                    f"SELECT ST_XMin(e), ST_YMin(e), ST_XMax(e), ST_YMax(e) FROM "
                    f"(SELECT ST_Extent({config['geom_col']})::geometry AS e FROM {config['table']}) s"))).one()
        finally:
            await engine.dispose()
        extent = data["extent_web_mercator"]
        span = max(exact[2] - exact[0], exact[3] - exact[1])
        for got, want in zip((extent["minx"], extent["miny"], extent["maxx"], extent["maxy"]), exact):
            assert abs(got - want) <= 0.05 * span

        expected = expected_document(tessera, layer, {
            "lat": data["centroid_wgs84"]["latitude"], "lon": data["centroid_wgs84"]["longitude"],
            **{"extent_" + k: v for k, v in extent.items()}})
        assert data == expected
        bbox = data["suggested_tile_bbox"]
        mid_x, mid_y = (extent["minx"] + extent["maxx"]) / 2, (extent["miny"] + extent["maxy"]) / 2
        assert bbox["minx"] <= mid_x <= bbox["maxx"] and bbox["miny"] <= mid_y <= bbox["maxy"]

    @pytest.mark.asyncio
    async def test_table_without_statistics_gives_the_404_document(self, tessera, http, live_redis, database_url,
                                                                   monkeypatch):
        from sqlalchemy import text
        from sqlalchemy.ext.asyncio import create_async_engine

        table = f"centroid_scratch_{uuid.uuid4().hex[:8]}"
        engine = create_async_engine(database_url)
        try:
            async with engine.begin() as conn:
                await conn.execute(text(f'CREATE TABLE "GIS"."{table}" (id int, geometry geometry(Polygon, 3857))'))
            entry = {**tessera.LAYER_CONFIG["lgas"], "table": f'"GIS"."{table}"'}
            monkeypatch.setitem(tessera.LAYER_CONFIG, "scratch", entry)
            response = await http.get("/gis/scratch/")
        finally:
            async with engine.begin() as conn:
                await conn.execute(text(f'DROP TABLE IF EXISTS "GIS"."{table}"'))
            await engine.dispose()
        assert response.status_code == 404
        assert response.json()["message"] == "No valid geometry found for layer 'scratch'"
        assert await live_redis.exists("mvt_v8:centroid:scratch") == 0

    @pytest.mark.asyncio
    async def test_second_request_comes_from_redis(self, tessera, app, http, live_redis):
        import database

        executed = []

        async def counting_db():
            async for session in database.get_db():
                real_execute = session.execute

                async def execute(*args, **kwargs):
                    executed.append(args[0])
                    return await real_execute(*args, **kwargs)

                session.execute = execute
                yield session

        app.dependency_overrides[database.get_db] = counting_db
        first = await http.get("/gis/roads/")
        assert first.status_code == 200 and len(executed) == 1
        stored = await live_redis.get("mvt_v8:centroid:roads")
        assert json.loads(stored) == first.json()["data"]
        assert 14390 <= await live_redis.ttl("mvt_v8:centroid:roads") <= 14400

        second = await http.get("/gis/roads/")
        assert second.json() == first.json()
        assert len(executed) == 1
