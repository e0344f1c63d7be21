"""Offline tile archives served from a folder of files nobody vetted: odd entries, damaged files, hostile tiles."""
from __future__ import annotations

import asyncio
import gzip
import os
import sqlite3
from pathlib import Path

import httpx
import pytest
from fastapi import FastAPI

from service import archive

TILE = b"\x1a\x05layer"  # stands in for a tile body; the route never decodes it
PLAIN = {"Accept-Encoding": "identity"}


def make_archive(path: Path, tiles: dict[tuple[int, int, int], bytes] | None = None, metadata: dict | None = None,
                 skip: tuple[str, ...] = ()) -> Path:
    with sqlite3.connect(path) as db:
        if "metadata" not in skip:
            db.execute("CREATE TABLE metadata (name TEXT, value TEXT)")
            entries = {"name": path.stem, "format": "pbf", "minzoom": "14", "maxzoom": "16"} | (metadata or {})
            db.executemany("INSERT INTO metadata VALUES (?, ?)", entries.items())
        if "tiles" not in skip:
            db.execute("CREATE TABLE tiles (zoom_level INTEGER, tile_column INTEGER, tile_row INTEGER, tile_data BLOB)")
            for (z, x, y), data in (tiles if tiles is not None else {(14, 1, 2): gzip.compress(TILE)}).items():
                db.execute("INSERT INTO tiles VALUES (?, ?, ?, ?)", (z, x, (1 << z) - 1 - y, data))
    db.close()
    return path


@pytest.fixture
def folder(tmp_path, monkeypatch):
    path = tmp_path / "archives"
    path.mkdir()
    monkeypatch.setenv("TILE_ARCHIVE_DIR", str(path))
    return path


@pytest.fixture
async def client(folder):
    app = FastAPI()
    app.include_router(archive.router)
    async with httpx.AsyncClient(transport=httpx.ASGITransport(app=app), base_url="http://t") as test_client:
        yield test_client


async def listed(client) -> list[str]:
    response = await client.get("/archive/")
    assert response.status_code == 200
    return [entry["name"] for entry in response.json()["archives"]]


@pytest.mark.parametrize("odd", ["folder", "fifo", "dangling link", "link loop"])
async def test_an_odd_entry_is_skipped_and_the_rest_listed(client, folder, odd):
    make_archive(folder / "good.mbtiles")
    entry = folder / "odd.mbtiles"
    if odd == "folder":
        entry.mkdir()
    elif odd == "fifo":
        os.mkfifo(entry)
    elif odd == "dangling link":
        entry.symlink_to(folder / "missing.mbtiles")
    else:
        entry.symlink_to(entry)
    assert await listed(client) == ["good"]
    assert (await client.get("/archive/odd/metadata.json")).status_code == 404
    assert (await client.get("/archive/odd/14/1/2.pbf")).status_code == 404


DAMAGED = {
    "not a database": lambda path: path.write_bytes(b"SQLite format 3\x00" + b"\xff" * 200),
    "bad json": lambda path: make_archive(path, metadata={"json": "{not json"}),
    "no metadata table": lambda path: make_archive(path, skip=("metadata",)),
    "no tiles table": lambda path: make_archive(path, skip=("tiles",)),
}


@pytest.mark.parametrize("damage", DAMAGED)
async def test_a_damaged_archive_is_not_found_and_not_listed(client, folder, damage):
    make_archive(folder / "good.mbtiles")
    DAMAGED[damage](folder / "bad.mbtiles")
    assert await listed(client) == ["good"]
    assert (await client.get("/archive/bad/metadata.json")).status_code == 404
    if damage not in ("bad json", "no metadata table"):  # the tiles of those can still be read
        assert (await client.get("/archive/bad/14/1/2.pbf")).status_code == 404


async def test_a_corrupt_tile_is_422_to_a_client_without_gzip_and_its_archive_not_listed(client, folder):
    stored = gzip.compress(TILE)
    make_archive(folder / "bad.mbtiles", {(14, 1, 2): stored[:10] + b"\x00" * 8 + stored[18:]})
    make_archive(folder / "short.mbtiles", {(14, 1, 2): stored[:-12]})
    assert await listed(client) == []
    for name in ("bad", "short"):
        assert (await client.get(f"/archive/{name}/14/1/2.pbf", headers=PLAIN)).status_code == 422


async def test_a_name_longer_than_a_file_name_is_not_found(client):
    assert (await client.get("/archive/" + "a" * 300 + "/metadata.json")).status_code == 404
    assert (await client.get("/archive/" + "a" * 300 + "/14/1/2.pbf")).status_code == 404


async def test_a_tile_that_unpacks_huge_is_refused_unpacked_and_served_packed(client, folder):
    bomb = gzip.compress(b"\x00" * (archive.MAX_UNPACKED * 3), compresslevel=9)
    make_archive(folder / "bomb.mbtiles", {(14, 1, 2): bomb, (14, 1, 3): gzip.compress(TILE)})
    refused = await client.get("/archive/bomb/14/1/2.pbf", headers=PLAIN)
    assert refused.status_code == 422 and "gzip" in refused.json()["detail"]
    async with client.stream("GET", "/archive/bomb/14/1/2.pbf", headers={"Accept-Encoding": "gzip"}) as packed:
        assert packed.headers["content-encoding"] == "gzip" and b"".join([c async for c in packed.aiter_raw()]) == bomb
    small = await client.get("/archive/bomb/14/1/3.pbf", headers=PLAIN)
    assert small.status_code == 200 and small.content == TILE and "content-encoding" not in small.headers
    # q=0 refuses the coding by name.
    assert (await client.get("/archive/bomb/14/1/2.pbf", headers={"Accept-Encoding": "gzip;q=0"})).status_code == 422


async def test_archive_reads_run_off_the_event_loop(client, folder, monkeypatch):
    make_archive(folder / "good.mbtiles")
    on_loop = []
    connect = sqlite3.connect

    def watched(*args, **kwargs):
        try:
            asyncio.get_running_loop()
            on_loop.append(True)
        except RuntimeError:
            on_loop.append(False)
        return connect(*args, **kwargs)

    monkeypatch.setattr(archive.sqlite3, "connect", watched)
    assert await listed(client) == ["good"]
    assert (await client.get("/archive/good/metadata.json")).status_code == 200
    assert (await client.get("/archive/good/14/1/2.pbf", headers=PLAIN)).content == TILE
    assert on_loop and not any(on_loop)


@pytest.mark.parametrize("name, served", [("a" * 64, True), ("a" * 65, False), ("Ärchiv", False),
                                          ("٣٤", False), ("b05_v-2", True)])
async def test_names_are_ascii_and_at_most_64_characters(client, folder, name, served):
    make_archive(folder / f"{name}.mbtiles")
    assert await listed(client) == ([name] if served else [])
    assert (await client.get(f"/archive/{name}/metadata.json")).status_code == (200 if served else 404)


async def test_links_are_served_only_within_the_folder(client, folder, tmp_path):
    make_archive(folder / "real.mbtiles")
    (folder / "alias.mbtiles").symlink_to(folder / "real.mbtiles")
    outside = make_archive(tmp_path / "outside.mbtiles")
    (folder / "escape.mbtiles").symlink_to(outside)
    assert await listed(client) == ["alias", "real"]
    assert (await client.get("/archive/alias/metadata.json")).json()["format"] == "pbf"
    assert (await client.get("/archive/escape/metadata.json")).status_code == 404
    assert (await client.get("/archive/escape/14/1/2.pbf")).status_code == 404

