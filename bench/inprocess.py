"""In-process cost of the XYZ tile endpoint: the native router against the same
steps written in plain Python (bench/pyrouter.py), with lean in-memory stand-ins
for Redis and the database session, on one event loop; beside them the least any
implementation must do (bench/leastrouter.py: only the calls the endpoint has to make).

    python bench/inprocess.py [--n 20000] [--repeats 5]

Prints calls per second on a cache hit and on a miss for all three, native / Python,
and Python / least: the most that any implementation of the router's own steps could
gain over plain Python on these stand-ins."""
from __future__ import annotations

import argparse
import asyncio
import platform
import sys
import time
from pathlib import Path
from types import SimpleNamespace

ROOT = Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT / "api"), str(ROOT / "bench")]

import ravn.tessera as tessera  # noqa: E402

import leastrouter  # noqa: E402
import pyrouter  # noqa: E402

TILE = b"\x1a\x90\x01" + bytes(200)


class LeanRedis:
    """The commands the endpoint sends, answered from dictionaries. With `suspend`,
    every command gives the event loop one turn first, as a reply read from a
    socket does, so the caller's coroutines are suspended and resumed."""

    def __init__(self, suspend=False):
        self.values = {}
        self.suspend = suspend

    async def _turn(self):
        if self.suspend:
            await asyncio.sleep(0)

    async def incr(self, key):
        await self._turn()
        value = self.values.get(key, 0) + 1
        self.values[key] = value
        return value

    async def expire(self, key, seconds):
        await self._turn()
        return True

    async def ttl(self, key):
        await self._turn()
        return 1

    async def get(self, key):
        await self._turn()
        return self.values.get(key)

    async def set(self, key, value, ex=None):
        await self._turn()
        self.values[key] = value
        return True


class LeanResult:
    def scalar_one_or_none(self):
        return TILE


class LeanSession:
    async def execute(self, statement, params=None):
        return LeanResult()

    async def commit(self):
        pass

    async def rollback(self):
        pass

    async def close(self):
        pass


def wire(module, namespace_cache, suspend=False):
    redis = LeanRedis(suspend)
    module.redis_client = redis
    if namespace_cache is not None:
        module.cache = namespace_cache(redis, namespace="mvt_v8")
    return redis


async def calls_per_second(endpoint, n, hit, keywords=True):
    """n calls from n client addresses (so the rate limit never refuses); on a hit
    every call asks for the one cached tile, on a miss every call a new tile. By
    keyword, as FastAPI calls an endpoint (`call(**values)`), or by position."""
    requests = [SimpleNamespace(client=SimpleNamespace(host=f"10.{i >> 16 & 255}.{i >> 8 & 255}.{i & 255}"))
                for i in range(n)]
    session = LeanSession()
    started = time.process_time()
    if keywords:
        for i, request in enumerate(requests):
            values = {"layer_name": "plots", "z": 16, "x": 34000 if hit else 30000 + i, "y": 31600,
                      "request": request, "db": session}
            response = await endpoint(**values)
            assert response.status_code == 200
    else:
        for i, request in enumerate(requests):
            values = ("plots", 16, 34000 if hit else 30000 + i, 31600, request, session)
            response = await endpoint(*values)
            assert response.status_code == 200
    return n / (time.process_time() - started)


def measure(n, repeats, keywords=True, suspend=False):
    """Best CPU time of `repeats` rounds; the routers take turns within each round, so a
    busy machine slows both alike."""
    pyrouter.LAYER_CONFIG = dict(tessera.LAYER_CONFIG)
    leastrouter.SQL = tessera.generate_mvt_sql("plots", 16)[0]
    routers = (("native", tessera, tessera.get_tile_xyz, tessera.BinaryRedisCache),
               ("python", pyrouter, pyrouter.get_tile_xyz, pyrouter.BinaryRedisCache),
               ("least", leastrouter, leastrouter.get_tile_xyz, None))
    results = {(name, hit): 0.0 for name, *_ in routers for hit in (True, False)}
    for _ in range(repeats):
        for hit in (True, False):
            for name, module, endpoint, cache_class in routers:
                redis = wire(module, cache_class, suspend)
                if hit:
                    redis.values["mvt_v8:plots:16:34000:31600"] = TILE
                results[name, hit] = max(results[name, hit], asyncio.run(calls_per_second(endpoint, n, hit, keywords)))
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=20000)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--positional", action="store_true", help="pass the arguments by position")
    parser.add_argument("--suspend", action="store_true",
                        help="every Redis command gives the event loop a turn, as a socket read does")
    args = parser.parse_args()
    results = measure(args.n, args.repeats, keywords=not args.positional, suspend=args.suspend)
    print(f"# in-process get_tile_xyz, {args.n} calls by {'position' if args.positional else 'keyword'}, "
          f"best of {args.repeats}{', suspending Redis' if args.suspend else ''}; "
          f"Python {platform.python_version()}, {platform.machine()}")
    print("| path | native µs | Python µs | least µs | native / Python (calls/s) | Python / least (time) |")
    print("|---|---:|---:|---:|---:|---:|")
    for hit in (True, False):
        native, python, least = results["native", hit], results["python", hit], results["least", hit]
        print(f"| {'hit' if hit else 'miss'} | {1e6 / native:.1f} | {1e6 / python:.1f} | {1e6 / least:.1f} | "
              f"{native / python:.2f} | {least / python:.2f} |")


if __name__ == "__main__":
    main()
