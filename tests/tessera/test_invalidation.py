"""Cache invalidation: the workers, the background scheduling functions and the endpoint."""
from __future__ import annotations

import asyncio
import gc
import inspect
import json
import time
import weakref

import pytest
from fastapi import HTTPException

from helpers.utils import latlon_to_xyz
from tests.tessera.live import app, http, live_redis, redis_server  # noqa: F401  (fixtures)

SAMPLE_KEYS = [
    b"mvt_v8:plots:14:9000:8000",
    b"mvt_v8:plots:18:1:2",
    b"mvt_v8:roads:14:9000:8000",
    b"mvt_v8:bbox:plots:836748:711894:837859:713005:5000:True",
    b"mvt_v8:centroid:plots",
    b"rate_limit:gis:10.1.2.3",
]
PLOTS_XYZ = {b"mvt_v8:plots:14:9000:8000", b"mvt_v8:plots:18:1:2"}

# worker, its arguments, SCAN pattern, keys it removes from SAMPLE_KEYS, INFO line, scheduler, DEBUG line
WIDTHS = {
    "layer": ("_invalidate_layer_cache_task", ("plots",), "mvt_v8:plots:*", PLOTS_XYZ,
              "Background task: Invalidated 2 cache entries for layer 'plots'",
              "invalidate_layer_cache", "Scheduled background cache invalidation for layer 'plots'"),
    "all": ("_invalidate_all_cache_task", (), "mvt_v8:*", set(SAMPLE_KEYS[:5]),
            "Background task: Invalidated ALL cache entries: 5 keys deleted",
            "invalidate_all_cache", "Scheduled background cache invalidation for ALL layers"),
    "pattern": ("_invalidate_cache_by_pattern_task", ("plots:18:*",), "mvt_v8:plots:18:*", {b"mvt_v8:plots:18:1:2"},
                "Background task: Invalidated 1 cache entries matching pattern 'plots:18:*'",
                "invalidate_cache_by_pattern", "Scheduled background cache invalidation for pattern 'plots:18:*'"),
}
FAILURES = {
    "layer": "Background task failed to invalidate cache for layer 'plots': Connection refused",
    "all": "Background task failed to invalidate all cache: Connection refused",
    "pattern": "Background task failed to invalidate cache by pattern 'plots:18:*': Connection refused",
}


@pytest.fixture
def seeded(fake_redis):
    fake_redis.store.update(dict.fromkeys(SAMPLE_KEYS, b"\x1a\x8f"))
    return fake_redis


def body(response):
    return json.loads(response.body)


async def settle(condition, seconds=3.0):
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline:
        await asyncio.sleep(0.01)


@pytest.mark.asyncio
@pytest.mark.parametrize("width", WIDTHS)
async def test_worker_scans_deletes_counts_and_logs(tessera, seeded, records, width):
    worker, args, pattern, gone, finished, *_ = WIDTHS[width]
    assert await getattr(tessera, worker)(*args) == len(gone)
    assert seeded.commands("scan_iter") == [("scan_iter", pattern, 100)]
    assert sorted(seeded.commands("delete")) == sorted(("delete", key) for key in gone)
    assert set(seeded.store) == set(SAMPLE_KEYS) - gone
    assert records() == [("INFO", finished)]


@pytest.mark.asyncio
@pytest.mark.parametrize("width", WIDTHS)
async def test_worker_contains_a_failure(tessera, fake_redis, records, width):
    worker, args, *_ = WIDTHS[width]
    fake_redis.fail = ConnectionError("Connection refused")
    assert await getattr(tessera, worker)(*args) == 0
    assert records() == [("ERROR", FAILURES[width])]


@pytest.mark.asyncio
async def test_worker_reads_the_namespace_and_lets_cancellation_through(tessera, fake_redis, records):
    tessera.cache.namespace = "other"
    assert await tessera._invalidate_layer_cache_task("plots") == 0
    assert fake_redis.commands("scan_iter") == [("scan_iter", "other:plots:*", 100)]
    fake_redis.fail = asyncio.CancelledError()
    with pytest.raises(asyncio.CancelledError):
        await tessera._invalidate_all_cache_task()
    assert [level for level, _ in records()] == ["INFO"]


