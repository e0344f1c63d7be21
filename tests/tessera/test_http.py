"""End to end over HTTP through a real uvicorn server running the host application."""
from __future__ import annotations

import random
import time

import httpx
import pytest
import redis

from tests.support.host_server import host_server

pytestmark = [pytest.mark.e2e, pytest.mark.integration]


@pytest.fixture(scope="module")
def server(services, database_url):
    with host_server("e2e", DATABASE_URL=database_url) as base:
        yield base


@pytest.fixture
def counters(services):
    client = redis.Redis(host=services["REDIS_HOST"], port=int(services["REDIS_PORT"]))
    for key in client.scan_iter(match="rate_limit:gis:*"):
        client.delete(key)
    yield client
    client.close()


def client_for(server):
    """A client with a loopback address of its own, so no other test shares its rate-limit window."""
    address = f"127.0.{random.randint(1, 250)}.{random.randint(2, 250)}"
    return httpx.Client(base_url=server, transport=httpx.HTTPTransport(local_address=address))


def burst(client, url, count):
    """`count` requests as fast as possible, inside one window (retries a burst that straddled two)."""
    for _ in range(5):
        started = time.monotonic()
        codes = [client.get(url).status_code for _ in range(count)]
        if time.monotonic() - started < 0.8:
            return codes
        time.sleep(1.1)
    pytest.skip("machine too slow to send a burst inside one second")


def test_openapi_and_a_tile(server, counters):
    spec = httpx.get(server + "/openapi.json").json()
    assert "/gis/{layer_name}/{z}/{x}/{y}.pbf" in spec["paths"] and "/gis/health/" in spec["paths"]
    response = httpx.get(server + "/gis/plots/5/10/15.pbf")
    assert response.status_code == 204 and response.content == b""


def test_xyz_rate_limit_window(server, counters):
    with client_for(server) as client:
        time.sleep(1.1)
        codes = burst(client, "/gis/plots/5/10/15.pbf", 41)
        assert codes[:40] == [204] * 40 and codes[40] == 429
        refused = client.get("/gis/plots/5/10/15.pbf")
        assert refused.json() == {"detail": "Too many map requests. Please slow down panning."}
        time.sleep(1.2)
        assert client.get("/gis/plots/5/10/15.pbf").status_code == 204


def test_bbox_rate_limit(server, counters):
    with client_for(server) as client:
        time.sleep(1.1)
        codes = burst(client, "/gis/nosuchlayer/bbox/?minx=1&miny=1&maxx=2&maxy=2", 21)
        assert codes[:20] == [404] * 20 and codes[20] == 429
        refused = client.get("/gis/nosuchlayer/bbox/?minx=1&miny=1&maxx=2&maxy=2")
        assert refused.status_code == 429 and refused.json() == {"detail": "Too many bbox requests."}
