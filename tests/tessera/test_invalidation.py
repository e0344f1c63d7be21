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

from tests.fakes import FakeRedis

# Each test gets a live client and its own Redis contents; see live.py.
from tests.tessera.live import app, http, live_redis, redis_server  # noqa: F401

SAMPLE_KEYS = [
    b"mvt_v8:plots:14:9000:8000",
    b"mvt_v8:plots:18:1:2",
    b"mvt_v8:roads:14:9000:8000",
    b"mvt_v8:bbox:plots:836748:711894:837859:713005:5000:True",
    b"mvt_v8:centroid:plots",
    b"rate_limit:gis:10.1.2.3",
]


@pytest.fixture
def seeded(fake_redis):
    for key in SAMPLE_KEYS:
        fake_redis.store[key] = b"\x1a\x8f"
    return fake_redis


def remaining(redis):
    return sorted(redis.store)


def body(response):
    return json.loads(response.body)


async def settle(tasks_done=lambda: True, seconds=2.0):
    deadline = time.monotonic() + seconds
    while not tasks_done() and time.monotonic() < deadline:
        await asyncio.sleep(0.01)


class TestWorkers:
    @pytest.mark.asyncio
    @pytest.mark.parametrize("worker, args, pattern, gone, message", [
        ("_invalidate_layer_cache_task", ("plots",), "mvt_v8:plots:*",
         {b"mvt_v8:plots:14:9000:8000", b"mvt_v8:plots:18:1:2"},
         "Background task: Invalidated 2 cache entries for layer 'plots'"),
        ("_invalidate_all_cache_task", (), "mvt_v8:*", set(SAMPLE_KEYS[:5]),
         "Background task: Invalidated ALL cache entries: 5 keys deleted"),
        ("_invalidate_cache_by_pattern_task", ("plots:18:*",), "mvt_v8:plots:18:*", {b"mvt_v8:plots:18:1:2"},
         "Background task: Invalidated 1 cache entries matching pattern 'plots:18:*'"),
    ], ids=["layer", "all", "pattern"])
    async def test_scan_delete_count_and_log(self, tessera, seeded, records, worker, args, pattern, gone, message):
        count = await getattr(tessera, worker)(*args)
        assert count == len(gone)
        assert seeded.commands("scan_iter") == [("scan_iter", pattern, 100)]
        assert sorted(seeded.commands("delete")) == sorted(("delete", key) for key in gone)
        assert remaining(seeded) == sorted(set(SAMPLE_KEYS) - gone)
        assert records() == [("INFO", message)]

    @pytest.mark.asyncio
    async def test_namespace_is_read_at_call_time(self, tessera, seeded):
        tessera.cache.namespace = "other"
        assert await tessera._invalidate_layer_cache_task("plots") == 0
        assert seeded.commands("scan_iter") == [("scan_iter", "other:plots:*", 100)]

    @pytest.mark.asyncio
    async def test_every_key_the_scan_returns_is_counted(self, tessera, fake_redis, monkeypatch):
        class RepeatingScan(FakeRedis):
            async def scan_iter(self, match=None, count=None):
                for key in (b"mvt_v8:a", b"mvt_v8:a", b"mvt_v8:b"):
                    yield key

        redis = RepeatingScan()
        monkeypatch.setattr(tessera, "redis_client", redis)
        assert await tessera._invalidate_all_cache_task() == 3
        assert redis.commands("delete") == [("delete", b"mvt_v8:a"), ("delete", b"mvt_v8:a"), ("delete", b"mvt_v8:b")]

    @pytest.mark.asyncio
    @pytest.mark.parametrize("worker, args, message", [
        ("_invalidate_layer_cache_task", ("roads",),
         "Background task failed to invalidate cache for layer 'roads': connection lost"),
        ("_invalidate_all_cache_task", (), "Background task failed to invalidate all cache: connection lost"),
        ("_invalidate_cache_by_pattern_task", ("roads:*",),
         "Background task failed to invalidate cache by pattern 'roads:*': connection lost"),
    ], ids=["layer", "all", "pattern"])
    async def test_failure_is_logged_and_counts_zero(self, tessera, fake_redis, records, worker, args, message):
        fake_redis.fail = ConnectionError("connection lost")
        assert await getattr(tessera, worker)(*args) == 0
        assert records() == [("ERROR", message)]

    @pytest.mark.asyncio
    async def test_keys_deleted_before_a_failure_stay_deleted(self, tessera, seeded, records, monkeypatch):
        real_delete = seeded.delete
        deletes = []

        async def second_delete_fails(*keys):
            deletes.append(keys)
            if len(deletes) == 2:
                raise TimeoutError("Timeout reading from socket")
            return await real_delete(*keys)

        monkeypatch.setattr(seeded, "delete", second_delete_fails)
        assert await tessera._invalidate_all_cache_task() == 0
        assert len(deletes) == 2 and deletes[0][0] not in seeded.store and deletes[1][0] in seeded.store
        assert records() == [("ERROR", "Background task failed to invalidate all cache: Timeout reading from socket")]

    @pytest.mark.asyncio
    async def test_cancellation_is_not_contained(self, tessera, fake_redis, records):
        fake_redis.fail_on["scan_iter"] = asyncio.CancelledError()
        with pytest.raises(asyncio.CancelledError):
            await tessera._invalidate_layer_cache_task("plots")
        assert records() == []


