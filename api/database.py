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

from dotenv import load_dotenv
from sqlalchemy.ext.asyncio import AsyncEngine, AsyncSession, async_sessionmaker, create_async_engine

REPO_ROOT = Path(__file__).resolve().parent.parent
load_dotenv(REPO_ROOT / "services.env", override=False)


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
    engine = create_async_engine(
        database_url(),
        pool_size=int(os.environ.get("DB_POOL_SIZE", "10")),
        max_overflow=int(os.environ.get("DB_MAX_OVERFLOW", "10")),
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


async def get_db() -> AsyncIterator[AsyncSession]:
    """FastAPI dependency: one session per request."""
    async with get_sessionmaker()() as session:
        yield session


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
