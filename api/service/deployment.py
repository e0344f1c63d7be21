"""The host's deployment settings, read from the environment once at start-up.

Every setting has a default that suits one machine; docs/operations.md lists them
with what they are for. Variables already set in the environment win over
services.env."""
from __future__ import annotations

import os
from dataclasses import dataclass
from pathlib import Path

from dotenv import load_dotenv

load_dotenv(Path(__file__).resolve().parents[2] / "services.env", override=False)


def _number(name: str, default: float, kind=float):
    raw = os.environ.get(name, "").strip()
    if not raw:
        return kind(default)
    try:
        value = kind(raw)
    except ValueError:
        raise ValueError(f"{name} must be a number, not {raw!r}") from None
    if value < 0:
        raise ValueError(f"{name} must not be negative, not {raw!r}")
    return value


@dataclass(frozen=True)
class Settings:
    admin_token: str            # bearer token of the cache-invalidation route; empty: the route is closed
    plan_token: str             # bearer token of the plan downloads; empty: the routes are closed
    plan_rate_per_minute: int   # plans one client may ask for in a minute
    plan_queue_limit: int       # plans being made or waiting, across all clients, before 503
    issued_rate_per_minute: int  # register lookups (GET /plans/issued/...) one client may make in a minute
    db_pool_size: int
    db_max_overflow: int
    db_pool_timeout: float      # seconds a request waits for a database connection
    readiness_timeout: float    # seconds each readiness probe may take
    gzip_level: int             # compression level of text answers and tiles; 0: no compression
    gzip_minimum_size: int      # bytes below which an answer is sent uncompressed
    plan_processes: int         # processes per worker that draw plans, off the event loop
    plan_nice: int              # niceness of those processes: tiles first when the cores are busy
    replica_wait: float         # seconds the edit listener waits for the read replica to replay an edit


def settings() -> Settings:
    return Settings(
        admin_token=os.environ.get("ADMIN_TOKEN", "").strip(),
        plan_token=os.environ.get("PLAN_TOKEN", "").strip(),
        plan_rate_per_minute=_number("PLAN_RATE_PER_MINUTE", 10, int),
        plan_queue_limit=_number("PLAN_QUEUE_LIMIT", 4, int),
        issued_rate_per_minute=_number("ISSUED_RATE_PER_MINUTE", 30, int),
        db_pool_size=_number("DB_POOL_SIZE", 10, int),
        db_max_overflow=_number("DB_MAX_OVERFLOW", 10, int),
        db_pool_timeout=_number("DB_POOL_TIMEOUT", 3.0),
        readiness_timeout=_number("READINESS_TIMEOUT", 2.0),
        gzip_level=min(_number("GZIP_LEVEL", 1, int), 9),
        gzip_minimum_size=_number("GZIP_MINIMUM_SIZE", 1024, int),
        plan_processes=max(_number("PLAN_PROCESSES", 1, int), 1),
        plan_nice=min(max(_number("PLAN_NICE", 10, int), 0), 19),
        replica_wait=_number("REPLICA_WAIT", 10.0),
    )
