"""Tiles from exported archives (MBTiles), for viewing an area offline with no database.

GET /archive/{name}/{z}/{x}/{y}.pbf reads TILE_ARCHIVE_DIR/{name}.mbtiles (by default the
repository's archives/ folder); GET /archive/ lists the archives there, and the map viewer
shows one at /?archive={name}. Archive tiles are stored gzip-compressed; a client that
accepts gzip gets them as they are, any other client gets them unpacked, up to a bound.

An archive is a file somebody dropped into a folder, so nothing in it is trusted: a name is
ASCII letters, digits, '-' and '_' (at most 64), the file is a regular file inside the folder
(a link may point elsewhere in the folder, not outside it), and a damaged archive answers
404 (422 for a tile that cannot be unpacked) and is left out of the listing. SQLite reads and
unpacking run on worker threads, never on the event loop.
"""
from __future__ import annotations

import json
import os
import re
import sqlite3
import stat
import zlib
from contextlib import closing
from pathlib import Path

from fastapi import APIRouter, HTTPException, Request
from fastapi.responses import JSONResponse, Response
from starlette.concurrency import run_in_threadpool

router = APIRouter(prefix="/archive", tags=["archive"])
MEDIA_TYPE = "application/vnd.mapbox-vector-tile"
NAME = re.compile(r"[A-Za-z0-9_-]{1,64}")
# A vector tile is well under a megabyte; a stored tile that unpacks beyond this is refused
# to clients that cannot take it compressed, rather than inflated in the worker's memory.
MAX_UNPACKED = 8 * 1024 * 1024

DEFAULT_DIR = Path(__file__).resolve().parents[2] / "archives"


class Damaged(Exception):
    """The archive cannot be read as a tile archive."""


def archive_dir() -> Path:
    # Relative to the repository, not to wherever the server was started.
    return Path(os.environ.get("TILE_ARCHIVE_DIR") or DEFAULT_DIR).resolve()


def _path(name: str) -> Path | None:
    """The archive's file, or None unless it is a regular file inside the folder."""
    if not NAME.fullmatch(name):
        return None
    folder = archive_dir()
    try:
        path = (folder / f"{name}.mbtiles").resolve(strict=True)
        if path.parent != folder and folder not in path.parents:
            return None
        if not stat.S_ISREG(path.stat().st_mode):
            return None  # a folder or a FIFO: opening a FIFO would block the thread
    except (OSError, RuntimeError):  # missing, dangling link, link loop
        return None
    return path


def _connect(path: Path) -> closing[sqlite3.Connection]:
    return closing(sqlite3.connect(f"{path.as_uri()}?mode=ro", uri=True))


def _read_metadata(db: sqlite3.Connection) -> dict:
    try:
        entries = {str(k): v for k, v in db.execute("SELECT name, value FROM metadata").fetchall()}
        if "json" in entries:
            extra = json.loads(entries.pop("json"))
            if isinstance(extra, dict):  # anything else is not the format's entry: leave it out
                entries.update(extra)
    except (sqlite3.Error, ValueError, TypeError) as e:
        raise Damaged(str(e)) from None
    return entries


def _not_found(name: str) -> HTTPException:
    return HTTPException(status_code=404, detail=f"Archive '{name}' not found")


def _metadata(name: str) -> dict:
    path = _path(name)
    if path is None:
        raise _not_found(name)
    try:
        with _connect(path) as db:
            entries = _read_metadata(db)
            db.execute("SELECT zoom_level, tile_column, tile_row, tile_data FROM tiles LIMIT 1").fetchone()
            return entries
    except (Damaged, sqlite3.Error):
        raise _not_found(name) from None


