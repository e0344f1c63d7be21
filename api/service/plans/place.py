"""Where a parcel lies on the register: its cadastral zone (the parcel's "CADZONE")
and the district of that zone's "CadZones" row. The deed plan certifies both, and
the map's plan form shows them, so both read them here."""
from __future__ import annotations

from sqlalchemy import text

# Nothing in the schema makes a zone's name unique (zone letters repeat once a register
# has more than 26 local government areas), so among zones of the parcel's zone name the
# one that holds the parcel wins; a name alone decides only when no zone holds it.
_PLACE = text(
    'SELECT p."CADZONE" AS cadzone, d."name" AS district '
    'FROM "GIS"."PLOT" p '
    'LEFT JOIN "GIS"."CadZones" z ON z."name" = p."CADZONE" '
    'LEFT JOIN "GIS"."Districts" d ON d."id" = z."district_id" '
    'WHERE p."ID" = :plot_id '
    'ORDER BY (p."GEOMETRY" IS NOT NULL AND NOT ST_IsEmpty(p."GEOMETRY") '
    'AND ST_Covers(z."geometry", ST_PointOnSurface(p."GEOMETRY"))) DESC NULLS LAST, z."id" '
    'LIMIT 1'
)


async def recorded_place(conn, plot_id: int) -> dict | None:
    """{"cadzone": str | None, "district": str | None} of the parcel, or None if there is
    no such parcel. `conn` is an AsyncConnection or AsyncSession."""
    row = (await conn.execute(_PLACE, {"plot_id": plot_id})).mappings().first()
    return None if row is None else {"cadzone": row["cadzone"], "district": row["district"]}
