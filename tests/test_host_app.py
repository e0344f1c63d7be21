"""The host application as an operator deploys it: tokens, readiness, settings, sessions."""
from __future__ import annotations

import dataclasses
import logging
import os
import socket
import subprocess
import sys
import time
from pathlib import Path

import httpx
import pytest

from tests.fakes import FakeRedis

API_DIR = Path(__file__).resolve().parents[1] / "api"


@pytest.fixture
def host_log(caplog):
    """What the host logs (its logger does not propagate to the root)."""
    logger = logging.getLogger("landrecords")
    logger.addHandler(caplog.handler)
    yield caplog
    logger.removeHandler(caplog.handler)


@pytest.fixture
def host(tessera, monkeypatch):
    """The host app with a fake Redis behind the router; `configure(**settings)` changes its settings."""
    from service import app as main

    redis = FakeRedis()
    monkeypatch.setattr(tessera, "redis_client", redis)
    monkeypatch.setattr(tessera, "cache", tessera.BinaryRedisCache(redis, namespace="mvt_v8"))
    reached = []

    async def invalidate_all():
        reached.append("all")
        return 3

    monkeypatch.setattr(tessera, "_invalidate_all_cache_task", invalidate_all)

    def configure(**changes):
        monkeypatch.setattr(main, "config", dataclasses.replace(main.config, **changes))

    client = httpx.AsyncClient(transport=httpx.ASGITransport(app=main.app), base_url="http://test")
    return main, client, configure, reached


async def test_cache_invalidation_needs_the_administrator_token(host):
    main, client, configure, reached = host
    configure(admin_token="s3cret-token")
    for headers in ({}, {"Authorization": "Bearer wrong"}, {"Authorization": "Basic s3cret-token"},
                    {"Authorization": "Bearer "}):
        refused = await client.post("/gis/cache/invalidate/all", headers=headers)
        assert refused.status_code == 401 and refused.headers["www-authenticate"] == "Bearer"
        assert refused.json() == {"detail": "Cache invalidation needs a valid bearer token"}
    assert reached == []  # the module's code was never reached
    allowed = await client.post("/gis/cache/invalidate/all", headers={"Authorization": "Bearer s3cret-token"})
    assert allowed.status_code == 200 and reached == ["all"]
    # The tiles stay public.
    assert (await client.get("/gis/layers/")).status_code == 200


async def test_without_a_configured_token_invalidation_is_closed_to_everyone(host, host_log):
    main, client, configure, reached = host
    configure(admin_token="")
    refused = await client.post("/gis/cache/invalidate/all", headers={"Authorization": "Bearer "})
    assert refused.status_code == 401
    assert refused.json() == {"detail": "Cache invalidation is disabled: no ADMIN_TOKEN is configured"}
    assert reached == []
    async with main.lifespan(main.app):
        pass
    assert "ADMIN_TOKEN is not set: cache invalidation is refused to every caller" in host_log.text


@pytest.mark.integration
async def test_readiness_reports_each_service(host, services, monkeypatch, tessera):
    import redis.asyncio as aioredis

    main, client, configure, _ = host
    monkeypatch.setattr(tessera, "redis_client", aioredis.Redis(host=services["REDIS_HOST"],
                                                                port=int(services["REDIS_PORT"])))
    ready = await client.get("/ready")
    assert ready.status_code == 200 and ready.json() == {"status": "ready", "postgresql": "ok", "redis": "ok"}
    await tessera.redis_client.aclose()

    with socket.socket() as s:  # a port nobody listens on
        s.bind(("127.0.0.1", 0))
        dead = s.getsockname()[1]
    monkeypatch.setattr(tessera, "redis_client", aioredis.Redis(host="127.0.0.1", port=dead, retry=None))
    degraded = await client.get("/ready")
    assert degraded.status_code == 200 and degraded.json()["status"] == "degraded"
    assert degraded.json()["postgresql"] == "ok" and degraded.json()["redis"].startswith("unavailable: ")

    async def refused():
        raise ConnectionRefusedError(111, "Connect call failed")

    monkeypatch.setattr(main, "_database", refused)
    down = await client.get("/ready")
    assert down.status_code == 503 and down.json()["status"] == "not ready"
    assert down.json()["postgresql"] == "unavailable: ConnectionRefusedError: [Errno 111] Connect call failed"


