"""The tile router's Redis pool: when every connection is in use, a command waits for one to
come back (within the pool's time limit) instead of failing, against a real redis-server."""
from __future__ import annotations

import asyncio
import collections

import pytest
import redis.asyncio as aioredis

from tests.support.services import temporary_redis

pytestmark = pytest.mark.integration


@pytest.fixture(scope="module")
def server():
    with temporary_redis() as running:
        yield running


def client(tessera, server, max_connections, timeout):
    """A client on the module's pool class, set up as the module sets up its own."""
    pool = type(tessera.redis_client.connection_pool)(host=server.host, port=server.port,
                                                       max_connections=max_connections)
    pool.timeout = timeout
    pool._slot_waiters = collections.deque()
    return aioredis.Redis.from_pool(pool)  # closes the pool with the client


async def test_commands_beyond_the_ceiling_wait_for_a_connection(tessera, server):
    redis = client(tessera, server, max_connections=2, timeout=5)
    await redis.flushdb()
    # Five commands that each hold a connection for 0.2 s, and reads queued behind them.
    held = [redis.blpop([f"empty-{i}"], timeout=0.2) for i in range(5)]
    reads = [redis.incr("reads") for _ in range(3)]
    results = await asyncio.gather(*held, *reads)
    assert results[:5] == [None] * 5 and sorted(results[5:]) == [1, 2, 3]
    assert len(redis.connection_pool._in_use_connections) == 0
    await redis.aclose()


async def test_a_wait_gives_up_at_the_time_limit_and_a_cancelled_wait_passes_its_turn_on(tessera, server):
    redis = client(tessera, server, max_connections=1, timeout=0.3)
    await redis.flushdb()
    hold = asyncio.ensure_future(redis.blpop(["empty"], timeout=1))
    await asyncio.sleep(0.05)
    with pytest.raises(aioredis.ConnectionError, match="^No connection available.$") as caught:
        await redis.get("k")
    assert isinstance(caught.value.__cause__, TimeoutError)
    assert await hold is None

    hold = asyncio.ensure_future(redis.blpop(["empty"], timeout=0.2))
    await asyncio.sleep(0.05)
    first, second = asyncio.ensure_future(redis.get("k")), asyncio.ensure_future(redis.incr("k2"))
    await asyncio.sleep(0.05)
    first.cancel()
    assert await second == 1  # served when the hold ended, not left to time out
    assert await hold is None and first.cancelled()
    assert not redis.connection_pool._slot_waiters
    await redis.aclose()
