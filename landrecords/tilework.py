"""One layer tile from the database, composed exactly as the XYZ endpoint composes it."""
from __future__ import annotations

import argparse
import asyncio

from sqlalchemy import text

# The endpoint's time limits by zoom.
def query_timeout(z: int) -> float:
    return 10.0 if z <= 6 else 12.0 if z <= 10 else 15.0 if z <= 14 else 20.0 if z <= 16 else 30.0


def tessera():
    from ravn import tessera as module

    return module


def layers_argument(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--layers", metavar="L1,L2", help="layers to include (default: all of the catalogue)")
    parser.add_argument("--workers", type=int, default=4, metavar="N",
                        help="database connections used at once (default 4)")
    parser.add_argument("--restart", action="store_true", help="drop the progress of an earlier run and start over")


def chosen_layers(spec: str | None) -> list[str]:
    catalogue = list(tessera().LAYER_CONFIG)
    if not spec:
        return catalogue
    layers = [name.strip() for name in spec.split(",") if name.strip()]
    unknown = [name for name in layers if name not in catalogue]
    if unknown:
        raise SystemExit(f"error: unknown layer(s) {', '.join(unknown)}; the catalogue has {', '.join(catalogue)}")
    return layers


def plan(layer: str, z: int) -> tuple[str, dict] | None:
    """The endpoint's statement and zoom tier, or None where the layer is not shown at this zoom."""
    try:
        return tessera().generate_mvt_sql(layer, z)
    except ValueError:
        return None


async def fetch(semaphore: asyncio.Semaphore, sql: str, z: int, x: int, y: int) -> bytes | None:
    import database
    from helpers.utils import xyz_to_bbox_web_mercator

    module = tessera()
    bbox = xyz_to_bbox_web_mercator(z, x, y)
    params = {"min_x": bbox["minx"], "min_y": bbox["miny"], "max_x": bbox["maxx"], "max_y": bbox["maxy"]}
    async with semaphore:
        db = database.SessionLocal()
        async with module.db_transaction(db):
            result = await asyncio.wait_for(db.execute(text(sql), params), timeout=query_timeout(z))
            body = result.scalar_one_or_none()
    return bytes(body) if body else None


async def run_bounded(items, one, window: int) -> None:
    """Awaits one(*item) for every item with at most `window` tasks alive at once."""
    pending: set[asyncio.Task] = set()
    try:
        for item in items:
            if len(pending) >= window:
                _, pending = await asyncio.wait(pending, return_when=asyncio.FIRST_COMPLETED)
            pending.add(asyncio.create_task(one(*item)))
        if pending:
            await asyncio.wait(pending)
    except asyncio.CancelledError:
        # Ctrl-C: start nothing more, but let the tiles in flight finish and be recorded, so that
        # no tile is written without its mark (a second Ctrl-C stops at once).
        if pending:
            await asyncio.wait(pending)
        raise
    finally:
        for task in pending:
            task.cancel()
