"""Tiles from exported archives (MBTiles), for viewing an area offline with no database.

GET /archive/{name}/{z}/{x}/{y}.pbf reads TILE_ARCHIVE_DIR/{name}.mbtiles. Archive
tiles are stored gzip-compressed; a client that accepts gzip gets them as they are.
"""
from __future__ import annotations

import gzip
import json
import os
import sqlite3
from pathlib import Path

from fastapi import APIRouter, HTTPException, Request
from fastapi.responses import JSONResponse, Response

router = APIRouter(prefix="/archive", tags=["archive"])
MEDIA_TYPE = "application/vnd.mapbox-vector-tile"


def archive_dir() -> Path:
    return Path(os.environ.get("TILE_ARCHIVE_DIR", "archives")).resolve()


def _open(name: str) -> sqlite3.Connection:
    # The name picks a file in the folder and nothing else.
    if not name or not all(c.isalnum() or c in "-_" for c in name):
        raise HTTPException(status_code=404, detail=f"Archive '{name}' not found")
    path = archive_dir() / f"{name}.mbtiles"
    if not path.is_file():
        raise HTTPException(status_code=404, detail=f"Archive '{name}' not found")
    return sqlite3.connect(f"{path.as_uri()}?mode=ro", uri=True)


# Coroutines, not plain functions: FastAPI would run those on a thread pool. The reads are small.
@router.get("/{name}/metadata.json")
async def archive_metadata(name: str) -> JSONResponse:
    db = _open(name)
    try:
        entries = dict(db.execute("SELECT name, value FROM metadata").fetchall())
    finally:
        db.close()
    if "json" in entries:
        entries.update(json.loads(entries.pop("json")))
    return JSONResponse(entries)


@router.get("/{name}/{z}/{x}/{y}.pbf")
async def archive_tile(name: str, z: int, x: int, y: int, request: Request) -> Response:
    if not (0 <= z <= 20 and 0 <= x < 1 << z and 0 <= y < 1 << z):
        raise HTTPException(status_code=400, detail=f"Invalid tile coordinates: z={z}, x={x}, y={y}")
    db = _open(name)
    try:
        row = db.execute("SELECT tile_data FROM tiles WHERE zoom_level = ? AND tile_column = ? AND tile_row = ?",
                         (z, x, (1 << z) - 1 - y)).fetchone()
    finally:
        db.close()
    if row is None:
        return Response(status_code=204)
    data = bytes(row[0])
    if data[:2] != b"\x1f\x8b":
        return Response(content=data, media_type=MEDIA_TYPE)
    if "gzip" in request.headers.get("accept-encoding", ""):
        return Response(content=data, media_type=MEDIA_TYPE, headers={"Content-Encoding": "gzip"})
    return Response(content=gzip.decompress(data), media_type=MEDIA_TYPE)
