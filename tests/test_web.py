"""The host's additions around the router: compression, ETags, metrics, offline docs, CORS."""
from __future__ import annotations

import gzip
import os
import re
import subprocess
import sys
from pathlib import Path

import httpx
import pytest

from tests.fakes import FakeRedis, FakeResult, FakeSession

TILE = b"\x1a\x90\x01" + bytes(range(256)) * 12
TILE_PATH = "/gis/plots/16/34000/31600.pbf"
API_DIR = Path(__file__).resolve().parents[1] / "api"


@pytest.fixture
def host(tessera, monkeypatch):
    """The host app with a fake Redis (the tile cached) and a database that builds the same tile."""
    from service import app as main

    redis = FakeRedis()
    redis.store["mvt_v8:plots:16:34000:31600"] = TILE
    monkeypatch.setattr(tessera, "redis_client", redis)
    monkeypatch.setattr(tessera, "cache", tessera.BinaryRedisCache(redis, namespace="mvt_v8"))

    async def database():
        yield FakeSession(FakeResult(value=TILE))

    main.app.dependency_overrides[tessera.get_db] = database
    transport = httpx.ASGITransport(app=main.app, client=("10.9.8.5", 1))
    yield httpx.AsyncClient(transport=transport, base_url="http://t"), redis
    main.app.dependency_overrides.clear()


async def raw_get(client, path, **headers):
    """The answer as sent, body undecoded."""
    async with client.stream("GET", path, headers=headers) as answer:
        return answer, b"".join([chunk async for chunk in answer.aiter_raw()])


async def test_compressed_tile_decodes_to_the_plain_tile_and_each_has_its_own_etag(host):
    client, _ = host
    packed, packed_body = await raw_get(client, TILE_PATH, **{"Accept-Encoding": "gzip"})
    plain, plain_body = await raw_get(client, TILE_PATH, **{"Accept-Encoding": "identity"})
    assert packed.headers["content-encoding"] == "gzip" and "content-encoding" not in plain.headers
    assert gzip.decompress(packed_body) == plain_body == TILE
    assert packed.headers["vary"] == plain.headers["vary"] == "Accept-Encoding"
    assert re.fullmatch(r'"[0-9a-f]{32}"', packed.headers["etag"])
    assert packed.headers["etag"] != plain.headers["etag"]
    again, _ = await raw_get(client, TILE_PATH, **{"Accept-Encoding": "gzip"})
    assert again.headers["etag"] == packed.headers["etag"]  # no time stamp in the gzip header


@pytest.mark.parametrize("encoding", ["gzip", "identity"])
async def test_matching_if_none_match_gets_304_without_body(host, encoding):
    client, _ = host
    first, _ = await raw_get(client, TILE_PATH, **{"Accept-Encoding": encoding})
    etag = first.headers["etag"]
    for tags in (etag, f'"other", W/{etag}', "*"):
        answer, body = await raw_get(client, TILE_PATH, **{"Accept-Encoding": encoding, "If-None-Match": tags})
        assert (answer.status_code, body) == (304, b"")
        assert answer.headers["etag"] == etag and "content-length" not in answer.headers
    stale, body = await raw_get(client, TILE_PATH, **{"Accept-Encoding": encoding, "If-None-Match": '"other"'})
    assert stale.status_code == 200 and len(body) == int(stale.headers["content-length"])


async def test_json_is_compressed_and_small_answers_are_not(host):
    client, _ = host
    layers, body = await raw_get(client, "/openapi.json", **{"Accept-Encoding": "gzip"})
    assert layers.headers["content-encoding"] == "gzip" and gzip.decompress(body).startswith(b"{")
    small, body = await raw_get(client, "/api", **{"Accept-Encoding": "gzip"})
    assert "content-encoding" not in small.headers and small.headers["vary"] == "Accept-Encoding"
    assert "etag" not in small.headers  # ETags are for tiles


def sample(metrics: str, name: str, **labels) -> float:
    for line in metrics.splitlines():
        if match := re.fullmatch(re.escape(name) + r'(?:\{(.*)\})? (\S+)', line):
            if dict(re.findall(r'(\w+)="([^"]*)"', match[1] or "")) == labels:
                return float(match[2])
    return 0.0


async def test_metrics_count_cache_hits_and_misses_by_route_template(host):
    client, redis = host
    before = (await client.get("/metrics")).text
    assert (await client.get(TILE_PATH)).headers["x-cache"] == "HIT"
    del redis.store["mvt_v8:plots:16:34000:31600"]
    fresh = await client.get(TILE_PATH)
    assert fresh.status_code == 200 and "x-cache" not in fresh.headers
    assert (await client.get("/gis/plots/0/0/0.pbf")).status_code == 400
    after = (await client.get("/metrics")).text

    def delta(name, **labels):
        return sample(after, name, **labels) - sample(before, name, **labels)

    route = "/gis/{layer_name}/{z}/{x}/{y}.pbf"
    assert delta("tile_answers_total", cache="hit") == 1 and delta("tile_answers_total", cache="miss") == 1
    assert delta("http_requests_total", method="GET", route=route, status="200") == 2
    assert delta("http_requests_total", method="GET", route=route, status="400") == 1
    assert delta("http_request_duration_seconds_count", method="GET", route=route) == 3
    assert TILE_PATH not in after  # no series per raw path
    hits, misses = (sample(after, "tile_answers_total", cache=c) for c in ("hit", "miss"))
    assert sample(after, "tile_cache_hit_ratio") == pytest.approx(hits / (hits + misses))


async def test_docs_page_uses_only_local_assets_and_they_are_served(host):
    client, _ = host
    for page in ("/docs", "/redoc"):
        html = (await client.get(page)).text
        urls = re.findall(r'(?:src|href)=["\']([^"\']+)|url: ?["\']([^"\']+)', html)
        urls = [u for pair in urls for u in pair if u]
        assert urls and not any(re.match(r"(https?:)?//", u) for u in urls), urls
        for url in urls:
            assert (await client.get(url)).status_code == 200, url
    assert "fonts.googleapis" not in html


def test_cors_origins_come_from_the_environment(tmp_path):
    code = (
        "import asyncio, httpx, main\n"
        "async def go():\n"
        "    t = httpx.ASGITransport(app=main.app)\n"
        "    async with httpx.AsyncClient(transport=t, base_url='http://t') as c:\n"
        "        for origin in ('https://maps.example', 'https://evil.example'):\n"
        "            a = await c.options('/gis/layers/',\n"
        "                                headers={'Origin': origin, 'Access-Control-Request-Method': 'GET'})\n"
        "            print(a.status_code, a.headers.get('access-control-allow-origin'))\n"
        "asyncio.run(go())\n")
    env = {"CORS_ORIGINS": "https://maps.example, https://other.example", "PATH": "/usr/bin:/bin"}
    # Under the sanitizer build the preloaded runtime must reach the child too.
    env.update({k: v for k, v in os.environ.items() if k in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")})
    done = subprocess.run([sys.executable, "-c", code], cwd=API_DIR, env=env, capture_output=True, text=True,
                          timeout=120)
    assert done.stdout.splitlines()[-2:] == ["200 https://maps.example", "400 None"], done.stderr[-2000:]
