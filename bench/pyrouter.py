"""The XYZ tile endpoint's steps written as plain Python: the baseline that the
native router is measured against (bench/inprocess.py). Same steps, same calls
into the host and the libraries, same texts; nothing here is used by the service."""
from __future__ import annotations

import asyncio
import logging
from contextlib import asynccontextmanager

from fastapi import HTTPException, Response
from sqlalchemy.exc import SQLAlchemyError
from sqlalchemy.sql import text

from helpers.utils import xyz_to_bbox_web_mercator

logger = logging.getLogger("bench.pyrouter")
MAX_FEATURES_GLOBAL = 15000
CACHE_TTL_SHORT = 1800
CACHE_TTL_LONG = 7200
LAYER_CONFIG: dict = {}  # filled from the native module's catalogue by the benchmark
redis_client = None
cache = None

TIERS = [(4, 1000, 2000, 512, True), (6, 500, 3000, 256, True), (8, 250, 5000, 256, True),
         (10, 100, 8000, 256, True), (12, 50, 10000, 256, False), (14, 10, 15000, 64, False),
         (16, 0, 20000, 16, False)]


class BinaryRedisCache:
    def __init__(self, redis_client, namespace="mvt"):
        self.redis = redis_client
        self.namespace = namespace

    def _make_key(self, key: str) -> str:
        return f"{self.namespace}:{key}"

    async def get(self, key: str):
        return await self.redis.get(self._make_key(key))

    async def set(self, key: str, value: bytes, ttl: int = 3600):
        await self.redis.set(self._make_key(key), value, ex=ttl)


async def safe_cache_get(key: str, timeout: float = 1.0):
    try:
        return await asyncio.wait_for(cache.get(key), timeout=timeout)
    except (asyncio.TimeoutError, Exception) as e:
        logger.warning(f"Cache get failed for {key}: {e}")
        return None


async def safe_cache_set(key: str, value: bytes, ttl: int):
    try:
        await cache.set(key, value, ttl=ttl)
    except Exception as e:
        logger.warning(f"Cache set failed for {key}: {e}")


@asynccontextmanager
async def db_transaction(db):
    try:
        yield db
        await db.commit()
    except Exception:
        await db.rollback()
        raise
    finally:
        await db.close()


def validate_tile_coords(z: int, x: int, y: int) -> bool:
    if not (1 <= z <= 20):
        return False
    size = 2 ** z
    return 0 <= x < size and 0 <= y < size


def get_zoom_config(zoom: int, layer_name: str) -> dict:
    config = LAYER_CONFIG.get(layer_name, {})
    if zoom < config.get("min_zoom", 0):
        return None
    for tier in TIERS:
        if zoom <= tier[0]:
            _, tolerance, limit, buffer, long_lived = tier
            break
    else:
        tolerance, limit, buffer, long_lived = 0, 30000, 8, False
    return {"tolerance": tolerance, "feature_limit": limit, "buffer": buffer,
            "cache_ttl": CACHE_TTL_LONG if long_lived else CACHE_TTL_SHORT}


def generate_mvt_sql(layer_name: str, zoom=None):
    if layer_name not in LAYER_CONFIG:
        raise ValueError(f"Unknown layer: {layer_name}")
    layer_config = LAYER_CONFIG[layer_name]
    zoom_config = get_zoom_config(zoom or 10, layer_name)
    if zoom_config is None:
        raise ValueError(f"Layer {layer_name} not available at zoom level {zoom}")
    table, id_col, geom_col = layer_config["table"], layer_config["id_col"], layer_config["geom_col"]
    properties = ", ".join(layer_config["properties"])
    tolerance = zoom_config["tolerance"]
    feature_limit = min(zoom_config["feature_limit"], MAX_FEATURES_GLOBAL)
    geom_expr = f"ST_SimplifyPreserveTopology({geom_col}, {tolerance})" if tolerance > 0 else geom_col
    if zoom is not None and zoom <= 6:
        spatial_filter = f"{geom_col} && ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)"
    else:
        spatial_filter = (f"\n        {geom_col} && ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)\n"
                          f"        AND ST_Intersects({geom_col}, "
                          "ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857))\n        ")
    sql = f"""
    SELECT ST_AsMVT(mvt_data, '{layer_name}', 4096, 'mvt_geom') AS mvt
    FROM (
        SELECT {properties},
            {id_col} AS feature_id,
            ST_AsMVTGeom(
                {geom_expr},
                ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857),
                4096,
                {zoom_config['buffer']},
                true
            ) AS mvt_geom
        FROM {table}
        WHERE {spatial_filter}
        ORDER BY ST_Area({geom_col}) DESC
        LIMIT {feature_limit}
    ) AS mvt_data
    WHERE mvt_data.mvt_geom IS NOT NULL;
    """
    return sql, zoom_config


