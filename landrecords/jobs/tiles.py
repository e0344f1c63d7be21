"""Layer tiles from the database, composed exactly as the XYZ endpoint composes them, and the
resumable job that seeding and export both run over an area's tiles."""
from __future__ import annotations

import argparse
import asyncio
import itertools
import logging
import sys
from collections.abc import Awaitable, Callable, Coroutine, Iterable, Iterator
from typing import Any
from dataclasses import dataclass, field

from sqlalchemy import text

from landrecords.jobs import logs, progress
from landrecords.jobs.errors import UsageError

# Above this many tiles a run must be confirmed with --yes: a slip in --bbox or --zoom can mean billions.
CONFIRM_ABOVE = 100_000
_module = None


def tessera():
    global _module
    if _module is None:
        # Its start-up banner is the module's own business: the log (at DEBUG), not the tools' output.
        with logs.stdout_to_log("tile module: ", logging.DEBUG):
            from ravn import tessera as module
        _module = module
    return _module


def query_timeout(z: int) -> float:
    """The endpoint's time limit for a tile query at zoom z, as the tile module sets it."""
    return float(tessera()._tile_query_time_limit(z))


def job_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--layers", metavar="L1,L2", help="layers to include (default: all of the catalogue)")
    parser.add_argument("--workers", type=int, default=4, metavar="N",
                        help="database connections used at once (default 4)")
    parser.add_argument("--restart", action="store_true", help="drop the progress of an earlier run and start over")
    parser.add_argument("--yes", action="store_true",
                        help=f"go ahead with more than {CONFIRM_ABOVE:,} tiles (the count is printed first)")


def chosen_layers(spec: str | None) -> list[str]:
    catalogue = list(tessera().LAYER_CONFIG)
    if not spec:
        return catalogue
    layers = [name.strip() for name in spec.split(",") if name.strip()]
    unknown = [name for name in layers if name not in catalogue]
    if unknown:
        raise UsageError(f"unknown layer(s) {', '.join(unknown)}; the catalogue has {', '.join(catalogue)}")
    return layers


def plan(layer: str, z: int) -> tuple[str, dict] | None:
    """The endpoint's statement and zoom tier, or None where the layer is not shown at this zoom."""
    try:
        return tessera().generate_mvt_sql(layer, z)
    except ValueError:
        return None


def zoom_words(zooms: tuple[int, int]) -> str:
    return f"zoom {zooms[0]}" if zooms[0] == zooms[1] else f"zooms {zooms[0]}-{zooms[1]}"


def confirm(tool: str, count: int, what: str, yes: bool) -> None:
    """Says how many tiles the run covers, before any of them; refuses a huge run unless confirmed."""
    print(f"{tool}: {count:,} {what}", flush=True)
    if count > CONFIRM_ABOVE and not yes:
        raise UsageError(f"{count:,} tiles is more than {CONFIRM_ABOVE:,}; narrow --bbox or --zoom, "
                         "or pass --yes to go ahead")


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


async def run_bounded(items: Iterable, one: Callable[..., Coroutine[Any, Any, None]], window: int) -> None:
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


@dataclass
class Outcome:
    counts: dict[str, int]
    errors: list[str] = field(default_factory=list)
    left: int = 0
    finished: bool = False


async def run_tile_job(tool: str, state: progress.StateFile, units: Iterator[tuple[str, tuple]], total: int,
                       do: Callable[..., Awaitable[str]], outcomes: tuple[str, ...], window: int,
                       limit: int | None = None, close: Callable[[bool], None] | None = None) -> Outcome:
    """Runs do(*args) for each (unit, args) not yet done, at most `window` at a time (and at most
    `limit` in this run), counting the outcome name each returns; a unit is marked done in the
    state file only once it succeeded, so an interrupted or failed run resumes where it stopped.
    `total` counts every unit of the job, done before or not. close(finished) runs before the
    state file is closed (removed when finished), whatever happens."""
    import database

    outcome = Outcome({name: 0 for name in outcomes} | {"failed": 0})
    meter = progress.bar(total, state.resumed, "tile", tool)

    async def one(unit: str, args: tuple) -> None:
        try:
            outcome.counts[await do(*args)] += 1
            state.mark(unit)
        except Exception as e:  # noqa: BLE001 - reported per unit; the run goes on and the unit stays to do
            outcome.counts["failed"] += 1
            outcome.errors.append(f"{unit}: {type(e).__name__}: {e}")
        meter.update()

    todo: Iterator[tuple[str, tuple]] = (unit for unit in units if unit[0] not in state.done)
    if limit is not None:
        todo = itertools.islice(todo, max(0, limit))
    try:
        with logs.above_bars():
            await run_bounded(todo, one, window)
        done_now = sum(outcome.counts[name] for name in outcomes)
        outcome.left = total - state.resumed - done_now
        outcome.finished = outcome.left == 0
    finally:
        meter.close()
        try:
            if close is not None:
                close(outcome.finished)
        finally:
            state.close(outcome.finished)
            await database.dispose_engine()
            await tessera().redis_client.aclose()
    for line in outcome.errors[:10]:
        print(f"  failed {line}", file=sys.stderr)
    return outcome
