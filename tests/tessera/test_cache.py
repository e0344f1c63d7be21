"""The binary tile cache and its failure-proof accessors."""
from __future__ import annotations

import asyncio
import inspect
from typing import Optional

import pytest
import redis.asyncio as aioredis
from redis.backoff import NoBackoff
from redis.asyncio.retry import Retry

from tests.fakes import FakeRedis
from tests.support.services import temporary_redis

BINARY = bytes([0x1A, 0x8F]) + bytes(range(0x80, 0x100)) + b"\x00tail"


def test_class_shape(tessera):
    cls = tessera.BinaryRedisCache
    assert cls.__bases__ == (object,)
    assert cls.__doc__ == "Simple Redis cache for binary MVT tiles without UTF-8 decoding."
    assert [getattr(cls, m).__doc__ for m in ("_make_key", "get", "set", "delete")] == [
        "Create namespaced key.", "Get binary data from cache.", "Set binary data in cache with TTL.",
        "Delete key from cache."]
    assert str(inspect.signature(cls.set)) == "(self, key: str, value: bytes, ttl: int = 3600)"
    assert inspect.signature(cls.get).return_annotation == Optional[bytes]
    assert asyncio.iscoroutinefunction(cls.get) and not asyncio.iscoroutinefunction(cls._make_key)
    cache = cls("client")
    assert vars(cache) == {"redis": "client", "namespace": "mvt"}
    assert cache._make_key("centroid:roads") == "mvt:centroid:roads"
    assert tessera.cache._make_key("bbox:plots:836748:711894:837859:713005:5000:True") == (
        "mvt_v8:bbox:plots:836748:711894:837859:713005:5000:True")


async def test_methods_go_through_the_client_and_attribute_lookup(tessera):
    redis = FakeRedis()
    cache = tessera.BinaryRedisCache(redis, namespace="ns")
    await cache.set("k", BINARY, ttl=60)
    await cache.set("d", b"x")
    assert redis.commands("set") == [("set", "ns:k", BINARY, 60), ("set", "ns:d", b"x", 3600)]
    assert await cache.get("k") == BINARY and await cache.get("missing") is None
    assert await cache.delete("missing") is None
    cache._make_key = lambda key: "patched:" + key  # instance attribute wins, as for a Python class
    await cache.get("k")
    assert redis.calls[-1] == ("get", "patched:k")


async def test_safe_get_contains_failures(tessera, fake_redis, records):
    fake_redis.store["mvt_v8:t"] = BINARY
    assert await tessera.safe_cache_get("t") == BINARY
    assert await tessera.safe_cache_get("absent") is None and records() == []
    fake_redis.fail = ConnectionError("Connection refused")
    assert await tessera.safe_cache_get("t") is None
    assert records() == [("WARNING", "Cache get failed for t: Connection refused")]


async def test_safe_get_gives_up_after_its_timeout(tessera, fake_redis, records):
    fake_redis.delay = 5
    loop = asyncio.get_running_loop()
    started = loop.time()
    assert await tessera.safe_cache_get("slow", timeout=0.2) is None
    assert 0.15 < loop.time() - started < 1.0
    assert records() == [("WARNING", "Cache get failed for slow: ")]
    assert inspect.signature(tessera.safe_cache_get).parameters["timeout"].default == 1.0


async def test_safe_get_lets_cancellation_through(tessera, fake_redis):
    fake_redis.fail = asyncio.CancelledError()
    with pytest.raises(asyncio.CancelledError):
        await tessera.safe_cache_get("t")


async def test_safe_set_contains_failures(tessera, fake_redis, records):
    assert await tessera.safe_cache_set("t", BINARY, 30) is None
    assert fake_redis.store["mvt_v8:t"] == BINARY and fake_redis.ttls["mvt_v8:t"] == 30
    fake_redis.fail = OSError("down")
    assert await tessera.safe_cache_set("t", BINARY, 30) is None
    assert records() == [("WARNING", "Cache set failed for t: down")]
    with pytest.raises(TypeError, match="takes 3 positional arguments but 4 were given"):
        await tessera.safe_cache_set("t", BINARY, 30, 1)


@pytest.mark.integration
async def test_real_redis_round_trip_and_outage(tessera, monkeypatch, records):
    with temporary_redis() as server:
        client = aioredis.Redis(host="127.0.0.1", port=server.port, decode_responses=False,
                                socket_connect_timeout=5, socket_timeout=5, retry=Retry(NoBackoff(), 0))
        monkeypatch.setattr(tessera, "cache", tessera.BinaryRedisCache(client, namespace="mvt_v8"))
        await tessera.cache.set("plots:14:1:2", BINARY, ttl=100)
        assert await tessera.cache.get("plots:14:1:2") == BINARY
        assert 0 < await client.ttl("mvt_v8:plots:14:1:2") <= 100
        await tessera.cache.set("plain", b"x")
        assert 3500 < await client.ttl("mvt_v8:plain") <= 3600
        server.stop()
        assert await tessera.safe_cache_get("plots:14:1:2") is None
        warnings = [r for r in records() if r[0] == "WARNING"]
        assert len(warnings) == 1 and warnings[0][1].startswith("Cache get failed for plots:14:1:2: ")
        await client.aclose()
