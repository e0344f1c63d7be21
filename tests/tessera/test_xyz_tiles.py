"""The XYZ tile endpoint, outcome by outcome, with fakes."""
from __future__ import annotations

import asyncio

import pytest
from fastapi import HTTPException
from sqlalchemy.exc import OperationalError

from tests.fakes import FakeResult, FakeSession, fake_request

TILE = b"\x1a\x8f\x80\xff tile"
MVT = "application/vnd.mapbox-vector-tile"


async def get(tessera, layer="plots", z=14, x=9000, y=8000, session=None, request=None):
    return await tessera.get_tile_xyz(layer, z, x, y, request or fake_request(), session or FakeSession())


async def refused(tessera, **kw):
    with pytest.raises(HTTPException) as caught:
        await get(tessera, **kw)
    return caught.value.status_code, caught.value.detail


def test_coordinate_and_area_checks(tessera):
    valid = tessera.validate_tile_coords
    assert [valid(0, 0, 0), valid(1, 1, 1), valid(1, 2, 0), valid(20, 1048575, 1048575), valid(21, 0, 0),
            valid(3, -1, 0), valid(3, 0, -1), valid(3, 7, 8)] == [False, True, False, True, False, False, False,
                                                                  False]
    assert valid(10 ** 30, 0, 0) is False
    assert tessera.calculate_bbox_area_degrees(3.0, 4.0, 1.0, 2.0) == 4.0


async def test_fresh_tile_is_cached_with_the_tier_lifetime(tessera, fake_redis, records):
    session = FakeSession(FakeResult(TILE))
    response = await get(tessera, session=session)
    assert (response.status_code, response.body, response.media_type) == (200, TILE, MVT)
    assert "x-cache" not in response.headers and "cache-control" not in response.headers
    assert fake_redis.store["mvt_v8:plots:14:9000:8000"] == TILE
    assert fake_redis.ttls["mvt_v8:plots:14:9000:8000"] == 1800
    assert session.events == ["execute", "commit", "close"]
    statement, params = session.statements[0]
    assert statement == tessera.generate_mvt_sql("plots", 14)[0]
    bbox = tessera.xyz_to_bbox_web_mercator(14, 9000, 8000)
    assert list(params.items()) == [("min_x", bbox["minx"]), ("min_y", bbox["miny"]), ("max_x", bbox["maxx"]),
                                    ("max_y", bbox["maxy"])]
    assert records() == []


@pytest.mark.parametrize("z, ttl", [(10, 7200), (11, 1800)])
async def test_cache_hit_answers_without_the_database(tessera, fake_redis, z, ttl):
    fake_redis.store[f"mvt_v8:plots:{z}:5:6"] = TILE
    session = FakeSession()
    response = await get(tessera, z=z, x=5, y=6, session=session)
    assert (response.status_code, response.body) == (200, TILE)
    assert response.headers["x-cache"] == "HIT" and response.headers["cache-control"] == f"public, max-age={ttl}"
    assert session.events == []


async def test_rate_limit_window(tessera, fake_redis):
    for _ in range(40):
        fake_redis.store["mvt_v8:plots:14:9000:8000"] = TILE
        assert (await get(tessera)).status_code == 200
    assert await refused(tessera) == (429, "Too many map requests. Please slow down panning.")
    assert fake_redis.commands("expire") == [("expire", "rate_limit:gis:10.1.2.3", 1)]
    # Another address has its own window; requests without client information share "unknown".
    fake_redis.store["mvt_v8:plots:14:9000:8000"] = TILE
    assert (await get(tessera, request=fake_request("10.9.9.9"))).status_code == 200
    with pytest.raises(HTTPException):
        await get(tessera, request=fake_request(None), layer="parcels")
    assert fake_redis.store["rate_limit:gis:unknown"] == 1


async def test_counter_without_lifetime_is_repaired_on_refusal(tessera, fake_redis):
    fake_redis.fail_on["expire"] = ConnectionError("lost")
    await refused(tessera, layer="parcels")  # 404 after counting; EXPIRE failed: logged, not fatal
    fake_redis.store["rate_limit:gis:10.1.2.3"] = 40
    fake_redis.fail_on.clear()
    assert await refused(tessera) == (429, "Too many map requests. Please slow down panning.")
    assert fake_redis.ttls["rate_limit:gis:10.1.2.3"] == 1
    # A counter that has its lifetime is left alone, and a failing repair keeps the 429.
    fake_redis.calls.clear()
    await refused(tessera)
    assert fake_redis.commands("expire") == []
    fake_redis.fail_on["ttl"] = ConnectionError("lost again")
    assert (await refused(tessera))[0] == 429


async def test_redis_outage_never_blocks_tiles(tessera, fake_redis, records):
    fake_redis.fail = ConnectionError("Connection refused")
    response = await get(tessera, session=FakeSession(FakeResult(TILE)))
    assert response.status_code == 200 and response.body == TILE
    assert records() == [("WARNING", "Rate limit check failed: Connection refused"),
                         ("WARNING", "Cache get failed for plots:14:9000:8000: Connection refused"),
                         ("WARNING", "Cache set failed for plots:14:9000:8000: Connection refused")]


