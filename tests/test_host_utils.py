"""Host stand-ins under api/: tile math, responses, settings, database session, models, Redis helper."""
from __future__ import annotations

import asyncio
import io
import json
import random
from datetime import date, datetime
from pathlib import Path

import pytest
from pyproj import Transformer

ROOT = Path(__file__).resolve().parents[1]

from helpers.responses import api_response, api_router_response  # noqa: E402
from helpers.utils import format_date_html, latlon_to_xyz, xyz_to_bbox_web_mercator  # noqa: E402
from tests.support import services  # noqa: E402

HALF = 20037508.34
TO_MERCATOR = Transformer.from_crs("EPSG:4326", "EPSG:3857", always_xy=True)


class TestTiles:
    def test_world_tile(self):
        box = xyz_to_bbox_web_mercator(0, 0, 0)
        assert box["minx"] == pytest.approx(-HALF, abs=0.01) and box["maxx"] == pytest.approx(HALF, abs=0.01)
        assert box["miny"] == pytest.approx(-HALF, abs=0.01) and box["maxy"] == pytest.approx(HALF, abs=0.01)
        assert latlon_to_xyz(0.0, 0.0, 0) == {"z": 0, "x": 0, "y": 0}

    def test_rows_count_from_the_top(self):
        assert latlon_to_xyz(45.0, -90.0, 1) == {"z": 1, "x": 0, "y": 0}
        assert latlon_to_xyz(-45.0, 90.0, 1) == {"z": 1, "x": 1, "y": 1}
        north, south = xyz_to_bbox_web_mercator(3, 2, 2), xyz_to_bbox_web_mercator(3, 2, 3)
        assert north["miny"] == pytest.approx(south["maxy"]) and north["maxy"] > south["maxy"]
        east = xyz_to_bbox_web_mercator(3, 3, 2)
        assert north["maxx"] == pytest.approx(east["minx"])

    def test_out_of_range_is_clamped(self):
        assert latlon_to_xyz(89.9, 179.999, 4) == {"z": 4, "x": 15, "y": 0}
        assert latlon_to_xyz(-89.9, 180.0, 4) == {"z": 4, "x": 15, "y": 15}
        assert latlon_to_xyz(0.0, -180.0, 4)["x"] == 0

    def test_round_trip_contains_point(self):
        rng = random.Random(5)
        for _ in range(300):
            lat, lon, z = rng.uniform(-85, 85), rng.uniform(-180, 179.99), rng.randint(0, 22)
            tile = latlon_to_xyz(lat, lon, z)
            box = xyz_to_bbox_web_mercator(tile["z"], tile["x"], tile["y"])
            x, y = TO_MERCATOR.transform(lon, lat)
            eps = 1e-6 * max(1.0, abs(x), abs(y))
            assert box["minx"] - eps <= x <= box["maxx"] + eps, (lat, lon, z)
            assert box["miny"] - eps <= y <= box["maxy"] + eps, (lat, lon, z)


class TestDates:
    @pytest.mark.parametrize("day,text", [(1, "1st"), (2, "2nd"), (3, "3rd"), (4, "4th"), (11, "11th"),
                                          (12, "12th"), (13, "13th"), (21, "21st"), (22, "22nd"), (23, "23rd"),
                                          (31, "31st")])
    def test_ordinals(self, day, text):
        assert format_date_html(date(2026, 12, day)) == f"{text} December, 2026"

    def test_inputs(self):
        assert format_date_html(datetime(2026, 3, 8, 14, 30)) == "8th March, 2026"
        assert format_date_html("2025-07-02") == "2nd July, 2025"
        assert format_date_html(None).endswith(str(date.today().year))


class TestResponses:
    def test_envelope(self):
        ok = api_response(data={"a": 1})
        assert ok["status_code"] == 200 and ok["success"] is True and ok["data"] == {"a": 1} and ok["message"]
        bad = api_response(message="no such plot", status_code=404)
        assert bad["success"] is False and bad["message"] == "no such plot" and bad["data"] is None
        assert api_response(status_code=500)["message"]

    def test_json_router_response(self):
        resp = api_router_response(api_response(data={"when": date(2026, 1, 2), "n": 3}, status_code=201))
        assert resp.status_code == 201
        body = json.loads(resp.body)
        assert body["data"] == {"when": "2026-01-02", "n": 3} and body["success"] is True

    @pytest.mark.parametrize("payload", [b"%PDF-1.7 test", io.BytesIO(b"%PDF-1.7 test")])
    def test_file_router_response(self, payload):
        resp = api_router_response(api_response(file=payload, filename="plan 12.pdf"))
        assert resp.status_code == 200 and resp.media_type == "application/pdf"
        assert resp.body == b"%PDF-1.7 test"
        assert resp.headers["content-disposition"] == 'attachment; filename="plan 12.pdf"'


