"""Several processes, one Redis: limits count across all of them, an invalidation through
one clears the tiles of all, and an invalidation racing tile writes leaves nothing stale."""
from __future__ import annotations

import asyncio
import time
from pathlib import Path

import httpx
import pytest
import redis

from .conftest import admin_headers
from .traffic import paced, statuses

pytestmark = [pytest.mark.integration, pytest.mark.e2e]


def clients(bases, address, fresh_connections=False):
    limits = httpx.Limits(max_keepalive_connections=0) if fresh_connections else httpx.Limits()
    return [httpx.Client(base_url=base, transport=httpx.HTTPTransport(local_address=address, limits=limits),
                         timeout=30) for base in bases]


def burst_across(bases, address, path, count=41, fresh_connections=False):
    """`count` requests from one address inside one window, spread round-robin over `bases`."""
    group = clients(bases, address, fresh_connections)
    try:
        for _ in range(5):
            time.sleep(1.1)
            started = time.monotonic()
            codes = [group[i % len(group)].get(path).status_code for i in range(count)]
            if time.monotonic() - started < 0.8:
                return codes
        pytest.skip("machine too slow to send a burst inside one second")
    finally:
        for c in group:
            c.close()


def invalidation_reaches_every_process(bases, path, fresh_connections=False):
    """A tile cached through the first base is a hit through the last; after an invalidation
    through the last, the first builds it afresh."""
    first, *_, last = clients(bases, "127.0.0.60", fresh_connections) if len(bases) > 1 else \
        clients(bases * 2, "127.0.0.60", fresh_connections)
    with first, last:
        first.get(path)
        assert last.get(path).headers.get("x-cache") == "HIT"
        answer = last.post("/gis/cache/invalidate/plots", headers=admin_headers())
        assert answer.status_code == 200 and answer.json()["data"]["deleted_count"] >= 1, answer.text
        rebuilt = first.get(path)
        assert rebuilt.status_code == 200 and "x-cache" not in rebuilt.headers


def io_chars(pid):
    fields = dict(line.split(": ") for line in Path(f"/proc/{pid}/io").read_text().splitlines())
    return int(fields["rchar"]) + int(fields["wchar"])


def test_two_servers_share_limits_and_invalidation(serve, data_tiles):
    a, b = serve(), serve()
    z, x, y = data_tiles[0]
    path = f"/gis/plots/{z}/{x}/{y}.pbf"
    codes = burst_across([a.base, b.base], "127.0.0.50", path)
    assert codes[:40] == [200] * 40 and codes[40] == 429  # 20 through each, then refused by either
    invalidation_reaches_every_process([a.base, b.base], path)


def test_one_server_with_two_workers_behaves_the_same(serve, data_tiles):
    server = serve(workers=2)
    workers = server.worker_pids()
    assert len(workers) == 2
    before = [io_chars(pid) for pid in workers]
    z, x, y = data_tiles[1]
    path = f"/gis/plots/{z}/{x}/{y}.pbf"
    codes = burst_across([server.base], "127.0.0.51", path, fresh_connections=True)
    assert codes[:40] == [200] * 40 and codes[40] == 429
    # Both workers answered part of the burst (each new connection goes to whichever accepts it).
    assert all(io_chars(pid) - start > 10_000 for pid, start in zip(workers, before, strict=False))
    invalidation_reaches_every_process([server.base], path, fresh_connections=True)


async def test_invalidation_while_tiles_are_written(serve, redis_server, data_tiles, record_property):
    server = serve()
    raw = redis.Redis(host=redis_server.host, port=redis_server.port)
    # Tiles cached before the data changed: no client asks for these again, so only the
    # invalidation can remove them.
    stale = {f"mvt_v8:plots:19:{x}:{y}": b"stale" for x in range(1000) for y in range(2)}
    kept = {f"mvt_v8:roads:19:{x}:0": b"other layer" for x in range(50)}
    kept["mvt_v8:bbox:plots:836748:711894:837859:713005:5000:True"] = b"bbox tile"
    pipe = raw.pipeline()
    for key, value in {**stale, **kept}.items():
        pipe.set(key, value, ex=3600)
    pipe.execute()

    z, x0, y0 = data_tiles[0]
    paths = [f"/gis/plots/20/{x}/{y}.pbf" for x in range(x0 * 4, x0 * 4 + 12) for y in range(y0 * 4, y0 * 4 + 12)]
    stop, answers = asyncio.Event(), []
    load = [asyncio.create_task(paced(server.base, f"127.0.0.{70 + i}", paths[i::6], 15, stop, answers))
            for i in range(6)]
    await asyncio.sleep(1.0)
    async with httpx.AsyncClient(base_url=server.base, headers=admin_headers(), timeout=60) as admin:
        started = time.monotonic()
        # Two overlapping invalidations of the same layer, while the load writes its tiles.
        first, second = await asyncio.gather(admin.post("/gis/cache/invalidate/plots"),
                                             admin.post("/gis/cache/invalidate/plots"))
        seconds = time.monotonic() - started
    await asyncio.sleep(1.0)
    stop.set()
    await asyncio.gather(*load)

    assert first.status_code == second.status_code == 200
    deleted = first.json()["data"]["deleted_count"] + second.json()["data"]["deleted_count"]
    assert deleted >= len(stale)
    assert statuses(answers).keys() <= {200, 204}, statuses(answers)
    left = [key for key in raw.scan_iter(match="mvt_v8:plots:*", count=1000) if raw.get(key) == b"stale"]
    assert left == []
    assert all(raw.get(key) == value for key, value in kept.items())
    assert [key for key in raw.scan_iter(count=1000) if raw.ttl(key) == -1] == []
    raw.close()
    record_property("stale_keys", len(stale))
    record_property("invalidation_s", round(seconds, 3))
    record_property("tile_requests_meanwhile", len(answers))
