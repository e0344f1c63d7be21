"""The tile endpoint's steps one by one: each module function of the native router
against the same function of the plain-Python steps (bench/pyrouter.py), with the
in-memory stand-ins of bench/inprocess.py.

    python bench/steps.py [--n 200000]

Prints ns per call for both and their ratio (below 1: the native step is faster)."""
from __future__ import annotations

import argparse
import asyncio
import platform
import time

import inprocess
from inprocess import pyrouter, tessera


def best_pair_ns(native, python, n, repeats):
    """Best CPU time of `repeats` rounds for each; the two take turns within a round,
    so a busy machine slows both alike, and time spent descheduled is not counted."""
    best = [float("inf"), float("inf")]
    for _ in range(repeats):
        for i, run in enumerate((native, python)):
            started = time.process_time()
            run(n)
            best[i] = min(best[i], time.process_time() - started)
    return best[0] / n * 1e9, best[1] / n * 1e9


def calling(f, *args):
    def run(n):
        for _ in range(n):
            f(*args)
    return run


def driving(make):
    """A coroutine that never suspends, run as the event loop's first step runs it."""
    def run(n):
        for _ in range(n):
            coro = make()
            try:
                coro.send(None)
            except StopIteration:
                pass
    return run


def awaiting(make):
    def run(n):
        async def loop():
            for _ in range(n):
                await make()
        asyncio.run(loop())
    return run


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=200_000)
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()
    n = args.n
    pyrouter.LAYER_CONFIG = dict(tessera.LAYER_CONFIG)
    suspending = {}
    for module in (tessera, pyrouter):
        redis = inprocess.wire(module, module.BinaryRedisCache)
        redis.values["mvt_v8:k"] = inprocess.TILE
        # The same cache over a Redis that gives the loop a turn per command, as a socket read does.
        slow = inprocess.LeanRedis(suspend=True)
        slow.values["mvt_v8:k"] = inprocess.TILE
        suspending[module] = module.BinaryRedisCache(slow, namespace="mvt_v8")
    steps = [
        ("validate_tile_coords", lambda m: calling(m.validate_tile_coords, 16, 34000, 31600), n),
        ("get_zoom_config", lambda m: calling(m.get_zoom_config, 16, "plots"), n),
        ("generate_mvt_sql", lambda m: calling(m.generate_mvt_sql, "plots", 16), n),
        ("BinaryRedisCache._make_key", lambda m: calling(m.cache._make_key, "k"), n),
        ("BinaryRedisCache.get, driven to completion", lambda m: driving(lambda: m.cache.get("k")), n),
        ("BinaryRedisCache.get, suspending Redis, awaited on the loop",
         lambda m: awaiting(lambda: suspending[m].get("k")), n // 4),
        ("safe_cache_get, awaited on the loop", lambda m: awaiting(lambda: m.safe_cache_get("k")), n // 4),
    ]
    print(f"# steps of get_tile_xyz, CPU time, best of {args.repeats} interleaved; "
          f"Python {platform.python_version()}, {platform.machine()}")
    print("| step | native ns | Python ns | native / Python |")
    print("|---|---:|---:|---:|")
    for label, make, count in steps:
        native, python = best_pair_ns(make(tessera), make(pyrouter), count, args.repeats)
        print(f"| `{label}` | {native:,.0f} | {python:,.0f} | {native / python:.2f} |")


if __name__ == "__main__":
    main()
