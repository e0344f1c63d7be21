"""Land-records GIS API."""
from __future__ import annotations

import asyncio
import time
from contextlib import asynccontextmanager
from pathlib import Path

from dotenv import load_dotenv

load_dotenv(Path(__file__).resolve().parents[2] / "services.env", override=False)
# Plans print today's date in the registry's time zone (TZ, from the environment or services.env).
time.tzset()

from fastapi import APIRouter, Depends, FastAPI, Request  # noqa: E402
from fastapi.responses import JSONResponse  # noqa: E402
import asyncpg  # noqa: E402
from sqlalchemy.engine import make_url  # noqa: E402

from service import deployment  # noqa: E402
from service import direct  # noqa: E402
from service import tile_edits  # noqa: E402
from database import SessionScope, database_url, dispose_engine, replica_url  # noqa: E402
from logger import get_logger  # noqa: E402
from service.archive import router as archive_router  # noqa: E402
from service.plans.routes import renderer as plan_renderer  # noqa: E402
from service.plans.routes import router as plans_router  # noqa: E402
from service import mapstyle  # noqa: E402
from service import search  # noqa: E402
from ravn import tessera  # noqa: E402
from service.security import require_token  # noqa: E402
from service import web  # noqa: E402

log = get_logger()
config = deployment.settings()


@asynccontextmanager
async def lifespan(app: FastAPI):
    if not config.admin_token:
        log.warning("ADMIN_TOKEN is not set: cache invalidation is refused to every caller")
    if config.plan_token:
        plan_renderer.start()
    edits = tile_edits.start()
    try:
        yield
    finally:
        await tile_edits.stop(edits)
        plan_renderer.shutdown()
        await dispose_engine()


# A coroutine, so FastAPI calls it on the loop instead of handing it to a thread pool.
async def guard_cache_invalidation(request: Request) -> None:
    """Cache invalidation needs the administrator's token."""
    require_token(request, config.admin_token, "Cache invalidation", "ADMIN_TOKEN")


def include_tile_router(application: FastAPI) -> None:
    """The tile router is public but for cache invalidation. Its routes go in one by one, in
    their own order, so that only invalidation carries the guard and a tile solves no
    dependency beyond its own. The XYZ tile route, the one a map asks for all the time,
    is served directly when a request allows it (service.direct)."""
    for route in tessera.tesseraApi.routes:
        single = APIRouter()
        single.routes.append(route)
        guarded = getattr(route, "name", None) == "invalidate_cache_endpoint"
        if getattr(route, "endpoint", None) is tessera.get_tile_xyz and not direct.serve_directly(application, route):
            log.warning("the tile route's parameters changed: tiles go through FastAPI's parameter solving")
        application.include_router(single, dependencies=[Depends(guard_cache_invalidation)] if guarded else None)


# /docs and /redoc come from web.install, with their scripts served locally.
app = FastAPI(title="Land Records GIS API", lifespan=lifespan, docs_url=None, redoc_url=None)
# Innermost: the sessions get_db hands out are released once the route is done with them.
app.add_middleware(SessionScope)
web.install(app, gzip_level=config.gzip_level, gzip_minimum_size=config.gzip_minimum_size)
include_tile_router(app)
app.include_router(plans_router)
app.include_router(archive_router)
app.include_router(mapstyle.router)  # TileJSON, the style and its glyphs
app.include_router(search.router)
web.install_viewer(app, {"service": "land-records-gis", "viewer": "/", "layers": "/gis/layers/", "docs": "/docs",
                         "ready": "/ready", "plans": "/plans/{plot_id}/siteplan.pdf",
                         "style": "/style.json", "tilejson": "/gis/{layer}/tiles.json", "search": "/search?q="})


async def _probe(check) -> str:
    try:
        await asyncio.wait_for(check(), timeout=config.readiness_timeout)
        return "ok"
    except asyncio.TimeoutError:
        return f"unavailable: no answer within {config.readiness_timeout:g} s"
    except Exception as exc:  # noqa: BLE001 - any failure means not ready; its text says why
        return f"unavailable: {type(exc).__name__}: {exc}"


async def _database(address: str | None = None) -> None:
    # A connection of its own, not one of the request pool's: a busy instance whose
    # connections are all in use (requests wait up to DB_POOL_TIMEOUT for one) is still ready.
    url = make_url(address or database_url()).set(drivername="postgresql")
    conn = await asyncpg.connect(url.render_as_string(hide_password=False), timeout=config.readiness_timeout)
    try:
        await conn.fetchval("SELECT 1")
    finally:
        await conn.close(timeout=1)


async def _cache() -> None:
    await tessera.redis_client.ping()


@app.get("/ready")
async def ready() -> JSONResponse:
    """Readiness for a proxy or an orchestrator: PostgreSQL and Redis, each on its own.

    Only the database decides: tiles are served without Redis (slower, unlimited),
    so a Redis outage reports "degraded" and keeps the instance in rotation."""
    replica = replica_url()
    probes = [_probe(_database), _probe(_cache)]
    if replica:
        # Tiles and plans read from the replica: without it they fail, so it decides as the primary does.
        probes.append(_probe(lambda: _database(replica)))
    postgresql, redis, *replica_state = await asyncio.gather(*probes)
    if postgresql != "ok" or any(state != "ok" for state in replica_state):
        status = "not ready"
    else:
        status = "ready" if redis == "ok" else "degraded"
    body = {"status": status, "postgresql": postgresql, "redis": redis}
    if replica_state:
        body["replica"] = replica_state[0]
    return JSONResponse(body, status_code=503 if status == "not ready" else 200)
