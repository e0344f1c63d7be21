"""CPU per request of the host's metrics and compression/ETag middleware around an app that
answers one cached tile, as the tile route does (same headers), in the process.

    python bench/middleware_cost.py [--baseline DIR] [--n 20000]

Each checkout's api/web.py in a process of its own; gzip-accepting and plain clients."""
from __future__ import annotations

import argparse
import asyncio
import json
import os
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
TILE = bytes(range(256)) * 120  # 30 KiB


def child(root: Path, n: int) -> None:
    sys.path.insert(0, str(root / "api"))
    from service import web
    from prometheus_client import CollectorRegistry

    async def tile(scope, receive, send):
        await send({"type": "http.response.start", "status": 200, "headers": [
            (b"cache-control", b"public, max-age=1800"), (b"x-cache", b"HIT"),
            (b"content-length", str(len(TILE)).encode()), (b"content-type", b"application/vnd.mapbox-vector-tile")]})
        await send({"type": "http.response.body", "body": TILE})

    async def bare(scope, receive, send):
        await tile(scope, receive, send)

    stack = web.Metrics(web.HttpCaching(tile, level=1, minimum_size=1000), registry=CollectorRegistry())

    async def receive():
        return {"type": "http.request", "body": b"", "more_body": False}

    async def send(message):
        pass

    def scope(encoding):
        return {"type": "http", "method": "GET", "path": "/gis/plots/16/1/1.pbf",
                "headers": [(b"host", b"t"), (b"accept-encoding", encoding)],
                "route": type("R", (), {"path": "/gis/{layer_name}/{z}/{x}/{y}.pbf"})()}

    async def run(app, encoding):
        best = float("inf")
        for _ in range(5):
            started = time.process_time()
            for _ in range(n):
                await app(scope(encoding), receive, send)
            best = min(best, (time.process_time() - started) / n * 1e6)
        return best

    async def main():
        floor = await run(bare, b"gzip")
        print(json.dumps({"gzip": await run(stack, b"gzip") - floor,
                          "identity": await run(stack, b"identity") - floor}))

    asyncio.run(main())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--baseline", type=Path)
    parser.add_argument("--n", type=int, default=20000)
    parser.add_argument("--child", type=Path, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child, args.n)
        return
    print("# metrics + compression/ETag middleware around one cached 30 KiB tile, µs per request, best of 5")
    print("| checkout | gzip client µs | plain client µs |")
    print("|---|---:|---:|")
    for label, root in [("this checkout", ROOT)] + ([("baseline", args.baseline.resolve())] if args.baseline else []):
        out = subprocess.run([sys.executable, __file__, "--child", str(root), "--n", str(args.n)],
                             capture_output=True, text=True, env=dict(os.environ, LOG_LEVEL="WARNING"))
        if out.returncode:
            raise RuntimeError(out.stderr[-3000:])
        m = json.loads(out.stdout.strip().splitlines()[-1])
        print(f"| {label} | {m['gzip']:.1f} | {m['identity']:.1f} |")


if __name__ == "__main__":
    main()
