"""The floor for a cached tile over HTTP: the least a route in this host can do
for a hit. Same path template and typed parameters as the tile route, behind the
same middleware, no database dependency; the same Redis commands (INCR, EXPIRE
when a window opens, GET) on the same client and keys, and the same bytes and
headers back. Mounted under /floor when the server runs with BENCH_FLOOR=1."""
from __future__ import annotations

from fastapi import APIRouter, HTTPException, Request, Response

from ravn import tessera

router = APIRouter(prefix="/floor")


@router.get("/{layer_name}/{z}/{x}/{y}.pbf", response_class=Response)
async def floor_tile(layer_name: str, z: int, x: int, y: int, request: Request) -> Response:
    redis = tessera.redis_client
    key = "rate_limit:gis:" + request.client.host
    count = await redis.incr(key)
    if count == 1:
        await redis.expire(key, 1)
    if count > 40:
        raise HTTPException(status_code=429, detail="Too many map requests. Please slow down panning.")
    tile = await redis.get(f"mvt_v8:{layer_name}:{z}:{x}:{y}")
    if not tile:
        return Response(status_code=204)
    return Response(content=tile, media_type="application/vnd.mapbox-vector-tile",
                    headers={"Cache-Control": f"public, max-age={7200 if z <= 10 else 1800}", "X-Cache": "HIT"})
