"""Tiles from exported archives (MBTiles), for viewing an area offline with no database.

GET /archive/{name}/{z}/{x}/{y}.pbf reads TILE_ARCHIVE_DIR/{name}.mbtiles (by default the
repository's archives/ folder); GET /archive/ lists the archives there, and the map viewer
shows one at /?archive={name}. Archive tiles are stored gzip-compressed; a client that
accepts gzip gets them as they are.
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


DEFAULT_DIR = Path(__file__).resolve().parents[2] / "archives"


def archive_dir() -> Path:
    # Relative to the repository, not to wherever the server was started.
    return Path(os.environ.get("TILE_ARCHIVE_DIR") or DEFAULT_DIR).resolve()


def _valid_name(name: str) -> bool:
    return bool(name) and all(c.isalnum() or c in "-_" for c in name)


def _open(name: str) -> sqlite3.Connection:
    # The name picks a file in the folder and nothing else.
    if not _valid_name(name):
        raise HTTPException(status_code=404, detail=f"Archive '{name}' not found")
    path = archive_dir() / f"{name}.mbtiles"
    if not path.is_file():
        raise HTTPException(status_code=404, detail=f"Archive '{name}' not found")
    return sqlite3.connect(f"{path.as_uri()}?mode=ro", uri=True)


def _metadata(name: str) -> dict:
    db = _open(name)
    try:
        entries = dict(db.execute("SELECT name, value FROM metadata").fetchall())
    finally:
        db.close()
    if "json" in entries:
        extra = json.loads(entries.pop("json"))
        if isinstance(extra, dict):  # anything else is not the format's entry: leave it out
            entries.update(extra)
    return entries


# Coroutines, not plain functions: FastAPI would run those on a thread pool. The reads are small.
@router.get("/")
async def list_archives() -> JSONResponse:
    """The archives in TILE_ARCHIVE_DIR: name, title, bounds and zooms of each readable one."""
    found = []
    folder = archive_dir()
    for path in sorted(folder.glob("*.mbtiles")) if folder.is_dir() else ():
        if not _valid_name(path.stem):
            continue
        try:
            entries = _metadata(path.stem)
        except (sqlite3.Error, ValueError):
            continue  # a file being written, or not an archive
        found.append({"name": path.stem, "title": entries.get("name", path.stem), "bounds": entries.get("bounds"),
                      "minzoom": entries.get("minzoom"), "maxzoom": entries.get("maxzoom"),
                      "viewer": f"/?archive={path.stem}"})
    return JSONResponse({"archives": found})


@router.get("/{name}/metadata.json")
async def archive_metadata(name: str) -> JSONResponse:
    return JSONResponse(_metadata(name))


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
