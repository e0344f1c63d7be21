"""Edits made straight in the database reach the map: a listener for the layer tables' triggers.

Each statement on a layer's table sends, on commit, the extent of the rows it touched
(db/schema.sql). The listener turns that extent into the XYZ cache keys of every tile it can
touch at every zoom of the layer, deletes them, the bounding-box entries it overlaps and the
layer's centroid entry, and deletes them all again once the longest tile query could have
finished: a query that started before the commit may write the old tile after the first pass.

One listener works at a time across application servers (a session advisory lock); the others
wait and take over when its connection goes. Whoever cannot know what it missed (after a
reconnect, or on taking over) drops the layers whole and says so in the log.

When the tiles are read from a streaming replica, a pass waits until the replica has replayed
the primary's WAL up to where it stood when the pass began: deleted any earlier, a tile
request would read the old rows from the replica and cache them for the tier's lifetime.
The wait has a bound; past it the keys go anyway and the log says so.
"""
from __future__ import annotations

import asyncio
import json
import logging
import math
import os
from dataclasses import dataclass, field
from typing import Any, Iterable

import asyncpg

CHANNEL = "tile_edits"
# Session lock held by the working listener: one per database, whatever the number of servers.
LOCK_KEY = 0x7469_6C65
LAYERS = ("plots", "beacons", "roads", "cadzones", "districts", "lgas")
# validate_tile_coords accepts zooms up to 20, so tiles up to 20 may be cached.
MAX_ZOOM = 20
# The longest tile time limit is 30 s; a query begun just before the commit ends by then.
REDELETE_AFTER = 31.0
# Above this many tiles at one zoom, that zoom's cached keys are scanned instead of listed.
ZOOM_KEY_BOUND = 4096
DELETE_BATCH = 500
# How often the replica's replay position is asked for while a pass waits for it.
REPLICA_POLL = 0.02
# Seconds stop() gives the listener to end after cancelling it, before cancelling again.
STOP_GRACE = 1.0
# The EPSG:3857 square's half width (helpers.utils uses the same).
HALF = 20037508.342789244
TILE_EXTENT = 4096

log = logging.getLogger("landrecords.tile_edits")


def _text(key: Any) -> str:
    return key.decode() if isinstance(key, bytes) else str(key)


def tile_ranges(tessera, layer: str, bbox: tuple[float, float, float, float]) -> list[tuple[int, int, int, int, int]]:
    """(z, x0, x1, y0, y1) for every zoom of the layer: the tiles whose area, grown by the
    tier's buffer, meets `bbox` (EPSG:3857). y counts from the top, as the tile keys do."""
    minx, miny, maxx, maxy = bbox
    out = []
    for z in range(MAX_ZOOM + 1):
        config = tessera.get_zoom_config(z, layer)
        if config is None or z < 1:
            continue
        n = 1 << z
        size = 2 * HALF / n
        # The buffer, and a hair more: the extent comes rounded outward and && is inclusive.
        pad = size * config["buffer"] / TILE_EXTENT + size * 1e-9 + 1e-6
        x0 = max(0, math.floor((minx - pad + HALF) / size))
        x1 = min(n - 1, math.floor((maxx + pad + HALF) / size))
        y0 = max(0, math.floor((HALF - (maxy + pad)) / size))
        y1 = min(n - 1, math.floor((HALF - (miny - pad)) / size))
        if x0 <= x1 and y0 <= y1:
            out.append((z, x0, x1, y0, y1))
    return out


def parse_notification(payload: str) -> tuple[str, tuple[float, float, float, float] | None] | None:
    """(layer, extent) from a trigger's payload; extent None means the whole layer."""
    try:
        data = json.loads(payload)
        layer = data["layer"]
        if layer not in LAYERS:
            return None
        if data.get("all"):
            return layer, None
        minx, miny, maxx, maxy = (float(v) for v in data["bbox"])
        return layer, (minx, miny, maxx, maxy)
    except (ValueError, KeyError, TypeError):
        log.warning("ignoring a malformed edit notification: %.200s", payload)
        return None


@dataclass
class Work:
    """What one pass deletes: per layer, extents, or the whole layer."""

    extents: dict[str, list[tuple[float, float, float, float]]] = field(default_factory=dict)
    whole: set[str] = field(default_factory=set)

    def add(self, layer: str, bbox: tuple[float, float, float, float] | None) -> None:
        if bbox is None:
            self.whole.add(layer)
        else:
            self.extents.setdefault(layer, []).append(bbox)

    def merge(self, other: "Work") -> None:
        self.whole |= other.whole
        for layer, boxes in other.extents.items():
            self.extents.setdefault(layer, []).extend(boxes)

    def __bool__(self) -> bool:
        return bool(self.whole or self.extents)