class TestSettings:
    def test_environment_wins_over_file(self, monkeypatch):
        monkeypatch.setenv("PGPORT", "6543")
        monkeypatch.setenv("PGDATABASE_TEST", "other_test")
        url = services.database_url(test=True)
        assert url.startswith("postgresql+asyncpg://") and url.endswith(":6543/other_test")
        monkeypatch.delenv("PGPORT")
        assert services.settings()["PGPORT"] == "5432"  # from services.env

    def test_api_database_url(self, monkeypatch):
        import database

        monkeypatch.setenv("DATABASE_URL", "postgresql://u:p@127.0.0.1:5/x")
        assert database.database_url() == "postgresql+asyncpg://u:p@127.0.0.1:5/x"
        monkeypatch.delenv("DATABASE_URL")
        monkeypatch.setenv("PGPASSWORD", "p@ss/word")
        assert "p%40ss%2Fword@" in database.database_url()


@pytest.mark.integration
class TestDatabaseAccess:
    @pytest.fixture(scope="class", autouse=True)
    def loaded(self):
        services.load_test_dataset()

    @pytest.fixture
    def test_db(self, monkeypatch):
        monkeypatch.setenv("DATABASE_URL", services.database_url(test=True))

    def test_repository_reads_mapped_models(self, test_db):
        import database
        from models.gis_model import BEACON, BOUNDARY, PLOT, ROAD
        from models.landuse_model import LandPurpose
        from repository.repository import AsyncBaseRepository

        async def run():
            try:
                async with database.session_scope() as session:
                    plot = await AsyncBaseRepository(session, PLOT).get_by_id(1)
                    assert plot is not None and plot.plot_no and plot.cadzone and plot.area_system > 0
                    assert plot.geometry is not None
                    assert await AsyncBaseRepository(session, PLOT).get_by_id(10**9) is None
                    legs = await AsyncBaseRepository(session, BOUNDARY).list_by(plotid=1)
                    assert [leg.seq for leg in legs] == list(range(1, len(legs) + 1)) and len(legs) >= 4
                    beacon = await AsyncBaseRepository(session, BEACON).get_by_id(legs[0].beacon1id)
                    assert beacon is not None and beacon.beacon_no
                    assert await AsyncBaseRepository(session, ROAD).count() > 0
                    purpose = await AsyncBaseRepository(session, LandPurpose).get_by(name=plot.detail_lu)
                    assert purpose is not None and purpose.general_lu == plot.general_lu
            finally:
                await database.dispose_engine()

        asyncio.run(run())


class TestTemporaryRedis:
    def test_outage_and_restart_on_same_port(self):
        import redis
        from redis.backoff import NoBackoff
        from redis.retry import Retry

        with services.temporary_redis() as server:
            client = redis.Redis(host=server.host, port=server.port, socket_timeout=1)
            client.set("k", "v")
            assert client.get("k") == b"v"
            port = server.port
            server.stop()
            with pytest.raises(redis.ConnectionError):
                redis.Redis(host=server.host, port=port, socket_timeout=1, retry=Retry(NoBackoff(), 0)).ping()
            server.start()
            assert server.port == port and redis.Redis(host=server.host, port=port).ping()
        assert not server.running


class TestApp:
    def test_root(self):
        tessera = pytest.importorskip("ravn.tessera")
        if not hasattr(tessera, "tesseraApi"):
            pytest.skip("ravn.tessera is not built with its router yet")
        import httpx
        from service.app import app

        async def run():
            transport = httpx.ASGITransport(app=app)
            async with httpx.AsyncClient(transport=transport, base_url="http://test") as client:
                return [await client.get(path, headers=headers) for path, headers in (
                    ("/api", {}), ("/", {"Accept": "application/json"}), ("/", {"Accept": "text/html,*/*"}),
                    ("/static/maplibre/maplibre-gl.js", {}))]

        api, json_root, page, library = asyncio.run(run())
        assert api.status_code == 200 and api.json()["layers"] == "/gis/layers/"
        assert json_root.json() == api.json()
        assert page.headers["content-type"].startswith("text/html") and "/static/viewer.js" in page.text
        assert library.status_code == 200 and "maplibregl" in library.text
