"""Plan documents for download: the deed plan and the site plan of a parcel as PDF.

The routes draw with `documents` (which the command line uses too). A parcel is checked
before anything is drawn, so a request that cannot make a plan gets a clear
answer (404 unknown parcel, 422 unusable data or missing fields) instead of an
error from deep inside the renderer, and the PDF is complete in memory before a
byte of it is delivered.
"""
from __future__ import annotations

import asyncio
import concurrent.futures
import contextlib
import multiprocessing

from fastapi import APIRouter, HTTPException, Path, Query, Request
from fastapi.responses import Response

from service import deployment
from service.plans import issue_log
from service import limits
from service.plans import documents as plan_documents
from database import get_engine
from logger import get_logger
from service.plans.documents import (DEED_FIELDS, PlanError, check_deed_fields, check_parcel,  # noqa: F401
                            check_place, deed_plan, deed_plan_filename, site_plan)
from ravn import tessera
from service.security import require_token
from helpers.responses import api_response, api_router_response

log = get_logger()


class PlanRenderer:
    """Draws plans in processes of their own (spawned: the drawing library is not
    thread-safe, and a forked copy of a running server is not a clean start), so
    that a plan's map and PDF never hold up the tiles served on this worker's loop."""

    def __init__(self):
        self._executor: concurrent.futures.ProcessPoolExecutor | None = None

    def executor(self) -> concurrent.futures.ProcessPoolExecutor:
        if self._executor is None:
            config = deployment.settings()
            self._executor = concurrent.futures.ProcessPoolExecutor(
                max_workers=config.plan_processes, mp_context=multiprocessing.get_context("spawn"),
                initializer=plan_documents.start_drawing_process, initargs=(config.plan_nice,))
        return self._executor

    def start(self) -> None:
        """Starts the drawing processes now rather than on the first plan."""
        for _ in range(deployment.settings().plan_processes):
            self.executor().submit(plan_documents.warm)

    async def render(self, kind: str, plot_id: int, fields: dict) -> tuple[bytes, str]:
        loop = asyncio.get_running_loop()
        try:
            return await loop.run_in_executor(self.executor(), plan_documents.render, kind, plot_id, fields)
        except concurrent.futures.process.BrokenProcessPool:
            # A drawing process died (out of memory, killed): start afresh for the next plan.
            self.shutdown(wait=False)
            raise

    def shutdown(self, wait: bool = True) -> None:
        """Stops the drawing processes. At the server's shutdown it waits for them to exit:
        without that, a worker that exits first leaves them behind, orphaned."""
        if self._executor is not None:
            self._executor.shutdown(wait=wait, cancel_futures=True)
            self._executor = None


renderer = PlanRenderer()


class PlanGate:
    """Who may ask for plans, and how many at once: each plan holds a CPU for its
    map and PDF, so every worker serves a bounded queue of them, and each client a
    bounded number a minute (counted in Redis, across workers and servers)."""

    def __init__(self):
        self.waiting = 0
        self.rendering = asyncio.Semaphore(deployment.settings().plan_processes)

    async def admit(self, client: str) -> None:
        """503 when the queue is full, else 429 past the client's plans a minute. A request
        the queue refuses is not counted: it got no plan."""
        config = deployment.settings()
        if self.waiting >= config.plan_queue_limit:
            raise HTTPException(status_code=503, detail="Too many plans in progress; try again shortly",
                                headers={"Retry-After": "5"})
        await limits.enforce(tessera.redis_client, "plans", client, config.plan_rate_per_minute, 60,
                             "Too many plans requested; try again in a minute")

    @contextlib.asynccontextmanager
    async def turn(self):
        self.waiting += 1
        try:
            async with self.rendering:
                yield
        finally:
            self.waiting -= 1


gate = PlanGate()


def client_of(request: Request) -> str:
    return request.client.host if request.client else "unknown"


def staff(request: Request) -> str:
    """Plans need the registry staff's token; returns the client's address."""
    require_token(request, deployment.settings().plan_token, "Plan downloads", "PLAN_TOKEN")
    return client_of(request)


def requested_parcel(plot_id: str) -> int:
    try:
        return plan_documents.parcel_id(plot_id)
    except PlanError as e:
        raise HTTPException(status_code=e.status_code, detail=e.detail) from None