@dataclass
class Stats:
    notifications: int = 0
    passes: int = 0
    keys_deleted: int = 0
    zoom_scans: int = 0
    layer_flushes: int = 0
    takeovers: int = 0
    replica_waits: int = 0      # passes that waited for the replica
    replica_late: int = 0       # of those, passes that gave up waiting and deleted anyway


class Invalidator:
    """Deletes the cache entries an edit can have made stale. Idempotent: a second pass over
    the same work deletes nothing new."""

    def __init__(self, tessera, *, key_bound: int = ZOOM_KEY_BOUND):
        self.tessera = tessera
        self.key_bound = key_bound
        self.stats = Stats()

    @property
    def redis(self):
        return self.tessera.redis_client

    def key(self, text: str) -> str:
        return self.tessera.cache._make_key(text)

    async def _delete(self, keys: Iterable[str]) -> int:
        keys = list(keys)
        deleted = 0
        for start in range(0, len(keys), DELETE_BATCH):
            deleted += int(await self.redis.delete(*keys[start:start + DELETE_BATCH]))
        self.stats.keys_deleted += deleted
        return deleted

    async def _scan(self, pattern: str) -> list[str]:
        return [_text(k) async for k in self.redis.scan_iter(match=pattern, count=1000)]

    async def flush_layer(self, layer: str) -> int:
        self.stats.layer_flushes += 1
        keys = await self._scan(self.key(f"{layer}:*"))
        keys += await self._scan(self.key(f"bbox:{layer}:*"))
        keys.append(self.key(f"centroid:{layer}"))
        return await self._delete(keys)

    async def drop_extents(self, layer: str, boxes: list[tuple[float, float, float, float]]) -> int:
        listed: set[str] = set()
        scanned: dict[int, list[tuple[int, int, int, int]]] = {}
        per_zoom: dict[int, list[tuple[int, int, int, int]]] = {}
        for box in boxes:
            for z, x0, x1, y0, y1 in tile_ranges(self.tessera, layer, box):
                per_zoom.setdefault(z, []).append((x0, x1, y0, y1))
        for z, ranges in per_zoom.items():
            count = sum((x1 - x0 + 1) * (y1 - y0 + 1) for x0, x1, y0, y1 in ranges)
            if count > self.key_bound:
                scanned[z] = ranges
                continue
            for x0, x1, y0, y1 in ranges:
                for x in range(x0, x1 + 1):
                    for y in range(y0, y1 + 1):
                        listed.add(self.key(f"{layer}:{z}:{x}:{y}"))
        for z, ranges in scanned.items():
            # A district or a whole LGA at z18: cheaper to look at what is cached at that zoom.
            self.stats.zoom_scans += 1
            prefix = self.key(f"{layer}:{z}:")
            for key in await self._scan(prefix + "*"):
                try:
                    x, y = (int(v) for v in key[len(prefix):].split(":"))
                except ValueError:
                    continue
                if any(x0 <= x <= x1 and y0 <= y <= y1 for x0, x1, y0, y1 in ranges):
                    listed.add(key)
        listed |= await self._bbox_keys(layer, boxes)
        listed.add(self.key(f"centroid:{layer}"))
        return await self._delete(listed)

    async def _bbox_keys(self, layer: str, boxes: list[tuple[float, float, float, float]]) -> set[str]:
        prefix = self.key(f"bbox:{layer}:")
        found = set()
        for key in await self._scan(prefix + "*"):
            parts = key[len(prefix):].split(":")
            try:
                bminx, bminy, bmaxx, bmaxy = (float(v) for v in parts[:4])
            except ValueError:
                found.add(key)  # unreadable corners: drop rather than serve it stale
                continue
            # The key holds the corners rounded to whole metres.
            if any(bminx - 0.5 <= maxx and minx <= bmaxx + 0.5 and bminy - 0.5 <= maxy and miny <= bmaxy + 0.5
                   for minx, miny, maxx, maxy in boxes):
                found.add(key)
        return found

    async def run(self, work: Work) -> int:
        self.stats.passes += 1
        deleted = 0
        for layer in sorted(work.whole):
            deleted += await self.flush_layer(layer)
        for layer, boxes in work.extents.items():
            if layer not in work.whole:
                deleted += await self.drop_extents(layer, boxes)
        return deleted


