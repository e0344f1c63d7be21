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

from landrecords.jobs import area, progress, tiles

DEFAULT_STATE = "seed.state"


def register(subparsers) -> None:
    parser = subparsers.add_parser(
        "seed", help="warm the tile cache for an area and zoom range",
        description=__doc__ + f"\nProgress is kept in a state file ({DEFAULT_STATE} in the current folder unless "
        "--state says otherwise); an interrupted run started again with the same options resumes where it stopped. "
        "The file is removed when the run completes. The number of tiles is printed before any is made; above "
        f"{tiles.CONFIRM_ABOVE:,} the run needs --yes.",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    area.add_arguments(parser)
    tiles.job_arguments(parser)
    parser.add_argument("--state", type=Path, default=Path(DEFAULT_STATE), metavar="FILE",
                        help=f"progress file (default ./{DEFAULT_STATE})")
    parser.add_argument("--max-tiles", type=int, metavar="N",
                        help="stop (resumably) after N tiles in this run, e.g. to fit a maintenance window")
    parser.set_defaults(run=run)


async def seed(args: argparse.Namespace) -> tuple[dict, bool]:
    module = tiles.tessera()
    layers = tiles.chosen_layers(args.layers)
    where = await area.resolve(args)
    zooms = range(args.zoom[0], args.zoom[1] + 1)
    shown = {z: [(layer, composed) for layer in layers if (composed := tiles.plan(layer, z))] for z in zooms}
    total = sum(area.tile_count(where, z) * len(shown[z]) for z in zooms)
    hidden = sum(area.tile_count(where, z) * (len(layers) - len(shown[z])) for z in zooms)
    tiles.confirm("seed", total, f"layer tiles at {tiles.zoom_words(args.zoom)}", args.yes)
    job = {"tool": "seed", "area": where.label, "zoom": list(args.zoom), "layers": layers}
    state = progress.StateFile(args.state, job, restart=args.restart)
    resumed = state.resumed

    def units():
        for z in zooms:
            for layer, (sql, tier) in shown[z]:
                for x, y in area.tiles(where, z):
                    yield f"{layer}/{z}/{x}/{y}", (layer, z, x, y, sql, tier["cache_ttl"])

    semaphore = asyncio.Semaphore(max(1, args.workers))

    async def one(layer: str, z: int, x: int, y: int, sql: str, ttl: int) -> str:
        body = await tiles.fetch(semaphore, sql, z, x, y)
        if not body:
            return "empty"
        # cache.set, not safe_cache_set: a write that fails must be counted, not swallowed.
        await module.cache.set(f"{layer}:{z}:{x}:{y}", body, ttl=ttl)
        return "cached"

    # Tasks wait on the connection semaphore; the window only bounds how many exist at once.
    outcome = await tiles.run_tile_job("seed", state, units(), total, one, ("cached", "empty"),
                                       max(1, args.workers) * 4, limit=args.max_tiles)
    counts = {"cached": outcome.counts["cached"], "empty": outcome.counts["empty"], "not shown at zoom": hidden,
              "failed": outcome.counts["failed"], "done before": resumed, "left to do": outcome.left}
    return counts, outcome.finished


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