SCHEDULERS = [
    ("invalidate_layer_cache", ("plots",), "Scheduled background cache invalidation for layer 'plots'",
     "Background task: Invalidated 2 cache entries for layer 'plots'", 2),
    ("invalidate_all_cache", (), "Scheduled background cache invalidation for ALL layers",
     "Background task: Invalidated ALL cache entries: 5 keys deleted", 5),
    ("invalidate_cache_by_pattern", ("plots:18:*",), "Scheduled background cache invalidation for pattern 'plots:18:*'",
     "Background task: Invalidated 1 cache entries matching pattern 'plots:18:*'", 1),
]


class TestScheduling:
    @pytest.mark.asyncio
    @pytest.mark.parametrize("function, args, scheduled, finished, count", SCHEDULERS,
                             ids=["layer", "all", "pattern"])
    async def test_returns_at_once_and_cleans_up_later(self, tessera, seeded, records, function, args, scheduled,
                                                      finished, count):
        before = asyncio.all_tasks()
        assert getattr(tessera, function)(*args) is None
        assert seeded.calls == []  # nothing ran yet: the caller was not delayed
        assert records() == [("DEBUG", scheduled)]
        (task,) = asyncio.all_tasks() - before
        assert await task == count
        assert records() == [("DEBUG", scheduled), ("INFO", finished)]

    @pytest.mark.asyncio
    async def test_the_worker_is_looked_up_as_a_module_global(self, tessera, fake_redis, monkeypatch):
        ran = []

        async def stand_in(layer_name):
            ran.append(layer_name)
            return 0

        monkeypatch.setattr(tessera, "_invalidate_layer_cache_task", stand_in)
        tessera.invalidate_layer_cache("roads")
        await settle(lambda: ran)
        assert ran == ["roads"] and fake_redis.calls == []

    @pytest.mark.asyncio
    async def test_an_unreferenced_task_survives_garbage_collection(self, tessera, fake_redis, records, monkeypatch):
        # The worker waits on a future that only the task's own chain of awaits
        # keeps alive; without a strong reference to the task, gc would reclaim it.
        loop = asyncio.get_running_loop()
        gate = {}

        class GatedRedis(FakeRedis):
            async def scan_iter(self, match=None, count=None):
                future = loop.create_future()
                gate["future"] = weakref.ref(future)
                yield await future

        monkeypatch.setattr(tessera, "redis_client", GatedRedis())
        tessera.invalidate_cache_by_pattern("x:*")
        await settle(lambda: "future" in gate)
        for _ in range(3):
            gc.collect()
            await asyncio.sleep(0)
        future = gate["future"]()
        assert future is not None, "the pending invalidation was garbage-collected"
        future.set_result(b"mvt_v8:x:1")
        del future
        await settle(lambda: len(records()) == 2)
        assert records()[-1] == ("INFO", "Background task: Invalidated 1 cache entries matching pattern 'x:*'")

    @pytest.mark.parametrize("function, args", [(f, a) for f, a, *_ in SCHEDULERS], ids=["layer", "all", "pattern"])
    def test_without_a_running_loop_nothing_is_scheduled(self, tessera, fake_redis, records, function, args):
        with pytest.warns(RuntimeWarning, match="never awaited"):
            with pytest.raises(RuntimeError, match="no running event loop"):
                getattr(tessera, function)(*args)
        assert records() == [] and fake_redis.calls == []


