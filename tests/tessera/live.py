"""Fixtures for integration tests: the router in a FastAPI app over the real test
database, with the module's Redis client pointed at a private redis-server."""
from __future__ import annotations

import httpx
import pytest
import pytest_asyncio
import redis.asyncio as aioredis
from fastapi import FastAPI

from tests.support import temporary_redis


@pytest.fixture(scope="module")
def redis_server(services):
    """A redis-server of the test module's own, so that flushing it touches nobody else."""
    with temporary_redis() as server:
        yield server


@pytest_asyncio.fixture
async def live_redis(tessera, redis_server, monkeypatch):
    """An empty Redis behind `redis_client` and `cache`, configured as the module configures its own."""
    if not redis_server.running:
        redis_server.start()
    client = aioredis.Redis(host=redis_server.host, port=redis_server.port, db=0, decode_responses=False,
                            socket_connect_timeout=5, socket_timeout=5)
    await client.flushdb()
    monkeypatch.setattr(tessera, "redis_client", client)
    monkeypatch.setattr(tessera, "cache", tessera.BinaryRedisCache(client, namespace="mvt_v8"))
    yield client
    await client.aclose()


@pytest.fixture
def app(tessera):
    application = FastAPI()
    application.include_router(tessera.tesseraApi)
    return application


@pytest_asyncio.fixture
async def http(app, live_redis, database_url):
    """A client of `app`; sessions come from the host's get_db (DATABASE_URL is the test database)."""
    import database

    try:
        async with httpx.AsyncClient(transport=httpx.ASGITransport(app=app), base_url="http://test") as client:
            yield client
    finally:
        await database.dispose_engine()