@pytest.mark.asyncio
@pytest.mark.parametrize("width", WIDTHS)
async def test_scheduler_returns_at_once_and_the_worker_runs_later(tessera, seeded, records, width):
    _, args, _, gone, finished, scheduler, scheduled = WIDTHS[width]
    before = asyncio.all_tasks()
    assert getattr(tessera, scheduler)(*args) is None
    assert seeded.calls == [] and records() == [("DEBUG", scheduled)]
    (task,) = asyncio.all_tasks() - before
    assert await task == len(gone)
    assert records() == [("DEBUG", scheduled), ("INFO", finished)]


@pytest.mark.asyncio
async def test_scheduled_worker_is_kept_until_it_finishes(tessera, monkeypatch):
    # The loop holds tasks weakly: the worker waits on a future that only its own
    # task keeps alive, so without the scheduler's reference gc would reclaim it.
    loop = asyncio.get_running_loop()
    gate, finished = {}, []

    async def worker(pattern):
        future = loop.create_future()
        gate["future"] = weakref.ref(future)
        finished.append((pattern, await future))
        return 1

    monkeypatch.setattr(tessera, "_invalidate_cache_by_pattern_task", worker)
    tessera.invalidate_cache_by_pattern("x:*")
    await settle(lambda: "future" in gate)
    for _ in range(3):
        gc.collect()
        await asyncio.sleep(0)
    future = gate["future"]()
    assert future is not None, "the pending invalidation was garbage-collected"
    future.set_result("done")
    del future
    await settle(lambda: finished)
    assert finished == [("x:*", "done")]


def test_scheduler_needs_a_running_loop(tessera, fake_redis, records):
    with pytest.warns(RuntimeWarning, match="never awaited"):
        with pytest.raises(RuntimeError, match="no running event loop"):
            tessera.invalidate_layer_cache("plots")
    assert records() == [] and fake_redis.calls == []


@pytest.mark.asyncio
@pytest.mark.parametrize("layer_name, data, message", [
    ("all", {"deleted_count": 5}, "All cache invalidated successfully. 5 keys deleted."),
    ("plots", {"layer": "plots", "deleted_count": 2},
     "Cache for layer 'plots' invalidated successfully. 2 keys deleted."),
])
async def test_endpoint_answers_with_the_count(tessera, seeded, layer_name, data, message):
    response = await tessera.invalidate_cache_endpoint(layer_name)
    assert response.status_code == 200
    assert list(body(response)["data"].items()) == list(data.items()) and body(response)["message"] == message
    assert b"rate_limit:gis:10.1.2.3" in seeded.store and seeded.commands("ping") == []


@pytest.mark.asyncio
async def test_endpoint_refuses_an_unknown_layer(tessera, seeded):
    with pytest.raises(HTTPException) as refused:
        await tessera.invalidate_cache_endpoint("parcels")
    assert refused.value.status_code == 404 and seeded.calls == []
    assert refused.value.detail == (
        "Layer 'parcels' not found. Valid layers: ['plots', 'beacons', 'cadzones', 'districts', 'lgas', 'roads']")


@pytest.mark.asyncio
@pytest.mark.parametrize("layer_name", ["all", "lgas"])
async def test_endpoint_tells_nothing_cached_from_an_outage(tessera, fake_redis, records, layer_name):
    document = body(await tessera.invalidate_cache_endpoint(layer_name))
    assert document["data"]["deleted_count"] == 0 and document["message"].endswith(" successfully. 0 keys deleted.")
    assert fake_redis.commands("ping") == [("ping",)]

    fake_redis.fail = ConnectionError("Connection refused")
    with pytest.raises(HTTPException) as refused:
        await tessera.invalidate_cache_endpoint(layer_name)
    assert (refused.value.status_code, refused.value.detail) == (503, "Cache unavailable: nothing was invalidated")
    assert [level for level, _ in records()] == ["INFO", "ERROR"]


