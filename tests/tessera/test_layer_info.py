"""Zoom guidance, the layer list and the health probe."""
from __future__ import annotations

import asyncio
import json
import time

import pytest
from fastapi import HTTPException
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


@pytest.mark.asyncio
@pytest.mark.parametrize("layer", ["plots", "beacons", "lgas"])
async def test_zoom_info_follows_the_tiers(tessera, layer):
    data = body(await tessera.get_layer_zoom_info(layer))["data"]
    assert list(data) == ["layer", "min_zoom", "zoom_levels", "recommendations"]
    assert (data["layer"], data["min_zoom"]) == (layer, tessera.LAYER_CONFIG[layer]["min_zoom"])
    assert list(data["zoom_levels"]) == [str(z) for z in range(1, 21)]
    for zoom, entry in data["zoom_levels"].items():
        tier = tessera.get_zoom_config(int(zoom), layer)
        if tier is None:
            assert entry == {"available": False}
        else:
            assert list(entry) == ["available", "tolerance", "feature_limit", "simplification"]
            assert entry["available"] is True
            assert (entry["tolerance"], entry["feature_limit"]) == (tier["tolerance"], tier["feature_limit"])
    assert list(data["recommendations"].items()) == list(RECOMMENDATIONS.items())


@pytest.mark.asyncio
async def test_simplification_labels_at_the_boundaries(tessera, monkeypatch):
    tolerances = {1: 501, 2: 500, 3: 101, 4: 100, 5: 0.5, 6: 0}
    asked, handed = [], []
    monkeypatch.setattr(tessera, "get_zoom_config", lambda zoom, layer_name: asked.append((zoom, layer_name)) or (
        {"tolerance": tolerances[zoom], "feature_limit": zoom * 10} if zoom in tolerances else None))
    monkeypatch.setattr(tessera, "api_router_response", lambda document: handed.append(document) or document)
    await tessera.get_layer_zoom_info("roads")
    assert asked == [(z, "roads") for z in range(1, 21)]
    levels = handed[0]["data"]["zoom_levels"]
    assert list(levels) == list(range(1, 21))  # integer keys; JSON makes them "1".."20"
    assert [levels[z]["simplification"] for z in tolerances] == ["heavy", "moderate", "moderate", "light", "light",
                                                                 "none"]
    assert levels[3]["feature_limit"] == 30 and levels[7] == {"available": False}


@pytest.mark.asyncio
async def test_unknown_layer_is_refused(tessera):
    with pytest.raises(HTTPException) as refused:
        await tessera.get_layer_zoom_info("nosuchlayer")
    assert (refused.value.status_code, refused.value.detail) == (404, "Layer 'nosuchlayer' not found")


@pytest.mark.asyncio
async def test_layer_list(tessera):
    data = body(await tessera.get_available_layers())["data"]
    assert list(data) == ["layers", "total_layers", "usage_guide"]
    assert list(data["layers"]) == list(tessera.LAYER_CONFIG) and data["total_layers"] == len(tessera.LAYER_CONFIG)
    for name, config in tessera.LAYER_CONFIG.items():
        assert data["layers"][name] == {
            "name": name, "min_zoom": config["min_zoom"], "properties": config["properties"], "table": config["table"],
            "endpoints": {"xyz": f"/gis/{name}/{{z}}/{{x}}/{{y}}.pbf", "bbox": f"/gis/{name}/bbox/",
                          "info": f"/gis/{name}/", "zoom_info": f"/gis/{name}/zoom-info/"}}
        assert list(data["layers"][name]) == ["name", "min_zoom", "properties", "table", "endpoints"]
        assert list(data["layers"][name]["endpoints"]) == ["xyz", "bbox", "info", "zoom_info"]
    assert data["layers"]["plots"]["endpoints"]["xyz"] == "/gis/plots/{z}/{x}/{y}.pbf"
    assert list(data["usage_guide"].items()) == list(USAGE_GUIDE.items())


@pytest.mark.asyncio
async def test_catalogue_entries_are_read_at_call_time(tessera, monkeypatch):
    bare = {k: v for k, v in tessera.LAYER_CONFIG["lgas"].items() if k != "min_zoom"}
    monkeypatch.setitem(tessera.LAYER_CONFIG, "bare", bare)
    assert body(await tessera.get_layer_zoom_info("bare"))["data"]["min_zoom"] == 0
    data = body(await tessera.get_available_layers())["data"]
    assert data["layers"]["bare"]["min_zoom"] == 0 and data["total_layers"] == 7
    monkeypatch.setitem(tessera.LAYER_CONFIG, "broken", {"table": '"x"."y"'})
    with pytest.raises(KeyError):
        await tessera.get_available_layers()


class SlowCache:
    """A cache whose reads take `seconds`; records whether a read was abandoned."""

    def __init__(self, seconds):
        self.seconds, self.keys, self.cancelled = seconds, [], False

    async def get(self, key):
        self.keys.append(key)
        try:
            await asyncio.sleep(self.seconds)
        except asyncio.CancelledError:
            self.cancelled = True
            raise


def health(tessera, cache_status):
    return {"status": "healthy", "cache_status": cache_status, "available_layers": list(tessera.LAYER_CONFIG),
            "zoom_support": "1-20 with layer-specific minimums"}


@pytest.mark.asyncio
async def test_health_with_the_probe_key_absent(tessera, fake_redis):
    response = await tessera.health_check()
    assert type(response) is JSONResponse and response.status_code == 200
    assert list(body(response).items()) == list(health(tessera, "healthy").items())
    assert fake_redis.commands("get") == [("get", "mvt_v8:health_check")]


@pytest.mark.asyncio
@pytest.mark.parametrize("failure", [ConnectionError("refused"), asyncio.CancelledError()],
                         ids=["exception", "not-an-exception"])
async def test_any_cache_failure_only_marks_the_cache(tessera, fake_redis, records, failure):
    fake_redis.fail = failure
    response = await tessera.health_check()
    assert (response.status_code, body(response)) == (200, health(tessera, "unhealthy"))
    assert records() == []


@pytest.mark.asyncio
async def test_a_hanging_cache_is_given_up_after_two_seconds(tessera, monkeypatch):
    slow = SlowCache(30)
    monkeypatch.setattr(tessera, "cache", slow)
    started = time.monotonic()
    response = await tessera.health_check()
    assert 1.9 <= time.monotonic() - started < 3.0
    assert body(response)["cache_status"] == "unhealthy"
    assert slow.keys == ["health_check"] and slow.cancelled
