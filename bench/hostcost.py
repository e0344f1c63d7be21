"""The host's own CPU per cached hit, without sockets: the application's ASGI callable driven
in the process with Redis answered from memory, so that what is left is the host's work
(middleware, FastAPI, the router, compression) and not the kernel's or the network's.

    python bench/hostcost.py [--baseline DIR] [--n 3000] [--repeats 5]

Routes: the tile route, the same steps in plain Python (/py), the hit floor (/floor) and the
platform's floor (uvicorn's Starlette + one GET, bench/platformfloor.py), each over the 345
cached tiles of the suite with `Accept-Encoding: gzip`, every request from a new client
address. With --baseline, the same for a checkout of an earlier commit built in place (its
application, with this checkout's benchmark routes beside it), in a process of its own."""
from __future__ import annotations

import argparse
import asyncio
import json
import os
import subprocess
import sys
import time
from pathlib import Path

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent


class MemoryRedis:
    """The commands of a hit, answered from a dictionary."""

    def __init__(self, values):
        self.values = dict(values)

    async def incr(self, key):
        self.values[key] = self.values.get(key, 0) + 1
        return self.values[key]

    async def expire(self, key, seconds, **kwargs):
        return True

    async def ttl(self, key):
        return 1

    async def get(self, key):
        return self.values.get(key)

    async def set(self, key, value, ex=None):
        self.values[key] = value
        return True


def child(root: Path, tiles_file: Path, n: int, repeats: int) -> None:
    sys.path[:0] = [str(root / "api"), str(BENCH)]
    os.environ.setdefault("LOG_LEVEL", "WARNING")
    import benchapp
    import hitfloor  # noqa: F401 - wired through tessera
    import platformfloor
    import pyrouter
    from ravn import tessera

    tiles = json.loads(tiles_file.read_text())
    redis = MemoryRedis({f"mvt_v8:plots:{z}:{x}:{y}": bytes.fromhex(body) for z, x, y, body in tiles})
    tessera.redis_client = redis
    tessera.cache = tessera.BinaryRedisCache(redis, namespace="mvt_v8")
    pyrouter.redis_client = redis
    pyrouter.cache = pyrouter.BinaryRedisCache(redis, namespace="mvt_v8")
    platformfloor.client = redis
    app = benchapp.app

    async def receive():
        return {"type": "http.request", "body": b"", "more_body": False}

    statuses = []

    async def send(message):
        if message["type"] == "http.response.start":
            statuses.append(message["status"])

    def scope(path, i):
        return {"type": "http", "asgi": {"version": "3.0", "spec_version": "2.3"}, "http_version": "1.1",
                "method": "GET", "scheme": "http", "path": path, "raw_path": path.encode(), "query_string": b"",
                "root_path": "", "headers": [(b"host", b"127.0.0.1"), (b"accept-encoding", b"gzip")],
                "client": (f"10.{i >> 16 & 255}.{i >> 8 & 255}.{i & 255}", 1), "server": ("127.0.0.1", 80),
                "state": {}}

    async def run(target, prefix, offset):
        started = time.process_time()
        for i in range(n):
            z, x, y, _ = tiles[i % len(tiles)]
            await target(scope(f"{prefix}/plots/{z}/{x}/{y}.pbf", offset + i), receive, send)
        return (time.process_time() - started) / n * 1e6

    async def main():
        routes = [("tile", app, "/gis"), ("python", app, "/py"), ("floor", app, "/floor"),
                  ("platform", platformfloor.app, "")]
        best = {name: float("inf") for name, _, _ in routes}
        for r in range(repeats + 1):  # the first round warms up
            for k, (name, target, prefix) in enumerate(routes):
                cost = await run(target, prefix, (r * 4 + k) * n)
                if r:
                    best[name] = min(best[name], cost)
        assert set(statuses) == {200}, set(statuses)
        print(json.dumps(best))

    asyncio.run(main())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--baseline", type=Path)
    parser.add_argument("--n", type=int, default=3000)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--database", default="ravn_bench")
    parser.add_argument("--child", type=Path, help=argparse.SUPPRESS)
    parser.add_argument("--tiles", type=Path, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child, args.tiles, args.n, args.repeats)
        return
    sys.path[:0] = [str(BENCH)]
    import run_all

    args.parcels = 100_000
    url, data = run_all.prepare(args)
    host = run_all.start_host(url)
    try:
        run_all.warm(host, run_all.tile_paths("/gis", data["cached"]))
    finally:
        host.stop()
    r = run_all.redis()
    tiles = [(z, x, y, r.get(f"mvt_v8:plots:{z}:{x}:{y}")) for z, x, y in data["cached"]]
    tiles_file = Path(run_all.tempfile.mkstemp(suffix=".json")[1])
    tiles_file.write_text(json.dumps([(z, x, y, body.hex()) for z, x, y, body in tiles if body]))
    checkouts = [("this checkout", ROOT)] + ([("baseline", args.baseline.resolve())] if args.baseline else [])
    results = {}
    for label, root in checkouts:
        out = subprocess.run([sys.executable, __file__, "--child", str(root), "--tiles", str(tiles_file),
                              "--n", str(args.n), "--repeats", str(args.repeats)],
                             capture_output=True, text=True, cwd=root / "api",
                             env=dict(os.environ, LOG_LEVEL="WARNING"))
        line = next((text for text in out.stdout.splitlines() if text.startswith("{")), None)
        if line is None:
            raise RuntimeError(out.stdout[-2000:] + out.stderr[-3000:])
        results[label] = json.loads(line)
    tiles_file.unlink()
    print(f"# host CPU per cached hit in the process (memory Redis, gzip accepted), {args.n} requests, "
          f"best of {args.repeats}")
    print("| checkout | tile µs | python µs | floor µs | platform µs | tile / platform | native / Python |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for label, m in results.items():
        print(f"| {label} | {m['tile']:.0f} | {m['python']:.0f} | {m['floor']:.0f} | {m['platform']:.0f} | "
              f"{m['tile'] / m['platform']:.1f} | {m['tile'] / m['python']:.2f} |")
    if args.baseline:
        this, base = results["this checkout"], results["baseline"]
        print(f"\ntile: this / baseline CPU {this['tile'] / base['tile']:.2f}; "
              f"floor: {this['floor'] / base['floor']:.2f}")


if __name__ == "__main__":
    main()
