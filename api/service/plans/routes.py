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

from fastapi import APIRouter, Depends, HTTPException, Path, Query, Request
from fastapi.responses import Response

from service import deployment
from service.plans import issue_log
from service.plans import documents as plan_documents
from database import get_engine
from logger import get_logger
from service.plans.documents import (DEED_FIELDS, PlanError, check_deed_fields, check_parcel,  # noqa: F401
                            deed_plan, deed_plan_filename, site_plan)
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
                initializer=plan_documents.lower_priority, initargs=(config.plan_nice,))
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
async def get_site_plan(plot_id: int, client: str = Depends(admitted)) -> Response:
    """The site plan of a parcel as an A4 PDF attachment."""
    try:
        async with gate.turn():
            pdf, filename = await renderer.render("site", plot_id, {})
    except PlanError as e:
        raise HTTPException(status_code=e.status_code, detail=e.detail) from None
    sha256 = await issue(client, plot_id, "site", {}, pdf)
    response = api_router_response(api_response(file=pdf, filename=filename))
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
    client: str = Depends(admitted),
) -> Response:
    """The deed plan of a parcel as an A4 PDF attachment; its tracing number comes from the parcel record."""
    fields = {"person_name": person_name, "district": district, "cadzone": cadzone, "file_no": file_no}
    try:
        async with gate.turn():
            pdf, _ = await renderer.render("deed", plot_id, fields)
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
