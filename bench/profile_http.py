"""Where a tile request's CPU goes in the server: py-spy samples one uvicorn worker
under wrk load (cached or cold tiles, or the hit floor) and the samples are summed
by the parts of the stack they pass through.

    python bench/profile_http.py [--path gis|floor] [--cold] [--seconds 10] [--connections 32] [--by-file]

--by-file also prints the worker's CPU per request by the source file of the innermost
frame, so that two runs (gis and floor) can be set side by side.
"""
from __future__ import annotations

import argparse
import collections
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import run_all  # noqa: E402

# Part of the stack -> the frame text that marks it (first match from the top of the list wins).
PARTS = [
    ("plans / drawing", ("plan_documents", "weasyprint", "matplotlib")),
    ("GZip compression", ("compress", "gzip.py")),
    ("get_db: session made and closed", ("get_db", "database.py")),
    ("host guard dependency", ("guard_cache_invalidation",)),
    ("SQLAlchemy (session, transaction, execute)", ("sqlalchemy",)),
    ("asyncpg", ("asyncpg",)),
    ("Redis client", ("redis/",)),
    ("asyncio.wait_for / tasks", ("wait_for", "tasks.py")),
    ("FastAPI dependency solving / routing", ("dependencies/utils.py", "routing.py")),
    ("Starlette / uvicorn protocol", ("starlette", "uvicorn")),
]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--path", choices=("gis", "floor", "py"), default="gis")
    parser.add_argument("--cold", action="store_true")
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--connections", type=int, default=32)
    parser.add_argument("--database", default="ravn_bench")
    parser.add_argument("--raw", help="keep the py-spy samples in this file")
    parser.add_argument("--by-file", action="store_true")
    args = parser.parse_args()
    args.parcels = 100_000
    url, data = run_all.prepare(args)
    host = run_all.start_host(url)
    try:
        tiles = data["cold"] if args.cold else data["cached"]
        paths = run_all.tile_paths("/" + args.path, tiles)
        if args.cold:
            run_all.redis().flushdb()
        else:
            run_all.warm(host, run_all.tile_paths("/gis", tiles))
        raw = args.raw or tempfile.NamedTemporaryFile(suffix=".txt", delete=False).name
        spy = subprocess.Popen(["py-spy", "record", "--pid", str(host.process.pid), "--duration", str(args.seconds),
                                "--format", "raw", "--output", raw, "--nonblocking", "--rate", "250"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        load = run_all.wrk(host, paths, args.connections, args.seconds + 2)
        if spy.wait() != 0:
            raise RuntimeError("py-spy failed (it needs ptrace permission)")
    finally:
        host.stop()
    totals, by_file, all_samples = collections.Counter(), collections.Counter(), 0
    for line in Path(raw).read_text().splitlines():
        stack, _, count = line.rpartition(" ")
        count = int(count)
        all_samples += count
        frames = stack.split(";")
        if len(frames) <= 2 and any("run_forever" in f or "select" in f for f in frames):
            totals["idle / event loop"] += count
            continue
        innermost = frames[-1]
        by_file["/".join(innermost.rsplit("(", 1)[-1].split(":")[0].split("/")[-2:]) if "(" in innermost
                else innermost] += count
        # The innermost frame that belongs to a known part decides (the middleware wraps everything).
        label = next((label for frame in reversed(frames) for label, marks in PARTS
                      if any(mark in frame for mark in marks)), "other (event loop, tile router, ...)")
        totals[label] += count
    print(f"# py-spy, {args.seconds} s, {args.connections} connections, {'cold' if args.cold else 'cached'} "
          f"/{args.path} tiles, {all_samples} samples")
    print("| part of the stack | % of samples |")
    print("|---|---:|")
    for label, count in totals.most_common():
        print(f"| {label} | {100 * count / all_samples:.1f} |")
    if args.by_file:
        # Samples are 4 ms apart (250 Hz) over the profiled seconds of the load.
        requests = load["rps"] * args.seconds
        print()
        print("| source file (innermost frame) | worker CPU µs per request |")
        print("|---|---:|")
        for name, count in by_file.most_common(25):
            print(f"| {name} | {count * 4000 / requests:.1f} |")


if __name__ == "__main__":
    main()
