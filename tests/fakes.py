"""Stand-ins for Redis, database sessions and requests, recording what the code asks of them."""
from __future__ import annotations

import asyncio
import fnmatch
from types import SimpleNamespace
from typing import Any


class FakeRedis:
    """An in-memory asyncio Redis client. `fail` makes every command raise it;
    `fail_on` maps command names to exceptions; `delay` stalls reads."""

    def __init__(self, fail: BaseException | None = None):
        self.store: dict[Any, bytes] = {}
        self.ttls: dict[Any, int] = {}
        self.calls: list[tuple] = []
        self.fail = fail
        self.fail_on: dict[str, BaseException] = {}
        self.delay = 0.0

    def _enter(self, name: str, *args):
        self.calls.append((name, *args))
        if name in self.fail_on:
            raise self.fail_on[name]
        if self.fail is not None:
            raise self.fail

    def commands(self, name: str) -> list[tuple]:
        return [c for c in self.calls if c[0] == name]

    async def get(self, key):
        self._enter("get", key)
        if self.delay:
            await asyncio.sleep(self.delay)
        return self.store.get(key)

    async def set(self, key, value, ex=None):
        self._enter("set", key, value, ex)
        self.store[key] = value
        if ex is not None:
            self.ttls[key] = ex
        return True

    async def delete(self, *keys):
        self._enter("delete", *keys)
        removed = 0
        for key in keys:
            # Redis keys are bytes on the wire: a key written as str and one read back by SCAN are the same.
            for form in {key, key.decode() if isinstance(key, bytes) else key.encode()}:
                removed += self.store.pop(form, None) is not None
                self.ttls.pop(form, None)
        return removed

    async def incr(self, key):
        self._enter("incr", key)
        value = int(self.store.get(key, 0)) + 1
        self.store[key] = value
        return value

    async def expire(self, key, seconds, nx=False):
        self._enter("expire", key, seconds)
        if nx and key in self.ttls:
            return False
        self.ttls[key] = seconds
        return True

    def pipeline(self, transaction=True):
        return FakePipeline(self)

    async def ttl(self, key):
        self._enter("ttl", key)
        if key not in self.store:
            return -2
        return self.ttls.get(key, -1)

    async def ping(self):
        self._enter("ping")
        return True

    async def scan_iter(self, match=None, count=None):
        self._enter("scan_iter", match, count)
        for key in list(self.store):
            text = key.decode() if isinstance(key, bytes) else str(key)
            if match is None or fnmatch.fnmatchcase(text, match):
                yield key.encode() if isinstance(key, str) else key


class FakePipeline:
    """A MULTI of FakeRedis: commands queue up and run, in order, at `execute`."""

    def __init__(self, redis: FakeRedis):
        self.redis = redis
        self.queued: list[tuple[str, tuple, dict]] = []

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc):
        self.queued.clear()

    def __getattr__(self, name):
        def queue(*args, **kwargs):
            self.queued.append((name, args, kwargs))
            return self
        return queue

    async def execute(self):
        queued, self.queued = self.queued, []
        return [await getattr(self.redis, name)(*args, **kwargs) for name, args, kwargs in queued]


class FakeResult:
    def __init__(self, value=None, row=None):
        self.value = value
        self.row = row

    def scalar_one_or_none(self):
        return self.value

    def first(self):
        return self.row


class FakeSession:
    """Records the transaction calls in `events`; `execute` answers from `results`
    (a list consumed in order: a FakeResult, an exception to raise, or a number of
    seconds to sleep before answering None)."""

    def __init__(self, *results):
        self.results = list(results)
        self.events: list[str] = []
        self.statements: list[tuple[str, Any]] = []

    async def execute(self, statement, params=None):
        self.events.append("execute")
        self.statements.append((str(statement), params))
        answer = self.results.pop(0) if self.results else FakeResult()
        if isinstance(answer, BaseException):
            raise answer
        if isinstance(answer, (int, float)):
            await asyncio.sleep(answer)
            return FakeResult()
        return answer

    async def commit(self):
        self.events.append("commit")

    async def rollback(self):
        self.events.append("rollback")

    async def close(self):
        self.events.append("close")


def fake_request(host: str | None = "10.1.2.3"):
    return SimpleNamespace(client=SimpleNamespace(host=host) if host else None)


def row(**fields):
    return SimpleNamespace(**fields)