def test_signatures_and_docstrings(tessera):
    for worker, _, _, _, _, scheduler, _ in WIDTHS.values():
        params = str(inspect.signature(getattr(tessera, scheduler)))
        assert str(inspect.signature(getattr(tessera, worker))) == params + " -> int"
        assert asyncio.iscoroutinefunction(getattr(tessera, worker))
        assert not asyncio.iscoroutinefunction(getattr(tessera, scheduler))
        doc = getattr(tessera, scheduler).__doc__
        assert doc.startswith("\n    ") and doc.endswith("response.\n    ")
        assert all(line.startswith("    ") for line in doc.split("\n")[1:])
    assert inspect.cleandoc(tessera.invalidate_all_cache.__doc__) == (
        "Invalidate ALL cached tiles across all layers (runs as background task).\n"
        "Use with caution - only when you need to clear everything.\n\n"
        "This runs asynchronously without blocking the response.")


# --- a real Redis server, filled by the real endpoints

async def fill_cache(http):
    """XYZ tiles of two layers, a bbox tile and a centroid entry, cached by their endpoints."""
    plots = (await http.get("/gis/plots/")).json()["data"]
    centre = plots["centroid_wgs84"]
    for layer, zoom in [("plots", 12), ("plots", 14), ("roads", 12)]:
        tile = latlon_to_xyz(centre["latitude"], centre["longitude"], zoom)
        assert (await http.get(f"/gis/{layer}/{zoom}/{tile['x']}/{tile['y']}.pbf")).status_code == 200
    response = await http.get("/gis/plots/bbox/", params={**plots["extent_web_mercator"], "srid": 3857})
    assert response.status_code == 200


async def namespace_keys(redis):
    return {key async for key in redis.scan_iter(match="mvt_v8:*")}


@pytest.mark.integration
@pytest.mark.asyncio
async def test_live_widths(http, live_redis):
    await fill_cache(http)
    await live_redis.set("unrelated", b"1")
    before = await namespace_keys(live_redis)
    plots_xyz = {k for k in before if k.startswith(b"mvt_v8:plots:")}
    assert len(plots_xyz) == 2 and {b"mvt_v8:centroid:plots"} < before
    assert any(k.startswith(b"mvt_v8:bbox:plots:") for k in before)
    limits = set(await live_redis.keys("rate_limit:gis:*"))
    assert limits

    response = await http.post("/gis/cache/invalidate/plots")
    assert response.json()["data"] == {"layer": "plots", "deleted_count": 2}
    assert await namespace_keys(live_redis) == before - plots_xyz

    response = await http.post("/gis/cache/invalidate/all")
    assert response.json()["data"] == {"deleted_count": len(before) - 2}
    assert await namespace_keys(live_redis) == set()
    assert set(await live_redis.keys("rate_limit:gis:*")) == limits and await live_redis.get("unrelated") == b"1"


@pytest.mark.integration
@pytest.mark.asyncio
async def test_live_background_invalidation_inside_a_request(tessera, app, http, live_redis, records):
    await fill_cache(http)
    before = await namespace_keys(live_redis)
    returned = []

    @app.post("/test/schedule")
    async def schedule():
        returned.append(tessera.invalidate_cache_by_pattern("plots:14:*"))
        return {}

    assert (await http.post("/test/schedule")).status_code == 200 and returned == [None]
    finished = ("INFO", "Background task: Invalidated 1 cache entries matching pattern 'plots:14:*'")
    await settle(lambda: finished in records())
    assert finished in records()
    assert await namespace_keys(live_redis) == {k for k in before if not k.startswith(b"mvt_v8:plots:14:")}


@pytest.mark.integration
@pytest.mark.asyncio
async def test_live_outage_and_recovery(http, redis_server, records):
    redis_server.stop()
    try:
        started = time.monotonic()
        health = (await http.get("/gis/health/")).json()
        assert time.monotonic() - started < 2.5
        assert (health["status"], health["cache_status"]) == ("healthy", "unhealthy")
        response = await http.post("/gis/cache/invalidate/all")
        assert response.status_code == 503
        assert response.json() == {"detail": "Cache unavailable: nothing was invalidated"}
        errors = [message for level, message in records() if level == "ERROR"]
        assert len(errors) == 1 and errors[0].startswith("Background task failed to invalidate all cache: ")
    finally:
        redis_server.start()
    assert (await http.get("/gis/health/")).json()["cache_status"] == "healthy"
    response = await http.post("/gis/cache/invalidate/lgas")
    assert response.json()["message"] == "Cache for layer 'lgas' invalidated successfully. 0 keys deleted."
