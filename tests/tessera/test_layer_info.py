"""Zoom guidance, the layer list and the health probe."""
from __future__ import annotations

import asyncio
import json
import time

import httpx
import pytest
import pytest_asyncio
from fastapi import FastAPI, HTTPException
from fastapi.responses import JSONResponse

RECOMMENDATIONS = {
    "world_view": "Use 'lgas' or 'districts' for zoom 1-6",
    "regional_view": "Use 'cadzones' for zoom 4-10",
    "detailed_view": "Use 'plots' for zoom 8+",
    "precise_view": "Use 'beacons' for zoom 12+",
}
USAGE_GUIDE = {
    "world_zoom_1_4": "Use 'lgas' layer",
    "country_zoom_5_7": "Use 'districts' or 'lgas' layer",
    "regional_zoom_6_10": "Use 'cadzones' layer",
    "local_zoom_8_14": "Use 'plots' layer",
    "detail_zoom_12_20": "Use 'beacons' layer",
}


def body(response):
    return json.loads(response.body)


@pytest_asyncio.fixture
async def http(tessera):
    app = FastAPI()
    app.include_router(tessera.tesseraApi)
    async with httpx.AsyncClient(transport=httpx.ASGITransport(app=app), base_url="http://test") as client:
        yield client


class TestZoomInfo:
    @pytest.mark.asyncio
    @pytest.mark.parametrize("layer", ["plots", "beacons", "cadzones", "districts", "lgas", "roads"])
    async def test_every_zoom_level_follows_the_tiers(self, tessera, layer):
        response = await tessera.get_layer_zoom_info(layer)
        data = body(response)["data"]
        assert list(data) == ["layer", "min_zoom", "zoom_levels", "recommendations"]
        assert (data["layer"], data["min_zoom"]) == (layer, tessera.LAYER_CONFIG[layer]["min_zoom"])
        assert list(data["zoom_levels"]) == [str(z) for z in range(1, 21)]
        for zoom in range(1, 21):
            tier = tessera.get_zoom_config(zoom, layer)
            entry = data["zoom_levels"][str(zoom)]
            if tier is None:
                assert entry == {"available": False}
            else:
                assert list(entry) == ["available", "tolerance", "feature_limit", "simplification"]
                assert entry["available"] is True
                assert (entry["tolerance"], entry["feature_limit"]) == (tier["tolerance"], tier["feature_limit"])
        assert data["recommendations"] == RECOMMENDATIONS
        assert list(data["recommendations"]) == list(RECOMMENDATIONS)

    @pytest.mark.asyncio
    async def test_zoom_keys_are_integers_before_serialisation(self, tessera, monkeypatch):
        seen = {}
        monkeypatch.setattr(tessera, "api_router_response", lambda document: seen.setdefault("doc", document))
        await tessera.get_layer_zoom_info("lgas")
        assert list(seen["doc"]["data"]["zoom_levels"]) == list(range(1, 21))

    @pytest.mark.asyncio
    async def test_simplification_labels_at_the_boundaries(self, tessera, monkeypatch):
        tolerances = {1: 501, 2: 500, 3: 101, 4: 100, 5: 1, 6: 0.5, 7: 0, 8: 1000.0}
        asked = []

        def tiers(zoom, layer_name):
            asked.append((zoom, layer_name))
            return {"tolerance": tolerances[zoom], "feature_limit": zoom * 10} if zoom in tolerances else None

        monkeypatch.setattr(tessera, "get_zoom_config", tiers)
        levels = body(await tessera.get_layer_zoom_info("roads"))["data"]["zoom_levels"]
        assert asked == [(z, "roads") for z in range(1, 21)]
        labels = {int(z): e.get("simplification") for z, e in levels.items() if e["available"]}
        assert labels == {1: "heavy", 2: "moderate", 3: "moderate", 4: "light", 5: "light", 6: "light", 7: "none",
                          8: "heavy"}
        assert levels["3"]["feature_limit"] == 30
        assert all(levels[str(z)] == {"available": False} for z in range(9, 21))

    @pytest.mark.asyncio
    async def test_unknown_layer_is_refused(self, tessera, http):
        with pytest.raises(HTTPException) as refused:
            await tessera.get_layer_zoom_info("nosuchlayer")
        assert (refused.value.status_code, refused.value.detail) == (404, "Layer 'nosuchlayer' not found")
        response = await http.get("/gis/nosuchlayer/zoom-info/")
        assert (response.status_code, response.json()) == (404, {"detail": "Layer 'nosuchlayer' not found"})

    @pytest.mark.asyncio
    async def test_entry_without_min_zoom_reads_as_zero(self, tessera, monkeypatch):
        entry = {k: v for k, v in tessera.LAYER_CONFIG["lgas"].items() if k != "min_zoom"}
        monkeypatch.setitem(tessera.LAYER_CONFIG, "bare", entry)
        assert body(await tessera.get_layer_zoom_info("bare"))["data"]["min_zoom"] == 0
        layers = body(await tessera.get_available_layers())["data"]["layers"]
        assert layers["bare"]["min_zoom"] == 0