async def test_readiness_probes_are_bounded_in_time(host, monkeypatch):
    import asyncio

    main, client, configure, _ = host
    configure(readiness_timeout=0.05)

    async def frozen():
        await asyncio.sleep(3600)

    monkeypatch.setattr(main, "_database", frozen)
    monkeypatch.setattr(main, "_cache", frozen)
    started = time.monotonic()
    answer = await client.get("/ready")
    assert time.monotonic() - started < 1
    assert answer.status_code == 503 and answer.json()["redis"] == "unavailable: no answer within 0.05 s"


def test_settings_come_from_the_environment_with_defaults(monkeypatch):
    from service import deployment

    for name in ("DB_POOL_SIZE", "DB_POOL_TIMEOUT", "PLAN_RATE_PER_MINUTE", "ADMIN_TOKEN"):
        monkeypatch.delenv(name, raising=False)
    defaults = deployment.settings()
    assert (defaults.db_pool_size, defaults.db_pool_timeout, defaults.admin_token) == (10, 3.0, "")
    monkeypatch.setenv("DB_POOL_SIZE", "4")
    monkeypatch.setenv("DB_POOL_TIMEOUT", "0.5")
    monkeypatch.setenv("ADMIN_TOKEN", "  t  ")
    changed = deployment.settings()
    assert (changed.db_pool_size, changed.db_pool_timeout, changed.admin_token) == (4, 0.5, "t")
    for bad in ("many", "-1"):
        monkeypatch.setenv("DB_POOL_SIZE", bad)
        with pytest.raises(ValueError, match="^DB_POOL_SIZE must"):
            deployment.settings()


async def test_session_on_a_dead_connection_closes_quietly(monkeypatch, host_log):
    import database

    events = []

    class DeadSession:
        def in_transaction(self):  # its connection died inside a transaction
            return True

        async def close(self):
            events.append("close")
            raise ConnectionResetError("connection reset by peer")

        async def invalidate(self):
            events.append("invalidate")

    monkeypatch.setattr(database, "get_sessionmaker", lambda: DeadSession)
    async with database.session_scope() as session:
        assert isinstance(session, DeadSession)
    assert events == ["close", "invalidate"]
    assert "Database session closed on a broken connection: connection reset by peer" in host_log.text


@pytest.mark.integration
@pytest.mark.e2e
def test_forwarded_addresses_are_not_trusted_by_default(services, database_url, tmp_path):
    """Served as scripts/serve.sh serves it: a client cannot pick its rate-limit address."""
    import redis as sync_redis

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    env = dict(os.environ, DATABASE_URL=database_url)
    command = [sys.executable, "-m", "uvicorn", "main:app", "--host", "127.0.0.1", "--port", str(port),
               "--forwarded-allow-ips", "", "--log-level", "warning"]
    log = open(tmp_path / "server.log", "w+b")
    server = subprocess.Popen(command, cwd=API_DIR, env=env, stdout=log, stderr=subprocess.STDOUT)
    try:
        base = f"http://127.0.0.1:{port}"
        for _ in range(150):
            try:
                httpx.get(base + "/", timeout=1)
                break
            except httpx.HTTPError:
                time.sleep(0.2)
        sync_redis.Redis(host=services["REDIS_HOST"], port=int(services["REDIS_PORT"])).delete(
            "rate_limit:gis:127.0.0.1", *[f"rate_limit:gis:10.0.0.{i}" for i in range(41)])
        with httpx.Client(base_url=base, timeout=10) as client:
            statuses = [client.get("/gis/lgas/30/0/0.pbf", headers={"X-Forwarded-For": f"10.0.0.{i}"}).status_code
                        for i in range(41)]
    finally:
        server.terminate()
        server.wait(timeout=10)
        log.seek(0)
        output = log.read().decode(errors="replace")
        log.close()
    assert statuses, output
    # One window for the real address, whatever the header claimed: the 41st is refused.
    assert statuses[:40] == [400] * 40 and statuses[40] == 429


def test_only_cache_invalidation_carries_the_guard_and_the_route_order_is_kept():
    from service import app as main
    from ravn import tessera

    included = [r for r in main.app.routes if getattr(r, "original_router", None) is not None
                and any(route in tessera.tesseraApi.routes for route in r.original_router.routes)]
    assert [route for r in included for route in r.original_router.routes] == list(tessera.tesseraApi.routes)
    guarded = {route.name for r in included for route in r.original_router.routes
               if any(d.dependency is main.guard_cache_invalidation for d in r.include_context.dependencies)}
    assert guarded == {"invalidate_cache_endpoint"}
