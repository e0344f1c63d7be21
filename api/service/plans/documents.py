"""The plan documents themselves: checks, then the deed plan or site plan as PDF bytes.

This module imports only the database layer and the drawing modules, so the
process that draws plans for the web workers (see `render`) loads nothing of
the tile service.
"""
from __future__ import annotations

import asyncio
import os
import sys

from geoalchemy2.shape import to_shape
from sqlalchemy import func, select
from sqlalchemy.ext.asyncio import AsyncSession

import database
from logger import get_logger
from models.gis_model import BEACON, BOUNDARY, PLOT
from service.plans.place import recorded_place
# The checks that need no database live apart, so that a tool can refuse bad input at once.
from service.plans.checks import DEED_FIELDS, PARCEL_ID_MAX, PlanError, check_deed_fields, parcel_id  # noqa: F401
from ravn.planwork import PlanImageGenerator


async def check_parcel(db: AsyncSession, plot_id: int) -> None:
    """Raises PlanError unless the parcel exists and has what a plan is drawn from."""
    plot = await db.get(PLOT, plot_id)
    if plot is None:
        raise PlanError(404, f"Parcel {plot_id} not found")
    geometry = to_shape(plot.geometry) if plot.geometry is not None else None
    if geometry is None or geometry.is_empty or geometry.geom_type != "Polygon":
        kind = "no geometry" if geometry is None or geometry.is_empty else f"a {geometry.geom_type} geometry"
        raise PlanError(422, f"Parcel {plot_id} has {kind}; a plan needs a single polygon")
    legs, unmatched = (await db.execute(
        select(func.count(BOUNDARY.id), func.count(BOUNDARY.id).filter(BEACON.id.is_(None)))
        .select_from(BOUNDARY).outerjoin(BEACON, BEACON.id == BOUNDARY.beacon1id)
        .where(BOUNDARY.plotid == plot_id))).one()
    if legs == 0:
        raise PlanError(422, f"Parcel {plot_id} has no boundary legs; a plan needs its beacons and bearings")
    if unmatched:
        raise PlanError(422, f"Parcel {plot_id} has {unmatched} boundary leg(s) whose beacon is missing")


async def check_place(db, plot_id: int, district: str, cadzone: str) -> None:
    """Raises PlanError unless the district and zone named for the certificate are the
    parcel's recorded ones (letter case aside): a deed plan certifies them."""
    place = await recorded_place(db, plot_id)
    if place is None:
        raise PlanError(404, f"Parcel {plot_id} not found")
    if not place["cadzone"] or not place["district"]:
        raise PlanError(422, f"Parcel {plot_id} has no recorded cadastral zone and district; "
                             "a deed plan cannot certify them")
    wrong = [f"{name} is {recorded}, not {given}"
             for name, recorded, given in (("cadastral zone", place["cadzone"], cadzone),
                                           ("district", place["district"], district))
             if recorded.strip().casefold() != given.strip().casefold()]
    if wrong:
        raise PlanError(422, f"Parcel {plot_id} lies in cadastral zone {place['cadzone']} of district "
                             f"{place['district']}: its " + " and its ".join(wrong))


def deed_plan_filename(plot_id: int) -> str:
    return f"DeedPlan_{plot_id}.pdf"


async def deed_plan(db: AsyncSession, plot_id: int, person_name: str | None, district: str | None,
                    cadzone: str | None, file_no: str | None) -> bytes:
    fields = check_deed_fields(person_name=person_name, district=district, cadzone=cadzone, file_no=file_no)
    await check_parcel(db, plot_id)
    await check_place(db, plot_id, fields["district"], fields["cadzone"])
    stream = await PlanImageGenerator(db).generate_deedplan_html(plot_id, **fields)
    if stream is None:
        raise PlanError(404, f"Parcel {plot_id} not found")
    return stream.getvalue()


async def site_plan(db: AsyncSession, plot_id: int) -> dict:
    """The host's file answer ({"file": stream, "filename": ...})."""
    await check_parcel(db, plot_id)
    answer = await PlanImageGenerator(db).generate_siteplan_html(plot_id)
    if answer is None:
        raise PlanError(404, f"Parcel {plot_id} not found")
    return answer


async def document(kind: str, plot_id: int, fields: dict) -> tuple[bytes, str]:
    """A plan's PDF and file name, in a session of its own."""
    async with database.SessionLocal() as db:
        if kind == "site":
            answer = await site_plan(db, plot_id)
            return answer["file"].getvalue(), answer["filename"]
        return await deed_plan(db, plot_id, **fields), deed_plan_filename(plot_id)


# The drawing process keeps one event loop, so its connection pool lives from plan to plan.
_loop: asyncio.AbstractEventLoop | None = None


def render(kind: str, plot_id: int, fields: dict) -> tuple[bytes, str]:
    """Entry point in a drawing process: map and PDF are drawn synchronously, off the web workers' loop."""
    global _loop
    if _loop is None:
        _loop = asyncio.new_event_loop()
        asyncio.set_event_loop(_loop)
    return _loop.run_until_complete(document(kind, plot_id, fields))


def lower_priority(niceness: int) -> None:
    """A drawing process yields the CPU to the tile workers: a plan may take a little longer
    when the cores are busy, a cached tile should not."""
    if niceness > 0:
        os.nice(niceness)


def start_drawing_process(niceness: int) -> None:
    """Initializer of a drawing process: lower priority, and what the map module prints
    (the chosen scale, a bare number) goes to the log with its meaning."""
    lower_priority(niceness)
    sys.stdout = printed_lines()


def scale_line(line: str) -> str:
    return f"map scale 1:{line}" if line.isdigit() else line


def printed_lines():
    """A writer for sys.stdout around the drawing: each printed line is logged, a bare
    number as the map scale it is."""
    from service.printed import LoggedLines

    return LoggedLines(get_logger("landrecords.plans"), scale_line)


def warm() -> None:
    """Loads the drawing libraries in a fresh process before the first plan asks for them."""
