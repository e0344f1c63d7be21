"""The floor for a cold tile over HTTP: the tile route's own statement (composed by
ravn.tessera for the layer and zoom) sent through an asyncpg pool by a bare ASGI
app, and its bytes returned. No framework, no session, no cache, no rate limit.

    DATABASE_URL=postgresql://... uvicorn sqlfloor:app   (cwd bench/, api/ on PYTHONPATH)
"""
from __future__ import annotations

import os
import re

import asyncpg

from helpers.utils import xyz_to_bbox_web_mercator
from ravn import tessera

_PARAMS = {"min_x": "$1", "min_y": "$2", "max_x": "$3", "max_y": "$4"}
_PATH = re.compile(r"^/([a-z]+)/(\d+)/(\d+)/(\d+)\.pbf$")
_statements: dict[tuple[str, int], str] = {}
_pool: asyncpg.Pool | None = None


def statement(layer: str, z: int) -> str:
    key = (layer, z)
    if key not in _statements:
        sql = tessera.generate_mvt_sql(layer, z)[0]
        _statements[key] = re.sub(r":(min_x|min_y|max_x|max_y)\b", lambda m: _PARAMS[m.group(1)], sql)
    return _statements[key]


async def _send(send, status: int, body: bytes = b"", media_type: bytes = b"application/vnd.mapbox-vector-tile"):
    headers = [(b"content-length", str(len(body)).encode())]
    if body:
        headers.append((b"content-type", media_type))
    await send({"type": "http.response.start", "status": status, "headers": headers})
    await send({"type": "http.response.body", "body": body})


async def app(scope, receive, send):
    global _pool
    if scope["type"] == "lifespan":
        while True:
            message = await receive()
            if message["type"] == "lifespan.startup":
                url = os.environ["DATABASE_URL"].replace("postgresql+asyncpg://", "postgresql://")
                _pool = await asyncpg.create_pool(url, min_size=2, max_size=int(os.environ.get("DB_POOL_SIZE", "10")))
                await send({"type": "lifespan.startup.complete"})
            elif message["type"] == "lifespan.shutdown":
                await _pool.close()
                await send({"type": "lifespan.shutdown.complete"})
                return
    match = _PATH.match(scope["path"])
    if not match:
        await _send(send, 404)
        return
    layer, z, x, y = match.group(1), *map(int, match.groups()[1:])
    bbox = xyz_to_bbox_web_mercator(z, x, y)
    async with _pool.acquire() as connection:
        body = await connection.fetchval(statement(layer, z), bbox["minx"], bbox["miny"], bbox["maxx"], bbox["maxy"])
    await _send(send, 200 if body else 204, body or b"")
