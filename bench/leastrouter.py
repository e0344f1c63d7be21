"""The least any implementation of the XYZ tile endpoint must do in the process: the
calls it has to make into the host and the libraries, in their order, with the
router's own work (key and statement composition, coordinate and zoom checks,
error texts) taken as free. bench/inprocess.py times it beside the two routers:
Python time / this time is the most any implementation of the router's own steps,
native or not, could gain over the plain-Python router on the same stand-ins.

Kept: the endpoint's coroutine; the rate-limit INCR (and EXPIRE when a window
opens) on the module's client; the cache read as a coroutine of the cache object
awaited under `asyncio.wait_for` inside a coroutine of its own (the module's
`safe_cache_get` is a global that a caller may patch, so the endpoint must call it);
`Response`; on a miss the host's `xyz_to_bbox_web_mercator`, `text(sql)` of the
real statement, the transaction helper (an async generator under `asynccontextmanager`,
as the module must define it) around the session's `execute` under `wait_for`,
`scalar_one_or_none`, `commit` and `close`, and the write through the cache object's
coroutine. Not used by the service."""
from __future__ import annotations

import asyncio

from fastapi import Response
from sqlalchemy.sql import text

from helpers.utils import xyz_to_bbox_web_mercator
from pyrouter import db_transaction  # the least such a helper can be already

redis_client = None  # wired by the benchmark, as the routers' module globals are
MEDIA_TYPE = "application/vnd.mapbox-vector-tile"
SQL = ""  # the statement of the benchmark's layer and zoom, set by the benchmark



async def _cache_get(full_key):
    return await redis_client.get(full_key)


async def _cache_set(full_key, value):
    await redis_client.set(full_key, value, ex=1800)


async def _safe_cache_get(full_key):
    try:
        return await asyncio.wait_for(_cache_get(full_key), timeout=1.0)
    except Exception:
        return None


async def _safe_cache_set(full_key, value):
    try:
        await _cache_set(full_key, value)
    except Exception:
        pass


async def get_tile_xyz(layer_name, z, x, y, request, db):
    rate_key = request.client.host
    count = await redis_client.incr(rate_key)
    if count == 1:
        await redis_client.expire(rate_key, 1)
    full_key = f"mvt_v8:{layer_name}:{z}:{x}:{y}"
    tile = await _safe_cache_get(full_key)
    if tile:
        return Response(content=tile, media_type=MEDIA_TYPE,
                        headers={"Cache-Control": "public, max-age=1800", "X-Cache": "HIT"})
    bbox = xyz_to_bbox_web_mercator(z, x, y)
    async with db_transaction(db):
        result = await asyncio.wait_for(db.execute(text(SQL), {"min_x": bbox["minx"], "min_y": bbox["miny"],
                                                               "max_x": bbox["maxx"], "max_y": bbox["maxy"]}),
                                        timeout=20.0)
        tile = result.scalar_one_or_none()
    await _safe_cache_set(full_key, tile)
    return Response(content=tile, media_type=MEDIA_TYPE, headers={})