async def test_checks_in_order(tessera, fake_redis):
    assert await refused(tessera, layer="parcels", z=10, x=1, y=1) == (404, "Layer 'parcels' not found")
    assert fake_redis.store["rate_limit:gis:10.1.2.3"] == 1  # counted before the layer check
    assert await refused(tessera, z=3, x=8, y=0) == (400, "Invalid tile coordinates: z=3, x=8, y=0")
    assert await refused(tessera, layer="parcels", z=0) == (404, "Layer 'parcels' not found")


async def test_layer_not_shown_at_zoom(tessera, fake_redis, records):
    response = await get(tessera, z=5, x=10, y=15)
    assert (response.status_code, response.body) == (204, b"")
    assert records() == [
        ("INFO", "Layer plots not available at zoom 5: Layer plots not available at zoom level 5"),
        ("INFO", "Try these layers at zoom 5: ['cadzones', 'districts', 'lgas']")]
    records_before = len(records())
    assert (await get(tessera, layer="beacons", z=9, x=100, y=200)).status_code == 204
    assert records()[records_before:] == [
        ("INFO", "Layer beacons not available at zoom 9: Layer beacons not available at zoom level 9")]
    assert fake_redis.commands("get") == []


@pytest.mark.parametrize("z, limit", [(6, 10.0), (10, 12.0), (14, 15.0), (16, 20.0), (17, 30.0)])
async def test_time_limits_by_zoom(tessera, fake_redis, monkeypatch, records, z, limit):
    seen = []
    real_wait_for = asyncio.wait_for

    async def wait_for(awaitable, timeout):
        seen.append(timeout)
        return await real_wait_for(awaitable, 0.05)

    monkeypatch.setattr(tessera, "asyncio", type("asyncio", (), {"wait_for": staticmethod(wait_for),
                                                                 "TimeoutError": asyncio.TimeoutError}))
    session = FakeSession(1.0)
    assert await refused(tessera, layer="lgas", z=z, x=0, y=0, session=session) == (
        408, f"Tile generation timeout at zoom {z}")
    assert seen[-1] == limit and type(seen[-1]) is float
    assert session.events == ["execute", "rollback", "close"]
    assert records()[-1] == ("ERROR", f"Timeout generating tile lgas/{z}/0/0")


async def test_database_and_unexpected_errors(tessera, fake_redis, records):
    db_error = OperationalError("SELECT", {}, Exception("server closed the connection"))
    session = FakeSession(db_error)
    assert await refused(tessera, session=session) == (500, "Database error")
    assert session.events == ["execute", "rollback", "close"]
    assert records()[-1] == ("ERROR", f"Database error for tile plots/14/9000/8000: {db_error}")
    assert await refused(tessera, session=FakeSession(KeyError("boom"))) == (500, "Internal server error")
    assert records()[-1] == ("ERROR", "Unexpected error for tile plots/14/9000/8000: 'boom'")


@pytest.mark.parametrize("body", [None, b""])
async def test_empty_tile_is_204_and_not_cached(tessera, fake_redis, records, body):
    response = await get(tessera, layer="lgas", z=14, x=1, y=2, session=FakeSession(FakeResult(body)))
    assert (response.status_code, response.body) == (204, b"")
    assert fake_redis.commands("set") == []
    bbox = tessera.xyz_to_bbox_web_mercator(14, 1, 2)
    assert records() == [("INFO", f"Empty tile generated for lgas/14/1/2 - bbox: {bbox}")]


async def test_endpoint_uses_patched_module_functions(tessera, fake_redis, monkeypatch):
    async def cached(key, timeout=1.0):
        return b"patched:" + key.encode()

    monkeypatch.setattr(tessera, "safe_cache_get", cached)
    response = await get(tessera, layer="roads", z=12, x=3, y=4)
    assert response.body == b"patched:roads:12:3:4"


async def test_http_errors_keep_the_failure_they_answer_as_context(tessera, fake_redis, monkeypatch):
    async def too_slow(awaitable, timeout):
        awaitable.close()
        raise asyncio.TimeoutError()

    db_error = OperationalError("SELECT", {}, Exception("server closed the connection"))
    with pytest.raises(HTTPException) as caught:
        await get(tessera, session=FakeSession(db_error))
    assert caught.value.status_code == 500 and caught.value.__context__ is db_error

    monkeypatch.setattr(tessera, "asyncio", type("asyncio", (), {"wait_for": staticmethod(too_slow),
                                                                 "TimeoutError": asyncio.TimeoutError}))
    with pytest.raises(HTTPException) as caught:
        await get(tessera)
    assert caught.value.status_code == 408 and type(caught.value.__context__) is asyncio.TimeoutError


async def test_failures_inside_error_handling_keep_the_original_as_context(tessera, fake_redis, monkeypatch):
    db_error = OperationalError("SELECT", {}, Exception("server closed the connection"))

    class BrokenLogger:
        def error(self, message):
            raise OSError("log disk full")

    logger = tessera.logger
    monkeypatch.setattr(tessera, "logger", BrokenLogger())
    with pytest.raises(OSError) as caught:
        await get(tessera, session=FakeSession(db_error))
    assert caught.value.__context__ is db_error
    monkeypatch.setattr(tessera, "logger", logger)

    class FailingRollback(FakeSession):
        async def rollback(self):
            raise ConnectionError("rollback lost the connection")

    with pytest.raises(HTTPException) as caught:
        await get(tessera, session=FailingRollback(KeyError("boom")))
    rollback_error = caught.value.__context__
    assert isinstance(rollback_error, ConnectionError) and type(rollback_error.__context__) is KeyError
