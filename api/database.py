"""Async database access for the API.

DATABASE_URL wins; otherwise the URL is built from the PG* settings
(services.env at the repository root supplies local defaults).
"""
from __future__ import annotations

import asyncio
import os
import weakref
from pathlib import Path
from typing import AsyncIterator
from urllib.parse import quote

import logging

from dotenv import load_dotenv
from sqlalchemy.ext.asyncio import AsyncEngine, AsyncSession, async_sessionmaker, create_async_engine

from service import deployment

REPO_ROOT = Path(__file__).resolve().parent.parent
load_dotenv(REPO_ROOT / "services.env", override=False)
_log = logging.getLogger("landrecords.database")


def database_url() -> str:
    url = os.environ.get("DATABASE_URL")
    if url:
        scheme, rest = url.split("://", 1)
        if scheme in ("postgres", "postgresql"):
            return "postgresql+asyncpg://" + rest
        return url
    return "postgresql+asyncpg://{}:{}@{}:{}/{}".format(
        quote(os.environ.get("PGUSER", "ravn"), safe=""),
        quote(os.environ.get("PGPASSWORD", ""), safe=""),
        os.environ.get("PGHOST", "127.0.0.1"),
        os.environ.get("PGPORT", "5432"),
        quote(os.environ.get("PGDATABASE", "ravn"), safe=""),
    )


# asyncpg connections belong to the event loop that opened them, so each loop
# (the server's one, or a test's) gets its own engine.
_engines: "weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, tuple[AsyncEngine, async_sessionmaker]]" = (
    weakref.WeakKeyDictionary()
)
_no_loop: dict[str, tuple[AsyncEngine, async_sessionmaker]] = {}


def _make() -> tuple[AsyncEngine, async_sessionmaker]:
    config = deployment.settings()
    engine = create_async_engine(
        database_url(),
        pool_size=config.db_pool_size,
        max_overflow=config.db_max_overflow,
        # Well below the queries' own time limits: a request that cannot get a
        # connection fails fast instead of queueing behind a locked table.
        pool_timeout=config.db_pool_timeout,
        pool_pre_ping=True,
    )
    return engine, async_sessionmaker(engine, expire_on_commit=False, class_=AsyncSession)


def _entry() -> tuple[AsyncEngine, async_sessionmaker]:
    try:
        loop = asyncio.get_running_loop()
    except RuntimeError:
        if "" not in _no_loop:
            _no_loop[""] = _make()
        return _no_loop[""]
    entry = _engines.get(loop)
    if entry is None:
        entry = _engines[loop] = _make()
    return entry


def get_engine() -> AsyncEngine:
    return _entry()[0]


def get_sessionmaker() -> async_sessionmaker:
    return _entry()[1]


def SessionLocal() -> AsyncSession:
    return get_sessionmaker()()


# Sessions that came back from a request as good as new, per session factory (so per
# event loop), for the next request. Making one and closing it costs a cached tile
# more than the tile router itself.
_IDLE_SESSIONS = 64
_idle: "weakref.WeakKeyDictionary[async_sessionmaker, list[AsyncSession]]" = weakref.WeakKeyDictionary()


def _as_new(session: AsyncSession) -> bool:
    """Holds no transaction (so no connection), no objects and nothing a request left on it."""
    return (not session.in_transaction() and not session.identity_map and not session.new
            and not session.deleted and not session.info)


async def get_db() -> AsyncIterator[AsyncSession]:
    """FastAPI dependency: one session per request.

    The session takes a pool connection at its first statement, so a request that
    runs none (a cached tile) never touches the pool. A session that comes back as
    good as new (unused, or closed by the request's transaction) serves a later
    request; any other is closed."""
    maker = get_sessionmaker()
    idle = _idle.get(maker)
    if idle is None:
        idle = _idle[maker] = []
    session = idle.pop() if idle else maker()
    try:
        yield session
    finally:
        if _as_new(session) and len(idle) < _IDLE_SESSIONS:
            idle.append(session)
        else:
            await _close(session)


async def _close(session: AsyncSession) -> None:
    # A connection that died under the session (server restart, network) makes
    # close() fail; the request has its answer already, so drop the connection
    # from the pool and say so in one line instead of an unhandled traceback.
    try:
        await session.close()
    except Exception as exc:  # noqa: BLE001 - whatever the driver raises for a dead connection
        _log.warning("Database session closed on a broken connection: %s", exc)
        try:
            await session.invalidate()
        except Exception:  # noqa: BLE001 - nothing more can be done for it
            pass


async def dispose_engine() -> None:
    """Close the current loop's pool (shutdown, or the end of a test)."""
    try:
        loop = asyncio.get_running_loop()
    except RuntimeError:
        loop = None
    entry = _engines.pop(loop, None) if loop is not None else None
    if entry is None:
        entry = _no_loop.pop("", None)
    if entry is not None:
        await entry[0].dispose()