class TestEndpoint:
    @pytest.mark.asyncio
    async def test_all(self, tessera, seeded):
        response = await tessera.invalidate_cache_endpoint("all")
        document = body(response)
        assert response.status_code == 200
        assert document["data"] == {"deleted_count": 5}
        assert document["message"] == "All cache invalidated successfully. 5 keys deleted."
        assert remaining(seeded) == [b"rate_limit:gis:10.1.2.3"]
        assert seeded.commands("ping") == []

    @pytest.mark.asyncio
    async def test_one_layer(self, tessera, seeded):
        document = body(await tessera.invalidate_cache_endpoint("roads"))
        assert list(document["data"]) == ["layer", "deleted_count"]
        assert document["data"] == {"layer": "roads", "deleted_count": 1}
        assert document["message"] == "Cache for layer 'roads' invalidated successfully. 1 keys deleted."
        assert remaining(seeded) == sorted(set(SAMPLE_KEYS) - {b"mvt_v8:roads:14:9000:8000"})

    @pytest.mark.asyncio
    async def test_helpers_receive_data_and_message_only(self, tessera, seeded, monkeypatch):
        built = []
        monkeypatch.setattr(tessera, "api_response", lambda **kw: built.append(kw) or "document")
        monkeypatch.setattr(tessera, "api_router_response", lambda doc: ("answer", doc))
        assert await tessera.invalidate_cache_endpoint("plots") == ("answer", "document")
        assert built == [{"data": {"layer": "plots", "deleted_count": 2},
                          "message": "Cache for layer 'plots' invalidated successfully. 2 keys deleted."}]

    @pytest.mark.asyncio
    async def test_unknown_layer_lists_the_catalogue(self, tessera, seeded, monkeypatch):
        with pytest.raises(HTTPException) as refused:
            await tessera.invalidate_cache_endpoint("parcels")
        assert refused.value.status_code == 404
        assert refused.value.detail == (
            "Layer 'parcels' not found. Valid layers: ['plots', 'beacons', 'cadzones', 'districts', 'lgas', 'roads']")
        assert seeded.calls == []
        monkeypatch.setitem(tessera.LAYER_CONFIG, "parcels", {})
        assert body(await tessera.invalidate_cache_endpoint("parcels"))["data"]["deleted_count"] == 0

    @pytest.mark.asyncio
    @pytest.mark.parametrize("layer_name", ["all", "lgas"])
    async def test_nothing_cached_is_a_real_zero(self, tessera, fake_redis, records, layer_name):
        document = body(await tessera.invalidate_cache_endpoint(layer_name))
        assert document["data"]["deleted_count"] == 0
        assert document["message"].endswith("invalidated successfully. 0 keys deleted.")
        assert fake_redis.commands("ping") == [("ping",)]
        assert [level for level, _ in records()] == ["INFO"]

    @pytest.mark.asyncio
    @pytest.mark.parametrize("layer_name, logged", [
        ("all", "Background task failed to invalidate all cache: Connection refused"),
        ("plots", "Background task failed to invalidate cache for layer 'plots': Connection refused"),
    ])
    async def test_unreachable_cache_is_not_reported_as_success(self, tessera, fake_redis, records, layer_name,
                                                                logged):
        fake_redis.fail = ConnectionError("Connection refused")
        with pytest.raises(HTTPException) as refused:
            await tessera.invalidate_cache_endpoint(layer_name)
        assert (refused.value.status_code, refused.value.detail) == (503, "Cache unavailable: nothing was invalidated")
        assert records() == [("ERROR", logged)]
        assert fake_redis.commands("ping") == [("ping",)]

    @pytest.mark.asyncio
    async def test_the_worker_is_awaited_through_the_module(self, tessera, fake_redis, monkeypatch):
        async def stand_in():
            return 7

        monkeypatch.setattr(tessera, "_invalidate_all_cache_task", stand_in)
        document = body(await tessera.invalidate_cache_endpoint("all"))
        assert document["message"] == "All cache invalidated successfully. 7 keys deleted."
        assert fake_redis.calls == []


def test_interfaces(tessera):
    for name, params, returns in [("_invalidate_layer_cache_task", "(layer_name: str)", " -> int"),
                                  ("_invalidate_all_cache_task", "()", " -> int"),
                                  ("_invalidate_cache_by_pattern_task", "(pattern: str)", " -> int"),
                                  ("invalidate_layer_cache", "(layer_name: str)", ""),
                                  ("invalidate_all_cache", "()", ""),
                                  ("invalidate_cache_by_pattern", "(pattern: str)", "")]:
        function = getattr(tessera, name)
        assert str(inspect.signature(function)) == params + returns
        assert asyncio.iscoroutinefunction(function) == name.startswith("_")
    assert tessera._invalidate_cache_by_pattern_task.__doc__ == "Internal task for pattern-based cache invalidation."
    doc = tessera.invalidate_cache_by_pattern.__doc__
    assert doc.startswith("\n    Invalidate cache entries matching") and doc.endswith("response.\n    ")
    assert all(line.startswith("    ") for line in doc.split("\n")[1:])
    assert inspect.cleandoc(tessera.invalidate_all_cache.__doc__) == (
        "Invalidate ALL cached tiles across all layers (runs as background task).\n"
        "Use with caution - only when you need to clear everything.\n\n"
        "This runs asynchronously without blocking the response.")


# --- against a real Redis server, with tiles produced by the real endpoints

async def namespace_keys(redis):
    return sorted([key async for key in redis.scan_iter(match="mvt_v8:*")])


