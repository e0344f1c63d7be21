"""The bounding-box tile endpoint, with fakes."""
from __future__ import annotations

import pytest
from fastapi import HTTPException

from tests.fakes import FakeResult, FakeSession, fake_request, row

TILE = b"\x1a\x8f\xfe bbox tile"
CORNERS = row(min_x=836748.4, min_y=711894.49, max_x=837859.5, max_y=713005.2)


async def get(tessera, layer="plots", minx=7.5166, miny=6.3925, maxx=7.5266, maxy=6.4025, srid=4326,
              max_features=5000, simplify=True, request="default", session=None):
    request = fake_request() if request == "default" else request
    return await tessera.get_tile_bbox(layer, minx, miny, maxx, maxy, srid, max_features, simplify, request,
                                       session or FakeSession(FakeResult(row=CORNERS), FakeResult(TILE)))


async def refused(tessera, **kw):
    with pytest.raises(HTTPException) as caught:
        await get(tessera, **kw)
    return caught.value.status_code, caught.value.detail


async def test_wgs84_box_is_transformed_cached_and_marked_miss(tessera, fake_redis):
    session = FakeSession(FakeResult(row=CORNERS), FakeResult(TILE))
    response = await get(tessera, session=session)
    assert (response.status_code, response.body, response.media_type) == (
        200, TILE, "application/vnd.mapbox-vector-tile")
    assert response.headers["x-cache"] == "MISS" and response.headers["cache-control"] == "public, max-age=1800"
    key = "mvt_v8:bbox:plots:836748:711894:837860:713005:5000:True"
    assert fake_redis.store[key] == TILE and fake_redis.ttls[key] == 1800
    (transform, bind), (tile_sql, params) = session.statements
    assert list(bind) == ["x1", "y1", "x2", "y2", "input_srid"] and bind["input_srid"] == 4326
    assert "ST_Transform(\n                    ST_MakeEnvelope(:x1, :y1, :x2, :y2, :input_srid), 3857" in transform
    assert list(params.items()) == [("min_x", 836748.4), ("min_y", 711894.49), ("max_x", 837859.5),
                                    ("max_y", 713005.2), ("max_features", 5000)]
    assert "LIMIT :max_features" in tile_sql and "32,\n" in tile_sql and "'plots'" in tile_sql
    assert 'ST_SimplifyPreserveTopology' not in tile_sql  # 0.0001 square degrees is not simplified
    assert session.events == ["execute", "execute", "commit", "close"]
    hit = await get(tessera, session=FakeSession(FakeResult(row=CORNERS)))
    assert hit.headers["x-cache"] == "HIT" and hit.body == TILE


async def test_web_mercator_box_skips_checks_and_simplification(tessera, fake_redis):
    session = FakeSession(FakeResult(TILE))
    await get(tessera, minx=1e9, miny=-5, maxx=-1e9, maxy=7, srid=3857, max_features=20000, simplify=True,
              session=session)
    assert len(session.statements) == 1 and "ST_SimplifyPreserveTopology" not in session.statements[0][0]
    assert "mvt_v8:bbox:plots:1000000000:-5:-1000000000:7:15000:True" in fake_redis.store
    assert session.statements[0][1]["max_features"] == 15000


async def test_large_wgs84_box_is_simplified(tessera, fake_redis):
    session = FakeSession(FakeResult(row=CORNERS), FakeResult(TILE))
    await get(tessera, minx=7.0, miny=6.0, maxx=7.5, maxy=6.5, simplify=True, session=session)
    assert 'ST_SimplifyPreserveTopology("GEOMETRY", 50)' in session.statements[1][0]
    session = FakeSession(FakeResult(row=CORNERS), FakeResult(TILE))
    await get(tessera, minx=7.0, miny=6.0, maxx=7.5, maxy=6.5, simplify=False, session=session)
    assert "ST_SimplifyPreserveTopology" not in session.statements[1][0]
    assert any(k.endswith(":False") for k in fake_redis.store) and any(k.endswith(":True") for k in fake_redis.store)


async def test_checks_in_order(tessera, fake_redis):
    assert await refused(tessera, layer="parcels", srid=1) == (404, "Layer 'parcels' not found")
    assert await refused(tessera, srid=27700, minx=999) == (
        400, "Only SRID 4326 (WGS84) and 3857 (Web Mercator) are supported")
    assert await refused(tessera, minx=-181) == (400, "Invalid longitude values")
    assert await refused(tessera, maxy=90.5) == (400, "Invalid latitude values")
    assert await refused(tessera, minx=7.0, miny=6.0, maxx=8.0, maxy=7.01) == (
        400, "Bounding box too large. Maximum area: 1.0 square degrees")
    assert (await get(tessera, minx=7.0, miny=6.0, maxx=8.0, maxy=7.0)).status_code == 200  # exactly 1.0


