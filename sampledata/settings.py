"""Connection settings shared by the loader and the test helpers.

services.env at the repository root holds local defaults; variables already
set in the environment win.
"""
from __future__ import annotations

import os
from pathlib import Path
from urllib.parse import quote, unquote, urlsplit

from dotenv import dotenv_values

REPO_ROOT = Path(__file__).resolve().parent.parent
ENV_FILE = REPO_ROOT / "services.env"

DEFAULTS = {
    "PGHOST": "127.0.0.1",
    "PGPORT": "5432",
    "PGUSER": "ravn",
    "PGPASSWORD": "ravn",
    "PGDATABASE": "ravn",
    "PGDATABASE_TEST": "ravn_test",
    "REDIS_HOST": "127.0.0.1",
    "REDIS_PORT": "6379",
    "REDIS_DB": "0",
}


def settings() -> dict[str, str]:
    merged = dict(DEFAULTS)
    if ENV_FILE.exists():
        merged.update({k: v for k, v in dotenv_values(ENV_FILE).items() if v is not None})
    for key in set(merged) | {"DATABASE_URL"}:
        if key in os.environ:
            merged[key] = os.environ[key]
    return merged


def database_dsn(target: str | None = None) -> str:
    """libpq-style DSN for asyncpg from a database name, a URL, or None (the serve database)."""
    cfg = settings()
    if target and "://" in target:
        scheme, rest = target.split("://", 1)
        return "postgresql://" + rest if scheme.startswith("postgres") else target
    name = target or cfg["PGDATABASE"]
    return "postgresql://{}:{}@{}:{}/{}".format(
        quote(cfg["PGUSER"], safe=""),
        quote(cfg["PGPASSWORD"], safe=""),
        cfg["PGHOST"],
        cfg["PGPORT"],
        quote(name, safe=""),
    )


def database_name(dsn: str) -> str:
    return unquote(urlsplit(dsn).path.lstrip("/"))


def with_database(dsn: str, name: str) -> str:
    parts = urlsplit(dsn)
    return parts._replace(path="/" + quote(name, safe="")).geturl()