class TestLayerList:
    @pytest.mark.asyncio
    async def test_catalogue_listing(self, tessera, http):
        response = await http.get("/gis/layers/")
        assert response.status_code == 200
        data = response.json()["data"]
        assert list(data) == ["layers", "total_layers", "usage_guide"]
        assert list(data["layers"]) == list(tessera.LAYER_CONFIG)
        assert data["total_layers"] == len(tessera.LAYER_CONFIG)
        for name, config in tessera.LAYER_CONFIG.items():
            layer = data["layers"][name]
            assert list(layer) == ["name", "min_zoom", "properties", "table", "endpoints"]
            assert (layer["name"], layer["min_zoom"], layer["properties"], layer["table"]) == (
                name, config["min_zoom"], config["properties"], config["table"])
            assert layer["endpoints"] == {
                "xyz": f"/gis/{name}/{{z}}/{{x}}/{{y}}.pbf",
                "bbox": f"/gis/{name}/bbox/",
                "info": f"/gis/{name}/",
                "zoom_info": f"/gis/{name}/zoom-info/",
            }
            assert list(layer["endpoints"]) == ["xyz", "bbox", "info", "zoom_info"]
        assert data["layers"]["plots"]["endpoints"]["xyz"] == "/gis/plots/{z}/{x}/{y}.pbf"
        assert data["usage_guide"] == USAGE_GUIDE and list(data["usage_guide"]) == list(USAGE_GUIDE)

    @pytest.mark.asyncio
    async def test_follows_the_catalogue_at_call_time(self, tessera, monkeypatch):
        monkeypatch.setattr(tessera, "LAYER_CONFIG", {"only": {"table": '"x"."y"', "properties": ['"a"']}})
        data = body(await tessera.get_available_layers())["data"]
        assert data["total_layers"] == 1
        assert data["layers"]["only"]["endpoints"]["info"] == "/gis/only/"

    @pytest.mark.asyncio
    async def test_entry_without_properties_fails(self, tessera, monkeypatch):
        monkeypatch.setitem(tessera.LAYER_CONFIG, "broken", {"table": '"x"."y"'})
        with pytest.raises(KeyError):
            await tessera.get_available_layers()


class SlowCache:
    """A cache whose reads never answer in time; records whether the read was abandoned."""

    def __init__(self, seconds):
        self.seconds = seconds
        self.keys = []
        self.cancelled = False

    async def get(self, key):
        self.keys.append(key)
        try:
            await asyncio.sleep(self.seconds)
        except asyncio.CancelledError:
            self.cancelled = True
            raise


class TestHealth:
    def expected(self, tessera, cache_status):
        return {"status": "healthy", "cache_status": cache_status, "available_layers": list(tessera.LAYER_CONFIG),
                "zoom_support": "1-20 with layer-specific minimums"}

    @pytest.mark.asyncio
    async def test_healthy_when_the_probe_key_is_absent(self, tessera, fake_redis, http):
        response = await tessera.health_check()
        assert type(response) is JSONResponse and response.status_code == 200
        assert list(body(response)) == ["status", "cache_status", "available_layers", "zoom_support"]
        assert body(response) == self.expected(tessera, "healthy")
        assert fake_redis.commands("get") == [("get", "mvt_v8:health_check")]
        over_http = await http.get("/gis/health/")
        assert (over_http.status_code, over_http.json()) == (200, self.expected(tessera, "healthy"))

    @pytest.mark.asyncio
    @pytest.mark.parametrize("failure", [ConnectionError("refused"), RuntimeError("x"), asyncio.CancelledError()],
                             ids=["connection", "other", "cancellation-like"])
    async def test_any_failure_only_marks_the_cache(self, tessera, fake_redis, records, failure):
        fake_redis.fail = failure
        response = await tessera.health_check()
        assert response.status_code == 200
        assert body(response) == self.expected(tessera, "unhealthy")
        assert records() == []

    @pytest.mark.asyncio
    async def test_a_hanging_cache_is_given_up_after_two_seconds(self, tessera, monkeypatch):
        slow = SlowCache(30)
        monkeypatch.setattr(tessera, "cache", slow)
        started = time.monotonic()
        response = await tessera.health_check()
        elapsed = time.monotonic() - started
        assert body(response)["cache_status"] == "unhealthy"
        assert 1.9 <= elapsed < 3.0
        assert slow.keys == ["health_check"] and slow.cancelled

    @pytest.mark.asyncio
    async def test_a_slow_but_timely_cache_is_healthy(self, tessera, monkeypatch):
        monkeypatch.setattr(tessera, "cache", SlowCache(0.2))
        assert body(await tessera.health_check())["cache_status"] == "healthy"
