"""Parcels of the sample database as the plan documents hand them to the map module.

Reads through the host's models: the parcel, its neighbours within 50 m, the three
nearest roads, and every parcel's boundary legs with their beacons, in the shape of
the nearby result (plot, beacon and road entries). Also picks three sample parcels
whose maps show the interesting cases: a rectangle, a parcel with a reflex corner,
and a corner lot between roads.
"""
from __future__ import annotations


from geoalchemy2.functions import ST_Distance, ST_DWithin  # noqa: E402
from geoalchemy2.shape import to_shape  # noqa: E402
from sqlalchemy import select, text  # noqa: E402

from models.gis_model import BEACON, BOUNDARY, PLOT, ROAD  # noqa: E402

BUFFER_M = 50

# Rectangle: four legs, fills its oriented envelope. Reflex corner: an L (six or more
# corners, clearly short of its envelope). Road: the parcel closest to three roads.
SAMPLE_QUERIES = {
    "rectangle": """
        SELECT p."ID" FROM "GIS"."PLOT" p
        WHERE ST_NPoints(p."GEOMETRY") = 5
          AND ST_Area(p."GEOMETRY") / ST_Area(ST_OrientedEnvelope(p."GEOMETRY")) > 0.9999
          AND (SELECT count(*) FROM "GIS"."BOUNDARY" b WHERE b."PLOTID" = p."ID") = 4
        ORDER BY p."ID" LIMIT 1""",
    "reflex": """
        SELECT p."ID" FROM "GIS"."PLOT" p
        WHERE ST_NPoints(p."GEOMETRY") >= 7
          AND ST_Area(p."GEOMETRY") / ST_Area(ST_OrientedEnvelope(p."GEOMETRY")) < 0.8
        ORDER BY p."ID" LIMIT 1""",
    "road": """
        SELECT p."ID" FROM "GIS"."PLOT" p JOIN "GIS"."ROAD" r ON ST_DWithin(p."GEOMETRY", r."GEOMETRY", 50)
        GROUP BY p."ID" HAVING count(*) >= 3
        ORDER BY sum(ST_Distance(p."GEOMETRY", r."GEOMETRY")), p."ID" LIMIT 1""",
}


async def sample_parcel_ids(session) -> dict[str, int]:
    ids = {}
    for kind, sql in SAMPLE_QUERIES.items():
        ids[kind] = (await session.execute(text(sql))).scalar_one()
    return ids


async def _plot_entry(session, plot) -> dict:
    legs = (await session.execute(
        select(BOUNDARY).where(BOUNDARY.plotid == plot.id).order_by(BOUNDARY.seq))).scalars().all()
    boundary = []
    for b in legs:
        beacon = (await session.execute(select(BEACON).where(BEACON.id == b.beacon1id))).scalar()
        boundary.append({
            "beacon_id": beacon.id,
            "beacon_name": beacon.beacon_no,
            "geometry": to_shape(beacon.geometry).__geo_interface__,
            "distance_to_next": b.length,
            "bearing_to_next": f"{b.angledeg}°{b.anglemin}'",
            "bearing_deg_to_next": f"{b.angledeg}°",
            "bearing_min_to_next": f"{b.anglemin}'",
        })
    return {
        "id": plot.id,
        "name": plot.plot_no,
        "area": plot.area_system,
        "file_no": plot.file_no,
        "geometry": to_shape(plot.geometry).__geo_interface__,
        "boundary": boundary,
        "surveyed_by": plot.surveyed_by,
        "address": plot.address.upper() if plot.address else "",
        "plan_layout_no": plot.plan_layout_no,
    }


async def plot_with_nearby(session, plot_id: int) -> dict:
    """{"plots": [...], "roads": [...] or None} for one parcel, as the plan documents build it."""
    reference = await session.get(PLOT, plot_id)
    if not reference:
        return {"plots": [], "roads": None}
    plots = (await session.execute(
        select(PLOT).where(ST_DWithin(PLOT.geometry, reference.geometry, BUFFER_M)).order_by(PLOT.id))).scalars().all()
    roads = (await session.execute(
        select(ROAD).where(ST_DWithin(ROAD.geometry, reference.geometry, BUFFER_M))
        .order_by(ST_Distance(reference.geometry, ROAD.geometry)).limit(3))).scalars().all()
    entries = [await _plot_entry(session, plot) for plot in plots]
    road_entries = [{"name": r.road_name, "geometry": to_shape(r.geometry).__geo_interface__} for r in roads]
    return {"plots": entries, "roads": road_entries or None}


async def load_samples(database_url: str) -> dict[str, tuple[int, dict]]:
    """The three sample parcels: kind -> (parcel id, nearby result)."""
    from sqlalchemy.ext.asyncio import create_async_engine, AsyncSession

    engine = create_async_engine(database_url)
    try:
        async with AsyncSession(engine) as session:
            ids = await sample_parcel_ids(session)
            return {kind: (pid, await plot_with_nearby(session, pid)) for kind, pid in ids.items()}
    finally:
        await engine.dispose()