def default_dsn() -> str:
    import database

    url = database.database_url()
    scheme, rest = url.split("://", 1)
    return "postgresql://" + rest


def default_replica_dsn() -> str | None:
    import database

    url = database.replica_url()
    if url is None:
        return None
    return "postgresql://" + url.split("://", 1)[1]


class TileEditListener:
    """LISTENs for the triggers' notifications and drops what they touch, coalescing bursts."""

    def __init__(self, dsn: str | None = None, tessera=None, *, coalesce: float = 0.05,
                 redelete_after: float = REDELETE_AFTER, key_bound: int = ZOOM_KEY_BOUND,
                 standby_poll: float = 2.0, keepalive: float = 5.0, retry: float = 1.0, name: str = "",
                 replica_dsn: str | None = None, replica_wait: float = 10.0):
        if tessera is None:
            from ravn import tessera
        self.dsn = dsn or default_dsn()
        # Where the tiles are read from, when that is not the primary.
        self.replica_dsn = replica_dsn
        self.replica_wait = replica_wait
        self._replica: asyncpg.Connection | None = None
        self.invalidator = Invalidator(tessera, key_bound=key_bound)
        self.coalesce = coalesce
        self.redelete_after = redelete_after
        self.standby_poll = standby_poll
        self.keepalive = keepalive
        self.retry = retry
        self.name = name or f"pid {os.getpid()}"
        self.active = asyncio.Event()  # set while this listener holds the lock and listens
        self._pending = Work()
        self._wake = asyncio.Event()
        self._lost = asyncio.Event()
        self._task: asyncio.Task | None = None
        self._timers: set[asyncio.TimerHandle] = set()
        self._later: set[asyncio.Task] = set()  # the loop holds tasks only weakly

    @property
    def stats(self) -> Stats:
        return self.invalidator.stats

    def start(self) -> "TileEditListener":
        self._task = asyncio.get_running_loop().create_task(self._run(), name="tile-edits")
        return self

    async def stop(self) -> None:
        for timer in self._timers:
            timer.cancel()
        self._timers.clear()
        for task in list(self._later):
            task.cancel()
        if self._task is not None:
            task, self._task = self._task, None
            # On 3.11 a cancellation can be lost: asyncio.wait_for returns a result that
            # arrived together with it. A listener that goes on would hold shutdown for
            # ever, so the cancellation is repeated until the task has ended.
            task.cancel()
            while not (await asyncio.wait({task}, timeout=STOP_GRACE))[0]:
                log.warning("tile edits (%s): the listener outlived its cancellation; cancelling again", self.name)
                task.cancel()
            if not task.cancelled() and task.exception() is not None:
                log.warning("tile edits (%s): the listener ended with %r", self.name, task.exception())
        self._drop_replica()

    def _drop_replica(self) -> None:
        if self._replica is not None:
            self._replica.terminate()
            self._replica = None

    def _queue(self, work: Work) -> None:
        self._pending.merge(work)
        self._wake.set()

    def _on_notify(self, connection, pid, channel, payload) -> None:
        parsed = parse_notification(payload)
        self.stats.notifications += 1
        if parsed is not None:
            work = Work()
            work.add(*parsed)
            self._queue(work)

    def _on_lost(self, connection) -> None:
        self._lost.set()

    async def _run(self) -> None:
        # A listener that waited for the lock, or lost its connection, cannot know what it missed.
        missed_something = False
        while True:
            conn = None
            try:
                conn = await asyncpg.connect(self.dsn, server_settings={"application_name": "ravn tile edits"})
                conn.add_termination_listener(self._on_lost)
                while not await conn.fetchval("SELECT pg_try_advisory_lock($1)", LOCK_KEY):
                    missed_something = True
                    await asyncio.sleep(self.standby_poll)
                self._lost.clear()
                await conn.add_listener(CHANNEL, self._on_notify)
                if missed_something:
                    self.stats.takeovers += 1
                    log.warning("tile edits (%s): listening again after a gap; edits made meanwhile are "
                                "unknown, so every layer's cached tiles are dropped", self.name)
                    whole = Work(whole=set(LAYERS))
                    self._queue(whole)
                else:
                    log.info("tile edits (%s): listening for edits of the layer tables", self.name)
                self.active.set()
                await self._serve(conn)
            except asyncio.CancelledError:
                raise
            except Exception as exc:  # noqa: BLE001 - any failure: reconnect and drop whole layers
                log.warning("tile edits (%s): connection lost (%s: %s); reconnecting", self.name,
                            type(exc).__name__, exc)
            finally:
                self.active.clear()
                # Nothing awaited here: a cancelled listener must end at once. Closing the
                # socket ends the session, and with it the lock.
                if conn is not None:
                    conn.terminate()
            missed_something = True
            await asyncio.sleep(self.retry)

    async def _serve(self, conn: asyncpg.Connection) -> None:
        while True:
            waker = asyncio.ensure_future(self._wake.wait())
            lost = asyncio.ensure_future(self._lost.wait())
            try:
                done, _ = await asyncio.wait({waker, lost}, timeout=self.keepalive,
                                             return_when=asyncio.FIRST_COMPLETED)
            finally:
                waker.cancel()
                lost.cancel()
            if self._lost.is_set():
                raise ConnectionError("listening connection closed")
            if not done:
                async with asyncio.timeout(self.keepalive):
                    await conn.fetchval("SELECT 1")
                continue
            # A burst of edits (a script's many statements) becomes one pass.
            await asyncio.sleep(self.coalesce)
            self._wake.clear()
            work, self._pending = self._pending, Work()
            if work:
                await self._replayed(conn)
                await self._process(work, again=True)

    async def _replayed(self, primary: asyncpg.Connection) -> None:
        """Returns once the replica has replayed all the WAL the primary holds now (the edits
        just notified are in it), or once replica_wait has passed; without a replica, at once."""
        if self.replica_dsn is None:
            return
        # The insert position, not the write one: with synchronous_commit off the commit
        # record may not be written yet, and it must be covered.
        target = await primary.fetchval("SELECT pg_current_wal_insert_lsn()::text")
        self.stats.replica_waits += 1
        loop = asyncio.get_running_loop()
        started = loop.time()
        deadline = started + self.replica_wait
        where, trouble = "unknown", ""
        while True:
            left = deadline - loop.time()
            try:
                replica = self._replica
                async with asyncio.timeout(max(left, REPLICA_POLL)):
                    if replica is None or replica.is_closed():
                        replica = self._replica = await asyncpg.connect(
                            self.replica_dsn, server_settings={"application_name": "ravn tile edits"})
                    assert replica is not None
                    row = await replica.fetchrow(
                        "SELECT pg_last_wal_replay_lsn()::text AS at, "
                        "pg_last_wal_replay_lsn() >= $1::text::pg_lsn AS done", target)
                trouble = ""
                if row["at"] is None:
                    # Not in recovery (promoted, or not a replica): it holds all it will ever hold.
                    return
                where = row["at"]
                if row["done"]:
                    waited = loop.time() - started
                    if waited > 1.0:
                        log.info("tile edits: the replica replayed the edits after %.1f s", waited)
                    return
            except asyncio.CancelledError:
                raise
            except Exception as exc:  # noqa: BLE001 - an unreachable replica is waited for like a late one
                self._drop_replica()
                trouble = f" ({type(exc).__name__}: {exc})"
            if loop.time() >= deadline:
                break
            await asyncio.sleep(min(REPLICA_POLL, max(deadline - loop.time(), 0)))
        self.stats.replica_late += 1
        log.warning("tile edits: the replica has not replayed the edits within %.1f s (replayed to %s, primary at "
                    "%s)%s; dropping their cached tiles anyway, so a request may cache the old rows again until "
                    "the second pass or the tile's lifetime", self.replica_wait, where, target, trouble)

    async def _process(self, work: Work, again: bool) -> None:
        try:
            deleted = await self.invalidator.run(work)
            log.debug("tile edits: %d cache entries dropped", deleted)
        except Exception as exc:  # noqa: BLE001 - a Redis failure must not end the listener
            log.warning("tile edits: could not drop cached tiles: %s: %s", type(exc).__name__, exc)
        if again and self.redelete_after >= 0:
            loop = asyncio.get_running_loop()
            handle: asyncio.TimerHandle | None = None

            def later() -> None:
                self._timers.discard(handle)
                task = loop.create_task(self._process(work, again=False))
                self._later.add(task)
                task.add_done_callback(self._later.discard)

            handle = loop.call_later(self.redelete_after, later)
            self._timers.add(handle)


def start(tessera=None) -> TileEditListener | None:
    """The application's listener, unless TILE_EDITS=0."""
    if os.environ.get("TILE_EDITS", "1") == "0":
        log.info("tile edits: listener disabled (TILE_EDITS=0)")
        return None
    from service import deployment

    return TileEditListener(tessera=tessera, replica_dsn=default_replica_dsn(),
                            replica_wait=deployment.settings().replica_wait).start()


async def stop(listener: TileEditListener | None) -> None:
    if listener is not None:
        await listener.stop()
