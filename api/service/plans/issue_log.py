"""The register of issued plan documents: one row per PDF handed out, with the
SHA-256 of its bytes, so that the registry can later say whether a given PDF
came from it, for which parcel, to whom and when."""
from __future__ import annotations

import hashlib
import json

from sqlalchemy import text
from sqlalchemy.ext.asyncio import AsyncEngine

SCHEMA = [
    "CREATE SCHEMA IF NOT EXISTS registry",
    """CREATE TABLE IF NOT EXISTS registry.plan_issues (
        id          bigserial PRIMARY KEY,
        issued_at   timestamptz NOT NULL DEFAULT now(),
        client      text NOT NULL,
        parcel_id   integer NOT NULL,
        document    text NOT NULL CHECK (document IN ('deed', 'site')),
        particulars jsonb NOT NULL,
        sha256      char(64) NOT NULL,
        bytes       integer NOT NULL
    )""",
    "CREATE INDEX IF NOT EXISTS plan_issues_sha256 ON registry.plan_issues (sha256)",
]
_ready: set[int] = set()
# How long a write to the register may wait (a lock, a stalled disk) before the plan is withheld.
TIMEOUT_MS = 2000


async def _limit(conn) -> None:
    await conn.execute(text(f"SET LOCAL statement_timeout = {int(TIMEOUT_MS)}"))


async def _ensure(engine: AsyncEngine) -> None:
    if id(engine) in _ready:
        return
    async with engine.begin() as conn:
        await _limit(conn)
        for statement in SCHEMA:
            await conn.execute(text(statement))
    _ready.add(id(engine))


def digest(pdf: bytes) -> str:
    return hashlib.sha256(pdf).hexdigest()


async def record(engine: AsyncEngine, *, client: str, parcel_id: int, document: str, particulars: dict,
                 pdf: bytes) -> str:
    """Writes the row and returns the PDF's SHA-256. Raises if it cannot: a plan that is
    not on the register is not handed out."""
    await _ensure(engine)
    sha256 = digest(pdf)
    async with engine.begin() as conn:
        await _limit(conn)
        await conn.execute(text(
            "INSERT INTO registry.plan_issues (client, parcel_id, document, particulars, sha256, bytes) "
            "VALUES (:client, :parcel_id, :document, CAST(:particulars AS jsonb), :sha256, :bytes)"),
            {"client": client, "parcel_id": parcel_id, "document": document,
             "particulars": json.dumps(particulars, ensure_ascii=False), "sha256": sha256, "bytes": len(pdf)})
    return sha256


async def issued(engine: AsyncEngine, sha256: str) -> list[dict]:
    """Every issue of the PDF with this SHA-256, oldest first."""
    await _ensure(engine)
    async with engine.connect() as conn:
        rows = (await conn.execute(text(
            "SELECT issued_at, client, parcel_id, document, particulars, bytes FROM registry.plan_issues "
            "WHERE sha256 = :sha256 ORDER BY issued_at, id"), {"sha256": sha256.lower()})).mappings().all()
    return [{**row, "issued_at": row["issued_at"].isoformat()} for row in rows]
