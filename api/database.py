"""Async database access for the API.

DATABASE_URL wins; otherwise the URL is built from the PG* settings
(services.env at the repository root supplies local defaults).

DATABASE_REPLICA_URL, when set, names a streaming replica of that database: the request
sessions (get_db, SessionLocal, session_scope: tiles and the plans' drawing) read from it,
while get_engine() stays on the primary (the plan register writes through it), as does the
edit listener. Unset, both are the one primary engine.
"""
from __future__ import annotations

import asyncio
import os
import time
import weakref
from contextlib import asynccontextmanager
from pathlib import Path
from typing import AsyncIterator
from urllib.parse import quote

import logging

import anyio
from dotenv import load_dotenv
from starlette.requests import Request
from starlette.types import ASGIApp, Receive, Scope, Send
from sqlalchemy import event
from sqlalchemy import exc as exc_module
from sqlalchemy.ext.asyncio import AsyncEngine, AsyncSession, async_sessionmaker, create_async_engine

from service import deployment

REPO_ROOT = Path(__file__).resolve().parent.parent
load_dotenv(REPO_ROOT / "services.env", override=False)
_log = logging.getLogger("landrecords.database")


def _asyncpg(url: str) -> str:
    scheme, rest = url.split("://", 1)
    if scheme in ("postgres", "postgresql"):
        return "postgresql+asyncpg://" + rest
    return url


def database_url() -> str:
    url = os.environ.get("DATABASE_URL")
    if url:
        return _asyncpg(url)
    return "postgresql+asyncpg://{}:{}@{}:{}/{}".format(
        quote(os.environ.get("PGUSER", "ravn"), safe=""),
        quote(os.environ.get("PGPASSWORD", ""), safe=""),
        os.environ.get("PGHOST", "127.0.0.1"),
        os.environ.get("PGPORT", "5432"),
        quote(os.environ.get("PGDATABASE", "ravn"), safe=""),
    )


def replica_url() -> str | None:
    """The read replica's URL, or None when reads go to the primary."""
    url = os.environ.get("DATABASE_REPLICA_URL", "").strip()
    return _asyncpg(url) if url else None


# asyncpg connections belong to the event loop that opened them, so each loop
# (the server's one, or a test's) gets its own engine.
# An entry is (primary engine, request sessions' factory, the engine those sessions use).
_Entry = tuple[AsyncEngine, async_sessionmaker, AsyncEngine]
_engines: "weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, _Entry]" = weakref.WeakKeyDictionary()
_no_loop: dict[str, _Entry] = {}


def _engine(url: str) -> AsyncEngine:
    config = deployment.settings()
    engine = create_async_engine(
        url,
        pool_size=config.db_pool_size,
        max_overflow=config.db_max_overflow,
        # Well below the queries' own time limits: a request that cannot get a
        # connection fails fast instead of queueing behind a locked table.
        pool_timeout=config.db_pool_timeout,
    )
    ping_when_idle(engine, IDLE_PING_SECONDS)
    return engine


def _make() -> _Entry:
    engine = _engine(database_url())
    replica = replica_url()
    reads = _engine(replica) if replica else engine
    return engine, async_sessionmaker(reads, expire_on_commit=False, class_=AsyncSession), reads


# A connection that sat unused this long is pinged before it is handed out; one in
# steady use is not. Pinging every checkout costs a cold tile a round trip and about
# a tenth of its CPU. After a server restart the idle connections are found dead by
# their ping and replaced; one lent within the second fails its statement, and that
# disconnect makes the pool renew every connection older than it.
IDLE_PING_SECONDS = 1.0


def ping_when_idle(engine: AsyncEngine, idle_seconds: float) -> None:
    """Pessimistic disconnect handling for connections idle longer than `idle_seconds`;
    a failed ping makes the pool replace the connection (and, as a disconnect, renew
    every connection older than it)."""
    pool = engine.sync_engine.pool
    dialect = engine.sync_engine.dialect

    @event.listens_for(pool, "checkin")
    def returned(dbapi_connection, record) -> None:
        record.info[_RETURNED] = time.monotonic()

    @event.listens_for(pool, "checkout")
    def lent(dbapi_connection, record, proxy) -> None:
        returned_at = record.info.get(_RETURNED)
        if returned_at is None or time.monotonic() - returned_at < idle_seconds:
            return
        try:
            alive = dialect.do_ping(dbapi_connection)
        except Exception as exc:  # noqa: BLE001 - whatever the driver raises for a dead connection
            raise exc_module.DisconnectionError(str(exc)) from exc
        if alive is False:
            raise exc_module.DisconnectionError("the connection did not answer a ping")


_RETURNED = "ravn.returned"


def _entry() -> _Entry:
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
    """The primary's engine: writes, and reads that must see them at once."""
    return _entry()[0]


def get_read_engine() -> AsyncEngine:
    """The engine of the request sessions: the replica's when one is set, else the primary's."""
    return _entry()[2]


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


SESSIONS = "ravn.sessions"  # scope slot: the sessions a request was handed, released after its answer


def _lease() -> tuple[AsyncSession, list[AsyncSession]]:
    maker = get_sessionmaker()
    idle = _idle.get(maker)
    if idle is None:
        idle = _idle[maker] = []
    return (idle.pop() if idle else maker()), idle


async def _release(session: AsyncSession, idle: list[AsyncSession]) -> None:
    if _as_new(session) and len(idle) < _IDLE_SESSIONS:
        idle.append(session)
    else:
        await _close(session)


async def get_db(request: Request) -> AsyncSession:
    """FastAPI dependency: one session per request.

    A plain coroutine rather than a generator: FastAPI wraps a generator dependency in
    a context manager, an anyio cancel scope and an exit stack on every request, which
    costs a cached tile (that never runs a statement) more than the tile router itself.
    The session is released after the answer by SessionScope when the application has
    it, else by FastAPI's own per-request exit stack; either runs on errors too.

    The session takes a pool connection at its first statement, so a request that
    runs none never touches the pool. A session that comes back as good as new
    (unused, or closed by the request's transaction) serves a later request; any
    other is closed."""
    session, idle = _lease()
    held = request.scope.get(SESSIONS)
    if held is not None:
        held.append((session, idle))
    else:
        request.scope["fastapi_inner_astack"].push_async_callback(_release, session, idle)
    return session


@asynccontextmanager
async def session_scope() -> AsyncIterator[AsyncSession]:
    """One session outside a request (scripts, tests), released as a request's is."""
    session, idle = _lease()
    try:
        yield session
    finally:
        with anyio.CancelScope(shield=True):
            await _release(session, idle)


class SessionScope:
    """Releases the sessions get_db handed to a request once the request is over, however
    it ended. Cheaper than FastAPI's exit stack, and a hit's unused session goes back
    without an await."""

    def __init__(self, app: ASGIApp) -> None:
        self.app = app

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        held: list = []
        scope[SESSIONS] = held
        try:
            await self.app(scope, receive, send)
        finally:
            for session, idle in held:
                if _as_new(session) and len(idle) < _IDLE_SESSIONS:
                    idle.append(session)
                else:
                    # A cancelled request still closes what it used.
                    with anyio.CancelScope(shield=True):
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
        if entry[2] is not entry[0]:
            await entry[2].dispose()