def _unpack(data: bytes) -> bytes:
    """The tile's gzip unpacked, refused when damaged or larger than MAX_UNPACKED."""
    inflater = zlib.decompressobj(16 + zlib.MAX_WBITS)
    try:
        body = inflater.decompress(data, MAX_UNPACKED)
    except zlib.error:
        raise HTTPException(status_code=422, detail="Archive tile cannot be decoded") from None
    if inflater.unconsumed_tail:
        raise HTTPException(status_code=422, detail=f"Archive tile unpacks to more than {MAX_UNPACKED} bytes; "
                                                    "ask for it with Accept-Encoding: gzip")
    if not inflater.eof:
        raise HTTPException(status_code=422, detail="Archive tile cannot be decoded")
    return body


def _servable(name: str, path: Path) -> dict | None:
    """The listing entry of an archive whose metadata and tiles can be read, else None."""
    try:
        with _connect(path) as db:
            entries = _read_metadata(db)
            first = db.execute("SELECT zoom_level, tile_column, tile_row, tile_data FROM tiles LIMIT 1").fetchone()
        if first is not None and isinstance(first[3], bytes) and first[3][:2] == b"\x1f\x8b":
            _unpack(first[3])
    except (Damaged, sqlite3.Error, HTTPException):
        return None
    return {"name": name, "title": entries.get("name", name), "bounds": entries.get("bounds"),
            "minzoom": entries.get("minzoom"), "maxzoom": entries.get("maxzoom"), "viewer": f"/?archive={name}"}


def _listing() -> list[dict]:
    found = []
    folder = archive_dir()
    for path in sorted(folder.glob("*.mbtiles")) if folder.is_dir() else ():
        name = path.name.removesuffix(".mbtiles")
        resolved = _path(name)
        entry = None if resolved is None else _servable(name, resolved)
        if entry is not None:
            found.append(entry)
    return found


def _tile(name: str, z: int, x: int, y: int) -> bytes | None:
    path = _path(name)
    if path is None:
        raise _not_found(name)
    try:
        with _connect(path) as db:
            row = db.execute("SELECT tile_data FROM tiles WHERE zoom_level = ? AND tile_column = ? AND tile_row = ?",
                             (z, x, (1 << z) - 1 - y)).fetchone()
    except sqlite3.Error:
        raise _not_found(name) from None
    if row is None or row[0] is None:
        return None
    return bytes(row[0])


def _accepts_gzip(header: str) -> bool:
    for part in header.split(","):
        coding, _, params = part.strip().partition(";")
        if coding.strip().lower() in ("gzip", "x-gzip", "*"):
            quality = params.strip().lower()
            if quality.startswith("q="):
                try:
                    return float(quality[2:]) > 0
                except ValueError:
                    return False
            return True
    return False


@router.get("/")
async def list_archives() -> JSONResponse:
    """The archives in TILE_ARCHIVE_DIR: name, title, bounds and zooms of each readable one."""
    return JSONResponse({"archives": await run_in_threadpool(_listing)})


@router.get("/{name}/metadata.json")
async def archive_metadata(name: str) -> JSONResponse:
    return JSONResponse(await run_in_threadpool(_metadata, name))


@router.get("/{name}/{z}/{x}/{y}.pbf")
async def archive_tile(name: str, z: int, x: int, y: int, request: Request) -> Response:
    if not (0 <= z <= 20 and 0 <= x < 1 << z and 0 <= y < 1 << z):
        raise HTTPException(status_code=400, detail=f"Invalid tile coordinates: z={z}, x={x}, y={y}")
    data = await run_in_threadpool(_tile, name, z, x, y)
    if data is None:
        return Response(status_code=204)
    if data[:2] != b"\x1f\x8b":
        return Response(content=data, media_type=MEDIA_TYPE)
    if _accepts_gzip(request.headers.get("accept-encoding", "")):
        return Response(content=data, media_type=MEDIA_TYPE,
                        headers={"Content-Encoding": "gzip", "Vary": "Accept-Encoding"})
    return Response(content=await run_in_threadpool(_unpack, data), media_type=MEDIA_TYPE,
                    headers={"Vary": "Accept-Encoding"})
