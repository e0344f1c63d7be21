"""`export`: an offline tile archive (MBTiles, optionally PMTiles) of an area and zoom range.

Each archive tile holds every chosen layer's tile of that z/x/y, as the XYZ endpoint
makes it, gzip-compressed and stored in TMS row order. Tiles where every layer is
empty are left out.
"""
from __future__ import annotations

import argparse
import asyncio
import gzip
import json
import os
import sqlite3
import sys
import time
from pathlib import Path

from landrecords import area, progress, tilework

TYPE_NAMES = {bool: "Boolean", int: "Number", float: "Number", str: "String"}


def register(subparsers) -> None:
    parser = subparsers.add_parser(
        "export", help="write an offline tile archive (MBTiles) of an area and zoom range",
        description=__doc__ + "\nWhile it runs, the archive is OUTPUT.part and its progress OUTPUT.state, beside "
        "the output; an interrupted run started again with the same options resumes, and the archive is renamed "
        "to OUTPUT when complete.",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    area.add_arguments(parser)
    tilework.layers_argument(parser)
    parser.add_argument("-o", "--output", type=Path, required=True, metavar="FILE.mbtiles")
    parser.add_argument("--name", help="archive name in its metadata (default: the file name)")
    parser.add_argument("--pmtiles", type=Path, metavar="FILE.pmtiles",
                        help="also write a PMTiles copy (needs the pmtiles package)")
    parser.set_defaults(run=run)


def open_archive(path: Path) -> sqlite3.Connection:
    db = sqlite3.connect(path)
    db.executescript("""
        CREATE TABLE IF NOT EXISTS metadata (name TEXT, value TEXT);
        CREATE TABLE IF NOT EXISTS tiles (zoom_level INTEGER, tile_column INTEGER, tile_row INTEGER, tile_data BLOB);
        CREATE UNIQUE INDEX IF NOT EXISTS tile_index ON tiles (zoom_level, tile_column, tile_row);
        CREATE UNIQUE INDEX IF NOT EXISTS name ON metadata (name);
    """)
    return db


def field_types(layer_tiles: dict[str, bytes], layer: str, fields: dict) -> None:
    """Attribute names and types as they appear in the tiles (not the catalogue's quoted column names)."""
    import mapbox_vector_tile

    decoded = mapbox_vector_tile.decode(layer_tiles[layer]).get(layer, {})
    for feature in decoded.get("features", ()):
        for key, value in feature["properties"].items():
            fields.setdefault(key, TYPE_NAMES.get(type(value), "String"))


def write_metadata(db: sqlite3.Connection, name: str, where: area.Area, zooms: tuple[int, int], layers: list[str],
                   fields: dict[str, dict]) -> None:
    module = tilework.tessera()
    west, south, east, north = where.bounds_degrees()
    vector_layers = [{"id": layer, "fields": fields.get(layer, {}),
                      "minzoom": max(zooms[0], module.LAYER_CONFIG[layer].get("min_zoom", 0)), "maxzoom": zooms[1]}
                     for layer in layers]
    entries = {
        "name": name, "format": "pbf", "type": "overlay", "version": "1",
        "bounds": f"{west:.6f},{south:.6f},{east:.6f},{north:.6f}",
        "center": f"{(west + east) / 2:.6f},{(south + north) / 2:.6f},{zooms[0]}",
        "minzoom": str(zooms[0]), "maxzoom": str(zooms[1]),
        "json": json.dumps({"vector_layers": vector_layers}),
    }
    db.executemany("INSERT OR REPLACE INTO metadata (name, value) VALUES (?, ?)", entries.items())
    db.commit()


async def export(args: argparse.Namespace) -> tuple[dict, bool]:
    import database

    module = tilework.tessera()
    layers = tilework.chosen_layers(args.layers)
    where = await area.resolve(args)
    output: Path = args.output
    part, state_path = Path(f"{output}.part"), Path(f"{output}.state")
    output.parent.mkdir(parents=True, exist_ok=True)
    job = {"tool": "export", "area": where.label, "zoom": list(args.zoom), "layers": layers}
    if args.restart and part.exists():
        part.unlink()
    state = progress.StateFile(state_path, job, restart=args.restart)
    archive = open_archive(part)
    fields: dict[str, dict] = {layer: {} for layer in layers}
    for (value,) in archive.execute("SELECT value FROM metadata WHERE name = 'json'"):
        for entry in json.loads(value)["vector_layers"]:
            fields[entry["id"]] = entry["fields"]
    counts = {"tiles written": 0, "empty": 0, "failed": 0, "done before": state.resumed}
    work = []
    for z in range(args.zoom[0], args.zoom[1] + 1):
        statements = [(layer, composed[0]) for layer in layers if (composed := tilework.plan(layer, z))]
        work.extend((z, x, y, statements) for x, y in area.tiles(where, z) if f"{z}/{x}/{y}" not in state.done)
    semaphore = asyncio.Semaphore(max(1, args.workers))
    meter = progress.bar(state.resumed + len(work), state.resumed, "tile", "export")
    errors: list[str] = []

    async def one(z: int, x: int, y: int, statements: list[tuple[str, str]]) -> None:
        try:
            bodies = await asyncio.gather(*(tilework.fetch(semaphore, sql, z, x, y) for _, sql in statements))
            present = {layer: body for (layer, _), body in zip(statements, bodies) if body}
            if present:
                for layer in present:
                    if not fields[layer]:
                        field_types(present, layer, fields[layer])
                # Layers are repeated fields of the tile message: concatenated bodies form one tile.
                data = gzip.compress(b"".join(present.values()), compresslevel=6, mtime=0)
                archive.execute("INSERT OR REPLACE INTO tiles VALUES (?, ?, ?, ?)", (z, x, (1 << z) - 1 - y, data))
                archive.commit()
                counts["tiles written"] += 1
            else:
                counts["empty"] += 1
            state.mark(f"{z}/{x}/{y}")
        except Exception as e:  # noqa: BLE001 - reported; the tile stays to do on the next run
            counts["failed"] += 1
            errors.append(f"{z}/{x}/{y}: {type(e).__name__}: {e}")
        meter.update()

    finished = False
    try:
        # Tasks wait on the connection semaphore; the window only bounds how many exist at once.
        await tilework.run_bounded(work, one, max(1, args.workers) * 2)
        finished = not counts["failed"]
    finally:
        meter.close()
        # Metadata goes in on every exit, so the fields seen so far survive an interruption.
        write_metadata(archive, args.name or output.stem, where, args.zoom, layers, fields)
        counts["tiles in archive"] = archive.execute("SELECT count(*) FROM tiles").fetchone()[0]
        archive.close()
        state.close(finished)
        await database.dispose_engine()
        await module.redis_client.aclose()
    if finished:
        os.replace(part, output)
    for line in errors[:10]:
        print(f"  failed {line}", file=sys.stderr)
    return counts, finished


def to_pmtiles(mbtiles: Path, target: Path) -> str:
    try:
        from pmtiles.convert import mbtiles_to_pmtiles
    except ImportError:
        return "skipped: the pmtiles package is not installed (pip install pmtiles)"
    with sqlite3.connect(mbtiles) as db:
        maxzoom = int(db.execute("SELECT value FROM metadata WHERE name = 'maxzoom'").fetchone()[0])
    mbtiles_to_pmtiles(str(mbtiles), str(target), maxzoom)
    return f"{target} ({target.stat().st_size} bytes)"


def run(args: argparse.Namespace) -> int:
    started = time.monotonic()
    try:
        counts, finished = asyncio.run(export(args))
    except KeyboardInterrupt:
        print(f"interrupted: progress kept in {args.output}.state; run the same command again to resume",
              file=sys.stderr)
        return 130
    elapsed = time.monotonic() - started
    done = counts["tiles written"] + counts["empty"]
    counts["time"] = f"{elapsed:.1f} s ({done / elapsed if elapsed else 0:.1f} tiles/s)"
    if finished:
        counts["archive"] = f"{args.output} ({args.output.stat().st_size} bytes)"
        if args.pmtiles:
            counts["pmtiles"] = to_pmtiles(args.output, args.pmtiles)
    progress.summary("export " + ("complete" if finished else "incomplete: resume with the same command"), counts)
    return 0 if finished else 1
