"""Fixtures for the tile router's behaviour tests: fakes wired into the module."""
from __future__ import annotations

import pytest

from tests.fakes import FakeRedis


@pytest.fixture
def fake_redis(tessera, monkeypatch):
    """A fake Redis behind both the raw client and the module's cache object."""
    redis = FakeRedis()
    monkeypatch.setattr(tessera, "redis_client", redis)
    monkeypatch.setattr(tessera, "cache", tessera.BinaryRedisCache(redis, namespace="mvt_v8"))
    return redis


@pytest.fixture
def records(caplog):
    """(level, message) pairs logged by the tile router."""
    caplog.set_level("DEBUG", logger="ravn.tessera")

    def read():
        return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == "ravn.tessera"]

    return read