async def _count_request(rate_key, limit, detail):
    count = await redis_client.incr(rate_key)
    if count == 1:
        await redis_client.expire(rate_key, 1)
    if count > limit:
        try:
            ttl = await redis_client.ttl(rate_key)
            if ttl == -1:
                await redis_client.expire(rate_key, 1)
        except Exception:
            pass
        raise HTTPException(status_code=429, detail=detail)


def _query_time_limit(z):
    return 10.0 if z <= 6 else 12.0 if z <= 10 else 15.0 if z <= 14 else 20.0 if z <= 16 else 30.0


async def get_tile_xyz(layer_name: str, z: int, x: int, y: int, request, db):
    client = request.client
    rate_key = f"rate_limit:gis:{client.host if client else 'unknown'}"
    try:
        await _count_request(rate_key, 40, "Too many map requests. Please slow down panning.")
    except HTTPException:
        raise
    except Exception as e:
        logger.warning(f"Rate limit check failed: {e}")
    if layer_name not in LAYER_CONFIG:
        raise HTTPException(status_code=404, detail=f"Layer '{layer_name}' not found")
    if not validate_tile_coords(z, x, y):
        raise HTTPException(status_code=400, detail=f"Invalid tile coordinates: z={z}, x={x}, y={y}")
    try:
        sql, zoom_config = generate_mvt_sql(layer_name, z)
    except ValueError as e:
        logger.info(f"Layer {layer_name} not available at zoom {z}: {e}")
        return Response(status_code=204)
    cache_key = f"{layer_name}:{z}:{x}:{y}"
    cached_tile = await safe_cache_get(cache_key)
    if cached_tile:
        return Response(content=cached_tile, media_type="application/vnd.mapbox-vector-tile",
                        headers={"Cache-Control": f"public, max-age={zoom_config['cache_ttl']}", "X-Cache": "HIT"})
    bbox = xyz_to_bbox_web_mercator(z, x, y)
    params = {"min_x": bbox["minx"], "min_y": bbox["miny"], "max_x": bbox["maxx"], "max_y": bbox["maxy"]}
    try:
        async with db_transaction(db):
            result = await asyncio.wait_for(db.execute(text(sql), params), timeout=_query_time_limit(z))
            mvt_content = result.scalar_one_or_none()
    except asyncio.TimeoutError:
        logger.error(f"Timeout generating tile {layer_name}/{z}/{x}/{y}")
        raise HTTPException(status_code=408, detail=f"Tile generation timeout at zoom {z}")  # noqa: B904 - as the module raises
    except SQLAlchemyError as e:
        logger.error(f"Database error for tile {layer_name}/{z}/{x}/{y}: {e}")
        raise HTTPException(status_code=500, detail="Database error")  # noqa: B904 - as the module raises
    except Exception as e:
        logger.error(f"Unexpected error for tile {layer_name}/{z}/{x}/{y}: {e}")
        raise HTTPException(status_code=500, detail="Internal server error")  # noqa: B904 - as the module raises
    if mvt_content:
        await safe_cache_set(cache_key, mvt_content, zoom_config["cache_ttl"])
        return Response(content=mvt_content, media_type="application/vnd.mapbox-vector-tile", headers={})
    logger.info(f"Empty tile generated for {layer_name}/{z}/{x}/{y} - bbox: {bbox}")
    return Response(status_code=204)
