"""Plan documents for download: the deed plan and the site plan of a parcel as PDF.

The HTTP routes and the command line share these functions. A parcel is checked
before anything is drawn, so a request that cannot make a plan gets a clear
answer (404 unknown parcel, 422 unusable data or missing fields) instead of an
error from deep inside the renderer, and the PDF is complete in memory before a
byte of it is delivered.
"""
from __future__ import annotations

from fastapi import APIRouter, Depends, HTTPException, Query
from fastapi.responses import Response
from geoalchemy2.shape import to_shape
from sqlalchemy import func, select
from sqlalchemy.ext.asyncio import AsyncSession

from database import get_db
from helpers.responses import api_response, api_router_response
from models.gis_model import BEACON, BOUNDARY, PLOT
from ravn.planwork import PlanImageGenerator

DEED_FIELDS = ("person_name", "district", "cadzone", "file_no")


class PlanError(Exception):
    """A plan that cannot be made, with the HTTP status that says why."""

    def __init__(self, status_code: int, detail: str):
        super().__init__(detail)
        self.status_code = status_code
        self.detail = detail


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


def check_deed_fields(**fields: str | None) -> dict[str, str]:
    missing = [name for name in DEED_FIELDS if not (fields.get(name) or "").strip()]
    if missing:
        raise PlanError(422, "Missing deed plan field(s): " + ", ".join(missing))
    return {name: fields[name].strip() for name in DEED_FIELDS}


def deed_plan_filename(plot_id: int) -> str:
    return f"DeedPlan_{plot_id}.pdf"


async def deed_plan(db: AsyncSession, plot_id: int, person_name: str | None, district: str | None,
                    cadzone: str | None, file_no: str | None) -> bytes:
    fields = check_deed_fields(person_name=person_name, district=district, cadzone=cadzone, file_no=file_no)
    await check_parcel(db, plot_id)
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


router = APIRouter(prefix="/plans", tags=["Plan documents"])


@router.get("/{plot_id}/siteplan.pdf", response_class=Response,
            responses={200: {"content": {"application/pdf": {}}}, 404: {}, 422: {}})
async def get_site_plan(plot_id: int, db: AsyncSession = Depends(get_db)) -> Response:
    """The site plan of a parcel as an A4 PDF attachment."""
    try:
        return api_router_response(await site_plan(db, plot_id))
    except PlanError as e:
        raise HTTPException(status_code=e.status_code, detail=e.detail) from None


@router.get("/{plot_id}/deedplan.pdf", response_class=Response,
            responses={200: {"content": {"application/pdf": {}}}, 404: {}, 422: {}})
async def get_deed_plan(
    plot_id: int,
    person_name: str = Query(..., description="Name of the grantee, printed in capitals"),
    district: str = Query(..., description="District of the parcel"),
    cadzone: str = Query(..., description="Cadastral zone of the parcel"),
    file_no: str = Query(..., description="Registry file number"),
    db: AsyncSession = Depends(get_db),
) -> Response:
    """The deed plan of a parcel as an A4 PDF attachment; its tracing number comes from the parcel record."""
    try:
        pdf = await deed_plan(db, plot_id, person_name, district, cadzone, file_no)
    except PlanError as e:
        raise HTTPException(status_code=e.status_code, detail=e.detail) from None
    return api_router_response(api_response(file=pdf, filename=deed_plan_filename(plot_id)))
