"""Plan documents for download: the deed plan and the site plan of a parcel as PDF.

The HTTP routes and the command line share these functions. A parcel is checked
before anything is drawn, so a request that cannot make a plan gets a clear
answer (404 unknown parcel, 422 unusable data or missing fields) instead of an
error from deep inside the renderer, and the PDF is complete in memory before a
byte of it is delivered.
"""
from __future__ import annotations

import asyncio
import contextlib

from fastapi import APIRouter, Depends, HTTPException, Path, Query, Request
from fastapi.responses import Response
from geoalchemy2.shape import to_shape
from sqlalchemy import func, select
from sqlalchemy.ext.asyncio import AsyncSession

import deployment
import issue_log
from database import get_db, get_engine
from logger import get_logger
from ravn import tessera
from security import require_token
from helpers.responses import api_response, api_router_response
from models.gis_model import BEACON, BOUNDARY, PLOT
from ravn.planwork import PlanImageGenerator

DEED_FIELDS = ("person_name", "district", "cadzone", "file_no")
log = get_logger()


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


class PlanGate:
    """Who may ask for plans, and how many at once: each plan holds a CPU for its
    map and PDF, so every worker serves a bounded queue of them, and each client a
    bounded number a minute (counted in Redis, across workers and servers)."""

    def __init__(self):
        self.waiting = 0
        self.rendering = asyncio.Semaphore(1)

    async def admit(self, request: Request) -> str:
        config = deployment.settings()
        require_token(request, config.plan_token, "Plan downloads", "PLAN_TOKEN")
        client = request.client.host if request.client else "unknown"
        key = f"rate_limit:plans:{client}"
        try:
            count = await tessera.redis_client.incr(key)
            if count == 1:
                await tessera.redis_client.expire(key, 60)
        except Exception as e:  # noqa: BLE001 - a cache outage must not stop the registry's work
            log.warning("Plan rate limit check failed: %s", e)
            count = 0
        if count > config.plan_rate_per_minute:
            raise HTTPException(status_code=429, detail="Too many plans requested; try again in a minute",
                                headers={"Retry-After": "60"})
        if self.waiting >= config.plan_queue_limit:
            raise HTTPException(status_code=503, detail="Too many plans in progress; try again shortly",
                                headers={"Retry-After": "5"})
        return client

    @contextlib.asynccontextmanager
    async def turn(self):
        self.waiting += 1
        try:
            async with self.rendering:
                yield
        finally:
            self.waiting -= 1


gate = PlanGate()


async def admitted(request: Request) -> str:
    return await gate.admit(request)


async def issue(client: str, plot_id: int, document: str, particulars: dict, pdf: bytes) -> str:
    """Puts the PDF on the register; a plan the register does not hold is not handed out."""
    try:
        return await issue_log.record(get_engine(), client=client, parcel_id=plot_id, document=document,
                                      particulars=particulars, pdf=pdf)
    except Exception as e:  # noqa: BLE001 - any failure to record withholds the document
        log.error("Plan %s of parcel %s not issued: the issue log could not record it: %s", document, plot_id, e)
        raise HTTPException(status_code=503, detail="The plan could not be recorded in the issue log") from None


router = APIRouter(prefix="/plans", tags=["Plan documents"])


@router.get("/{plot_id}/siteplan.pdf", response_class=Response,
            responses={200: {"content": {"application/pdf": {}}}, 404: {}, 422: {}})
async def get_site_plan(plot_id: int, db: AsyncSession = Depends(get_db),
                        client: str = Depends(admitted)) -> Response:
    """The site plan of a parcel as an A4 PDF attachment."""
    try:
        async with gate.turn():
            answer = await site_plan(db, plot_id)
    except PlanError as e:
        raise HTTPException(status_code=e.status_code, detail=e.detail) from None
    sha256 = await issue(client, plot_id, "site", {}, answer["file"].getvalue())
    response = api_router_response(answer)
    response.headers["X-Document-SHA256"] = sha256
    return response


@router.get("/{plot_id}/deedplan.pdf", response_class=Response,
            responses={200: {"content": {"application/pdf": {}}}, 404: {}, 422: {}})
async def get_deed_plan(
    plot_id: int,
    person_name: str = Query(..., description="Name of the grantee, printed in capitals"),
    district: str = Query(..., description="District of the parcel"),
    cadzone: str = Query(..., description="Cadastral zone of the parcel"),
    file_no: str = Query(..., description="Registry file number"),
    db: AsyncSession = Depends(get_db),
    client: str = Depends(admitted),
) -> Response:
    """The deed plan of a parcel as an A4 PDF attachment; its tracing number comes from the parcel record."""
    try:
        async with gate.turn():
            pdf = await deed_plan(db, plot_id, person_name, district, cadzone, file_no)
    except PlanError as e:
        raise HTTPException(status_code=e.status_code, detail=e.detail) from None
    particulars = {"person_name": person_name, "district": district, "cadzone": cadzone, "file_no": file_no}
    sha256 = await issue(client, plot_id, "deed", particulars, pdf)
    response = api_router_response(api_response(file=pdf, filename=deed_plan_filename(plot_id)))
    response.headers["X-Document-SHA256"] = sha256
    return response


@router.get("/issued/{sha256}")
async def issued_plans(sha256: str = Path(..., pattern="^[0-9a-fA-F]{64}$"),
                       client: str = Depends(admitted)) -> dict:
    """Whether the registry issued the PDF with this SHA-256: every issue of it, oldest first."""
    records = await issue_log.issued(get_engine(), sha256)
    if not records:
        raise HTTPException(status_code=404, detail="No plan with this SHA-256 was issued here")
    return {"sha256": sha256.lower(), "issues": records}