async def fill_cache(http, tessera):
    """Caches XYZ tiles of two layers, a bbox tile and a centroid entry through the endpoints."""
    from helpers.utils import latlon_to_xyz

    plots = (await http.get("/gis/plots/")).json()["data"]
    lat, lon = plots["centroid_wgs84"]["latitude"], plots["centroid_wgs84"]["longitude"]
    for layer, zoom in [("plots", 12), ("plots", 14), ("roads", 12)]:
        tile = latlon_to_xyz(lat, lon, zoom)
        response = await http.get(f"/gis/{layer}/{zoom}/{tile['x']}/{tile['y']}.pbf")
        assert response.status_code == 200, (layer, zoom)
    extent = plots["extent_web_mercator"]
    response = await http.get("/gis/plots/bbox/", params={**extent, "srid": 3857})
    assert response.status_code == 200


@pytest.mark.integration
class TestLive:
    @pytest.mark.asyncio
    async def test_layer_width_removes_only_that_layers_xyz_tiles(self, tessera, http, live_redis):
        await fill_cache(http, tessera)
        before = await namespace_keys(live_redis)
        xyz = [k for k in before if k.startswith(b"mvt_v8:plots:")]
        assert len(xyz) == 2 and any(k.startswith(b"mvt_v8:bbox:plots:") for k in before)
        limits = sorted(await live_redis.keys("rate_limit:gis:*"))
        assert limits

        response = await http.post("/gis/cache/invalidate/plots")
        assert response.status_code == 200
        assert response.json()["data"] == {"layer": "plots", "deleted_count": 2}
        assert await namespace_keys(live_redis) == sorted(set(before) - set(xyz))
        assert b"mvt_v8:centroid:plots" in before and await live_redis.exists("mvt_v8:centroid:plots")
        assert sorted(await live_redis.keys("rate_limit:gis:*")) == limits

    @pytest.mark.asyncio
    async def test_all_width_empties_the_namespace_only(self, tessera, http, live_redis):
        await fill_cache(http, tessera)
        await live_redis.set("unrelated", b"1")
        before = await namespace_keys(live_redis)
        limits = sorted(await live_redis.keys("rate_limit:gis:*"))

        response = await http.post("/gis/cache/invalidate/all")
        assert response.json()["message"] == f"All cache invalidated successfully. {len(before)} keys deleted."
        assert await namespace_keys(live_redis) == []
        assert sorted(await live_redis.keys("rate_limit:gis:*")) == limits
        assert await live_redis.get("unrelated") == b"1"

    @pytest.mark.asyncio
    async def test_background_pattern_invalidation_inside_a_request(self, tessera, app, http, live_redis, records):
        await fill_cache(http, tessera)
        before = await namespace_keys(live_redis)
        returned = []

        @app.post("/test/schedule")
        async def schedule():
            returned.append(tessera.invalidate_cache_by_pattern("plots:14:*"))
            return {}

        assert (await http.post("/test/schedule")).status_code == 200
        assert returned == [None]
        finished = "Background task: Invalidated 1 cache entries matching pattern 'plots:14:*'"
        await settle(lambda: ("INFO", finished) in records(), seconds=5)
        assert ("DEBUG", "Scheduled background cache invalidation for pattern 'plots:14:*'") in records()
        assert ("INFO", finished) in records()
        assert await namespace_keys(live_redis) == [k for k in before if not k.startswith(b"mvt_v8:plots:14:")]

    @pytest.mark.asyncio
    async def test_outage_gives_503_and_recovery_a_real_zero(self, tessera, http, redis_server, records):
        redis_server.stop()
        try:
            response = await http.post("/gis/cache/invalidate/all")
            assert (response.status_code, response.json()) == (
                503, {"detail": "Cache unavailable: nothing was invalidated"})
            errors = [m for level, m in records() if level == "ERROR"]
            assert len(errors) == 1 and errors[0].startswith("Background task failed to invalidate all cache: ")
        finally:
            redis_server.start()
        response = await http.post("/gis/cache/invalidate/lgas")
        assert response.status_code == 200
        assert response.json()["message"] == "Cache for layer 'lgas' invalidated successfully. 0 keys deleted."

    @pytest.mark.asyncio
    async def test_health_follows_the_redis_server(self, http, redis_server):
        assert (await http.get("/gis/health/")).json()["cache_status"] == "healthy"
        redis_server.stop()
        try:
            started = time.monotonic()
            response = await http.get("/gis/health/")
            elapsed = time.monotonic() - started
            assert response.status_code == 200
            assert response.json()["status"] == "healthy" and response.json()["cache_status"] == "unhealthy"
            assert elapsed < 2.5
        finally:
            redis_server.start()
        assert (await http.get("/gis/health/")).json()["cache_status"] == "healthy"
