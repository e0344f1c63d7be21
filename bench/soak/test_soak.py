"""Sustained load from 50 clients, each from its own loopback address and paced below the
limits: no error answers, and the server's memory stays flat.

RAVN_LOAD_SECONDS sets the duration (60 in CI)."""
from __future__ import annotations

import asyncio
import os
import statistics
import time

import pytest
import redis

from tests.reliability.conftest import rss_kib
from tests.reliability.traffic import paced, statuses

pytestmark = [pytest.mark.integration, pytest.mark.e2e]

SECONDS = float(os.environ.get("RAVN_LOAD_SECONDS", "60"))
CLIENTS = 50
PER_SECOND = 4.0  # per client: a tenth of the tile limit, a fifth of the bbox limit


def client_paths(data_tiles, i):
    """A panning client: tiles around one spot, now and then a box, the catalogue or the probe."""
    tiles = [f"/gis/plots/{z}/{x}/{y}.pbf" for z, x, y in data_tiles]
    z, x, y = data_tiles[i % len(data_tiles)]
    deeper = [f"/gis/plots/19/{2 * x + dx}/{2 * y + dy}.pbf" for dx in (0, 1) for dy in (0, 1)]
    roads = [f"/gis/roads/{z}/{x}/{y}.pbf", f"/gis/beacons/{z}/{x}/{y}.pbf"]
    box = (f"/gis/plots/bbox/?minx={7.495 + (i % 5) * 0.001}&miny=6.405&maxx={7.497 + (i % 5) * 0.001}"
           "&maxy=6.407")
    rotated = tiles[i % len(tiles):] + tiles[:i % len(tiles)]
    return rotated[:6] + deeper + roads + [box, "/gis/layers/", "/gis/plots/", "/gis/health/", "/gis/plots/zoom-info/"]


async def test_fifty_clients_paced_below_the_limits(serve, redis_server, data_tiles, record_property):
    server = serve()
    pid = server.worker_pids()[0]
    stop, answers = asyncio.Event(), []
    clients = [asyncio.create_task(paced(server.base, f"127.0.0.{100 + i}", client_paths(data_tiles, i),
                                         PER_SECOND, stop, answers)) for i in range(CLIENTS)]
    started = time.monotonic()
    samples = []  # (seconds since start, RSS KiB)
    seen = set()  # the addresses the server counted requests for
    raw = redis.Redis(host=redis_server.host, port=redis_server.port)
    while time.monotonic() - started < SECONDS:
        samples.append((time.monotonic() - started, rss_kib(pid)))
        seen.update(raw.scan_iter(match="rate_limit:gis:127.0.0.*", count=1000))
        await asyncio.sleep(1.0)
    raw.close()
    stop.set()
    await asyncio.gather(*clients)
    samples.append((time.monotonic() - started, rss_kib(pid)))

    counts = statuses(answers)
    assert counts.keys() <= {200, 204}, counts
    assert len(seen) >= CLIENTS * 0.8, f"the server saw {len(seen)} client addresses"
    half = [rss for t, rss in samples if t >= SECONDS / 2]
    growth_kib = max(half) - half[0]
    assert growth_kib < 5 * 1024, f"RSS grew {growth_kib} KiB over the second half: {samples}"
    latencies = sorted(a.seconds for a in answers)
    for name, value in {
        "seconds": SECONDS, "requests": len(answers), "per_second": round(len(answers) / SECONDS, 1),
        "statuses": counts, "p50_ms": round(statistics.median(latencies) * 1000, 1),
        "p99_ms": round(latencies[int(len(latencies) * 0.99)] * 1000, 1),
        "rss_start_kib": samples[0][1], "rss_mid_kib": half[0], "rss_end_kib": samples[-1][1],
        "rss_growth_second_half_kib": growth_kib, "addresses_seen": len(seen),
    }.items():
        record_property(name, value)
