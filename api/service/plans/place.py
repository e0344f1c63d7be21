"""Where a parcel lies on the register: its cadastral zone (the parcel's "CADZONE")
and the district of that zone's "CadZones" row. The deed plan certifies both, and
the map's plan form shows them, so both read them here."""
from __future__ import annotations

from sqlalchemy import text

_PLACE = text(
    'SELECT p."CADZONE" AS cadzone, d."name" AS district '
    'FROM "GIS"."PLOT" p '
    'LEFT JOIN "GIS"."CadZones" z ON z."name" = p."CADZONE" '
    'LEFT JOIN "GIS"."Districts" d ON d."id" = z."district_id" '
    'WHERE p."ID" = :plot_id '
    'LIMIT 1'
)


async def recorded_place(conn, plot_id: int) -> dict | None:
    """{"cadzone": str | None, "district": str | None} of the parcel, or None if there is
    no such parcel. `conn` is an AsyncConnection or AsyncSession."""
    row = (await conn.execute(_PLACE, {"plot_id": plot_id})).mappings().first()
    return None if row is None else {"cadzone": row["cadzone"], "district": row["district"]}