async def issue(client: str, plot_id: int, document: str, particulars: dict, pdf: bytes) -> str:
    """Puts the PDF on the register; a plan the register does not hold is not handed out.
    The insert has a time limit of its own, so a locked register answers 503 at once
    instead of piling up requests that each hold a database connection."""
    try:
        return await issue_log.record(get_engine(), client=client, parcel_id=plot_id, document=document,
                                      particulars=particulars, pdf=pdf)
    except Exception as e:  # noqa: BLE001 - any failure to record withholds the document
        log.error("Plan %s of parcel %s not issued: the issue log could not record it: %s", document, plot_id, e)
        raise HTTPException(status_code=503, detail="The plan could not be recorded in the issue log",
                            headers={"Retry-After": "10"}) from None


router = APIRouter(prefix="/plans", tags=["Plan documents"])


PARCEL_ID = Path(..., description="Parcel id: decimal digits", examples=["5"])


@router.get("/{plot_id}/siteplan.pdf", response_class=Response,
            responses={200: {"content": {"application/pdf": {}}}, 404: {}, 422: {}})
async def get_site_plan(request: Request, plot_id: str = PARCEL_ID) -> Response:
    """The site plan of a parcel as an A4 PDF attachment."""
    client = staff(request)
    parcel = requested_parcel(plot_id)
    await gate.admit(client)
    try:
        async with gate.turn():
            pdf, filename = await renderer.render("site", parcel, {})
    except PlanError as e:
        raise HTTPException(status_code=e.status_code, detail=e.detail) from None
    sha256 = await issue(client, parcel, "site", {}, pdf)
    response = api_router_response(api_response(file=pdf, filename=filename))
    response.headers["X-Document-SHA256"] = sha256
    return response


@router.get("/{plot_id}/deedplan.pdf", response_class=Response,
            responses={200: {"content": {"application/pdf": {}}}, 404: {}, 422: {}})
async def get_deed_plan(
    request: Request,
    plot_id: str = PARCEL_ID,
    person_name: str = Query(..., description="Name of the grantee, printed in capitals"),
    district: str = Query(..., description="District of the parcel, as recorded (letter case aside)"),
    cadzone: str = Query(..., description="Cadastral zone of the parcel, as recorded (letter case aside)"),
    file_no: str = Query(..., description="Registry file number"),
) -> Response:
    """The deed plan of a parcel as an A4 PDF attachment; its tracing number comes from the parcel record.
    District and zone must be the parcel's recorded ones: the plan certifies them."""
    client = staff(request)
    parcel = requested_parcel(plot_id)
    try:
        fields = check_deed_fields(person_name=person_name, district=district, cadzone=cadzone, file_no=file_no)
        # Before the queue: a plan that would certify the wrong place is refused at once.
        async with get_engine().connect() as conn:
            await check_place(conn, parcel, fields["district"], fields["cadzone"])
        await gate.admit(client)
        async with gate.turn():
            pdf, _ = await renderer.render("deed", parcel, fields)
    except PlanError as e:
        raise HTTPException(status_code=e.status_code, detail=e.detail) from None
    sha256 = await issue(client, parcel, "deed", fields, pdf)
    response = api_router_response(api_response(file=pdf, filename=deed_plan_filename(parcel)))
    response.headers["X-Document-SHA256"] = sha256
    return response


@router.get("/issued/{sha256}")
async def issued_plans(request: Request, sha256: str = Path(..., pattern="^[0-9a-fA-F]{64}$")) -> dict:
    """Whether the registry issued the PDF with this SHA-256: every issue of it, oldest first.

    Open to anyone who holds the PDF (a bank, a buyer), with a rate of its own and outside
    the drawing queue: it is one indexed read."""
    await limits.enforce(tessera.redis_client, "issued", client_of(request),
                         deployment.settings().issued_rate_per_minute, 60,
                         "Too many register lookups; try again in a minute")
    records = await issue_log.issued(get_engine(), sha256)
    if not records:
        raise HTTPException(status_code=404, detail="No plan with this SHA-256 was issued here")
    return {"sha256": sha256.lower(), "issues": records}