async def test_transformation_failure(tessera, fake_redis, records):
    assert await refused(tessera, session=FakeSession(FakeResult(row=None))) == (
        400, "Invalid coordinate transformation")
    assert records() == [("ERROR", "Coordinate transformation error: 'NoneType' object has no attribute 'min_x'")]


async def test_rate_limit_and_its_repair(tessera, fake_redis):
    for _ in range(20):
        with pytest.raises(HTTPException):
            await get(tessera, layer="parcels")
    assert fake_redis.store["rate_limit:gis:bbox:10.1.2.3"] == 20
    fake_redis.ttls.clear()
    fake_redis.store["rate_limit:gis:bbox:10.1.2.3"] = 20
    assert await refused(tessera) == (429, "Too many bbox requests.")
    assert fake_redis.ttls["rate_limit:gis:bbox:10.1.2.3"] == 1  # a counter with no lifetime gets one back
    assert (await get(tessera, request=None)).status_code == 200  # no request: no limit
    fake_redis.store.clear()
    fake_redis.fail = ConnectionError("down")
    response = await get(tessera)
    assert response.status_code == 200 and response.headers["x-cache"] == "MISS"


async def test_time_limit_errors_and_empty_result(tessera, fake_redis, records, monkeypatch):
    import asyncio

    async def timeout(awaitable, timeout):
        awaitable.close()
        raise asyncio.TimeoutError()

    session = FakeSession(FakeResult(row=CORNERS))
    with monkeypatch.context() as patch:  # undo() would also drop the fake Redis
        patch.setattr(tessera.asyncio, "wait_for", timeout)
        assert await refused(tessera, session=session) == (408, "Query timeout")
    assert session.events == ["execute", "rollback", "close"]
    assert await refused(tessera, session=FakeSession(FakeResult(row=CORNERS), RuntimeError("bad"))) == (
        500, "Internal server error")
    assert records()[-2:] == [("ERROR", "Timeout generating bbox tile for plots"),
                              ("ERROR", "Error generating bbox tile for plots: bad")]
    response = await get(tessera, session=FakeSession(FakeResult(row=CORNERS), FakeResult(None)))
    assert (response.status_code, response.body) == (204, b"")
    assert not any(k.startswith("mvt_v8:bbox") for k in fake_redis.store)


async def test_negative_max_features_is_the_clients_error(tessera, fake_redis):
    session = FakeSession(FakeResult(row=CORNERS), FakeResult(TILE))
    assert await refused(tessera, max_features=-1, session=session) == (400, "max_features must not be negative")
    assert session.events == []  # refused before any query
    # The SRID and coordinate checks come first.
    assert (await refused(tessera, max_features=-1, srid=4269))[1].startswith("Only SRID 4326")
    assert await refused(tessera, max_features=-1, minx=-181) == (400, "Invalid longitude values")
    # 0 keeps its meaning: a query for no features, an empty tile.
    session = FakeSession(FakeResult(row=CORNERS), FakeResult(None))
    assert (await get(tessera, max_features=0, session=session)).status_code == 204
    assert session.statements[1][1]["max_features"] == 0


def _unreachable_errors():
    from sqlalchemy.exc import DBAPIError, InterfaceError, OperationalError

    lost = DBAPIError("SELECT", {}, Exception("connection was closed"), connection_invalidated=True)
    return [ConnectionRefusedError(111, "Connect call failed"), ConnectionResetError("reset by peer"),
            OperationalError("SELECT", {}, Exception("server closed the connection")),
            InterfaceError("SELECT", {}, Exception("connection is closed")), lost]


@pytest.mark.parametrize("error", _unreachable_errors(), ids=lambda e: type(e).__name__)
async def test_unreachable_database_during_transformation_is_a_server_error(tessera, fake_redis, records, error):
    assert await refused(tessera, session=FakeSession(error)) == (500, "Internal server error")
    assert records()[-1] == ("ERROR", f"Coordinate transformation error: {error}")


async def test_rejected_coordinates_stay_the_clients_error(tessera, fake_redis):
    from sqlalchemy.exc import DBAPIError, DataError

    for error in (DataError("SELECT", {}, Exception("invalid input")),
                  DBAPIError("SELECT", {}, Exception("out of range"), connection_invalidated=False)):
        assert await refused(tessera, session=FakeSession(error)) == (400, "Invalid coordinate transformation")
