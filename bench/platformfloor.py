"""The platform's floor for a cached tile: uvicorn + Starlette + redis-py, one GET of the
tile's key, nothing else (no rate limit, no middleware, no FastAPI). Under /limited, the
same with the Redis commands the tile router must send first (the per-address INCR, and
EXPIRE when it opens a window): what a hit costs on this platform before any application
code. A server of its own: `uvicorn platformfloor:app` with api/ on the path (for the
Redis settings)."""
from __future__ import annotations

import os
from pathlib import Path

import redis.asyncio as redis
from dotenv import load_dotenv
from starlette.applications import Starlette
from starlette.responses import Response
from starlette.routing import Route

load_dotenv(Path(__file__).resolve().parents[1] / "services.env", override=False)
client = redis.Redis(host=os.environ.get("REDIS_HOST", "127.0.0.1"), port=int(os.environ.get("REDIS_PORT", "6379")),
                     db=int(os.environ.get("REDIS_DB", "0")))


async def tile(request):
    p = request.path_params
    body = await client.get(f"mvt_v8:{p['layer_name']}:{p['z']}:{p['x']}:{p['y']}")
    if not body:
        return Response(status_code=204)
    return Response(body, media_type="application/vnd.mapbox-vector-tile")


async def limited_tile(request):
    key = "rate_limit:gis:" + request.client.host
    if await client.incr(key) == 1:
        await client.expire(key, 1)
    return await tile(request)


app = Starlette(routes=[Route("/{layer_name}/{z:int}/{x:int}/{y:int}.pbf", tile),
                        Route("/limited/{layer_name}/{z:int}/{x:int}/{y:int}.pbf", limited_tile)])
