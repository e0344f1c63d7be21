"""Finding a parcel from the map: by plot number, file number, address or beacon name; and a
parcel's recorded zone and district, which the tiles do not carry, for the plan form.

Plot, file and beacon numbers match exactly or by prefix, whatever the case (btree indexes on
lower(...) with text_pattern_ops); addresses match anywhere in the text (a trigram index).
"""
from __future__ import annotations

import os

from fastapi import APIRouter, HTTPException, Path, Query, Request
from sqlalchemy import text

from service import limits
from database import get_engine
from service.plans.place import recorded_place
from ravn import tessera

router = APIRouter(tags=["Search"])

MAX_RESULTS = 20
MAX_QUERY = 100
WINDOW_SECONDS = 60


def rate_per_minute() -> int:
    return int(os.environ.get("SEARCH_RATE_PER_MINUTE", "120"))


def like_prefix(query: str) -> str:
    """A LIKE pattern matching text that starts with `query` as written (lower-cased)."""
    escaped = query.lower().replace("\\", "\\\\").replace("%", "\\%").replace("_", "\\_")
    return escaped + "%"


def like_anywhere(query: str) -> str:
    return "%" + like_prefix(query)


# Exact matches rank first, then prefixes, shorter (closer) before longer; the plot, file and
# beacon branches each use their lower(...) text_pattern_ops index, the address branch its
# trigram index. Every branch is capped so that one common prefix cannot crowd out the others.
_SEARCH = text(f"""
WITH hits AS (
  (SELECT 'plot' AS kind, p."ID" AS plot_id, p."PLOT_NO" AS label, p."ADDRESS" AS detail,
          (lower(p."PLOT_NO") = :exact)::int AS exact, length(p."PLOT_NO") AS len, 0 AS kind_rank,
          p."GEOMETRY" AS geom
     FROM "GIS"."PLOT" p WHERE lower(p."PLOT_NO") LIKE :prefix
    ORDER BY 5 DESC, 6, 3 LIMIT {MAX_RESULTS})
  UNION ALL
  (SELECT 'file', p."ID", p."file_no", p."ADDRESS", (lower(p."file_no") = :exact)::int, length(p."file_no"), 1,
          p."GEOMETRY"
     FROM "GIS"."PLOT" p WHERE lower(p."file_no") LIKE :prefix
    ORDER BY 5 DESC, 6, 3 LIMIT {MAX_RESULTS})
  UNION ALL
  (SELECT 'beacon', NULL, b."BEACON_NO", b."STATUS", (lower(b."BEACON_NO") = :exact)::int, length(b."BEACON_NO"),
          2, b."GEOMETRY"
     FROM "GIS"."BEACON" b WHERE lower(b."BEACON_NO") LIKE :prefix
    ORDER BY 5 DESC, 6, 3 LIMIT {MAX_RESULTS})
  UNION ALL
  (SELECT 'address', p."ID", p."ADDRESS", p."PLOT_NO", (lower(p."ADDRESS") = :exact)::int, length(p."ADDRESS"), 3,
          p."GEOMETRY"
     FROM "GIS"."PLOT" p WHERE p."ADDRESS" ILIKE :anywhere
    ORDER BY 5 DESC, 6, 3 LIMIT {MAX_RESULTS})
)
SELECT kind, plot_id, label, detail,
       ST_X(ST_Transform(ST_PointOnSurface(geom), 4326)) AS lon,
       ST_Y(ST_Transform(ST_PointOnSurface(geom), 4326)) AS lat,
       ST_XMin(box) AS west, ST_YMin(box) AS south, ST_XMax(box) AS east, ST_YMax(box) AS north
  FROM (SELECT *, ST_Transform(ST_Envelope(geom), 4326) AS box FROM hits) h
 ORDER BY exact DESC, kind_rank, len, label
 LIMIT {MAX_RESULTS}
""")


async def find(conn, query: str) -> list[dict]:
    rows = (await conn.execute(_SEARCH, {"exact": query.lower(), "prefix": like_prefix(query),
                                         "anywhere": like_anywhere(query)})).mappings().all()
    results = []
    for r in rows:
        found = {"kind": r["kind"], "label": r["label"], "detail": r["detail"], "plot_id": r["plot_id"],
                 "lon": round(r["lon"], 7), "lat": round(r["lat"], 7)}
        if r["kind"] != "beacon":
            found["bbox"] = [round(r[k], 7) for k in ("west", "south", "east", "north")]
        results.append(found)
    return results


def client_of(request: Request) -> str:
    return request.client.host if request.client else "unknown"


@router.get("/search")
async def search(request: Request, q: str = Query(..., min_length=1, max_length=MAX_QUERY,
                                                     description="plot number, file number, address or beacon")):
    """At most 20 parcels and beacons: exact plot, file and beacon numbers first, then those
    starting with the text, then addresses containing it."""
    await limits.enforce(tessera.redis_client, "search", client_of(request), rate_per_minute(), WINDOW_SECONDS,
                         "Too many searches; try again in a minute")
    query = q.strip()
    # No stored text holds a NUL, and PostgreSQL refuses one in a parameter.
    if not query or "\x00" in query:
        return {"query": query, "results": []}
    async with get_engine().connect() as conn:
        results = await find(conn, query)
    return {"query": query, "results": results}


@router.get("/parcels/{plot_id}/place")
async def parcel_place(request: Request, plot_id: int = Path(..., ge=1, le=2**31 - 1)) -> dict:
    """The parcel's recorded cadastral zone and district, as the deed plan certifies them."""
    await limits.enforce(tessera.redis_client, "search", client_of(request), rate_per_minute(), WINDOW_SECONDS,
                         "Too many requests; try again in a minute")
    async with get_engine().connect() as conn:
        place = await recorded_place(conn, plot_id)
    if place is None:
        raise HTTPException(status_code=404, detail=f"Parcel {plot_id} not found")
    return {"plot_id": plot_id, **place}
