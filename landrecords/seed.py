"""`seed`: warm the tile cache for an area and zoom range, so the service answers those tiles as HITs.

Tiles are composed and cached through the tile module's own functions (statement,
zoom tier, cache object), so keys, values and lifetimes are those the XYZ endpoint
writes. Empty tiles and layers not shown at a zoom are skipped, as the endpoint skips them.
"""
from __future__ import annotations

import argparse
import asyncio
import sys
import time
from pathlib import Path

from landrecords import area, progress, tilework

DEFAULT_STATE = "seed.state"


def register(subparsers) -> None:
    parser = subparsers.add_parser(
        "seed", help="warm the tile cache for an area and zoom range",
        description=__doc__ + f"\nProgress is kept in a state file ({DEFAULT_STATE} in the current folder unless "
        "--state says otherwise); an interrupted run started again with the same options resumes where it stopped. "
        "The file is removed when the run completes.",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    area.add_arguments(parser)
    tilework.layers_argument(parser)
    parser.add_argument("--state", type=Path, default=Path(DEFAULT_STATE), metavar="FILE",
                        help=f"progress file (default ./{DEFAULT_STATE})")
    parser.add_argument("--max-tiles", type=int, metavar="N",
                        help="stop (resumably) after N tiles in this run, e.g. to fit a maintenance window")
    parser.set_defaults(run=run)


async def seed(args: argparse.Namespace) -> tuple[dict, bool]:
    import database

    module = tilework.tessera()
    layers = tilework.chosen_layers(args.layers)
    where = await area.resolve(args)
    job = {"tool": "seed", "area": where.label, "zoom": list(args.zoom), "layers": layers}
    state = progress.StateFile(args.state, job, restart=args.restart)
    counts = {"cached": 0, "empty": 0, "not shown at zoom": 0, "failed": 0, "done before": state.resumed}
    work: list[tuple[str, int, int, int, str, int]] = []
    for z in range(args.zoom[0], args.zoom[1] + 1):
        coords = area.tiles(where, z)
        for layer in layers:
            composed = tilework.plan(layer, z)
            if composed is None:
                counts["not shown at zoom"] += len(coords)
                continue
            sql, tier = composed
            work.extend((layer, z, x, y, sql, tier["cache_ttl"]) for x, y in coords
                        if f"{layer}/{z}/{x}/{y}" not in state.done)
    limit = len(work) if args.max_tiles is None else min(args.max_tiles, len(work))
    todo, left = work[:limit], len(work) - limit
    semaphore = asyncio.Semaphore(max(1, args.workers))
    meter = progress.bar(state.resumed + len(work), state.resumed, "tile", "seed")
    errors: list[str] = []

    async def one(layer: str, z: int, x: int, y: int, sql: str, ttl: int) -> None:
        try:
            body = await tilework.fetch(semaphore, sql, z, x, y)
            if body:
                # cache.set, not safe_cache_set: a write that fails must be counted, not swallowed.
                await module.cache.set(f"{layer}:{z}:{x}:{y}", body, ttl=ttl)
                counts["cached"] += 1
            else:
                counts["empty"] += 1
            state.mark(f"{layer}/{z}/{x}/{y}")
        except Exception as e:  # noqa: BLE001 - reported per tile; the run goes on and the tile stays to do
            counts["failed"] += 1
            errors.append(f"{layer}/{z}/{x}/{y}: {type(e).__name__}: {e}")
        meter.update()

    finished = False
    try:
        # Tasks wait on the connection semaphore; the window only bounds how many exist at once.
        await tilework.run_bounded(todo, one, max(1, args.workers) * 4)
        finished = not left and not counts["failed"]
    finally:
        meter.close()
        state.close(finished)
        await database.dispose_engine()
        await module.redis_client.aclose()
    counts["left to do"] = left + counts["failed"]
    for line in errors[:10]:
        print(f"  failed {line}", file=sys.stderr)
    return counts, finished


def run(args: argparse.Namespace) -> int:
    started = time.monotonic()
    try:
        counts, finished = asyncio.run(seed(args))
    except KeyboardInterrupt:
        print(f"interrupted: progress kept in {args.state}; run the same command again to resume", file=sys.stderr)
        return 130
    elapsed = time.monotonic() - started
    done = counts["cached"] + counts["empty"]
    counts["time"] = f"{elapsed:.1f} s ({done / elapsed if elapsed else 0:.1f} tiles/s)"
    progress.summary("seed " + ("complete" if finished else f"incomplete: progress kept in {args.state}"), counts)
    return 0 if finished or not counts["failed"] else 1
