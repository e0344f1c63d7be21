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
import sqlite3
import sys
import time
from pathlib import Path

from landrecords.jobs import area, outputs, progress, tiles
from landrecords.jobs.errors import Failure

TYPE_NAMES = {bool: "Boolean", int: "Number", float: "Number", str: "String"}


def register(subparsers) -> None:
    parser = subparsers.add_parser(
        "export", help="write an offline tile archive (MBTiles, optionally PMTiles) of an area and zoom range",
        description=__doc__ + "\nWhile it runs, the archive is OUTPUT.part and its progress OUTPUT.state, beside "
        "the output; an interrupted run started again with the same options resumes, and the archive is renamed "
        "to OUTPUT when complete. An existing OUTPUT (or PMTiles copy) is replaced only with --force. The number "
        f"of tiles is printed before any is made; above {tiles.CONFIRM_ABOVE:,} the run needs --yes.",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    area.add_arguments(parser)
    tiles.job_arguments(parser)
    parser.add_argument("-o", "--output", type=Path, required=True, metavar="FILE.mbtiles")
    parser.add_argument("--name", help="archive name in its metadata (default: the file name)")
    parser.add_argument("--pmtiles", type=Path, metavar="FILE.pmtiles", help="also write a PMTiles copy")
    parser.add_argument("--force", action="store_true", help="replace an existing output file")
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
    module = tiles.tessera()
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


def check_outputs(args: argparse.Namespace) -> None:
    outputs.check_file(args.output, args.force)
    if args.pmtiles:
        try:
            import pmtiles.convert  # noqa: F401
        except ImportError:
            raise Failure("--pmtiles needs the pmtiles package (pip install -r requirements.txt)") from None
        if args.pmtiles.resolve() == args.output.resolve():
            raise Failure("--pmtiles names the archive itself; name another file")
        outputs.check_file(args.pmtiles, args.force, "--pmtiles")


async def export(args: argparse.Namespace) -> tuple[dict, bool]:
    layers = tiles.chosen_layers(args.layers)
    where = await area.resolve(args)
    zooms = range(args.zoom[0], args.zoom[1] + 1)
    total = sum(area.tile_count(where, z) for z in zooms)
    tiles.confirm("export", total, f"tiles at {tiles.zoom_words(args.zoom)}", args.yes)
    output: Path = args.output
    part, state_path = Path(f"{output}.part"), Path(f"{output}.state")
    job = {"tool": "export", "area": where.label, "zoom": list(args.zoom), "layers": layers}
    if args.restart and part.exists():
        part.unlink()
    state = progress.StateFile(state_path, job, restart=args.restart)
    try:
        archive = open_archive(part)
        fields: dict[str, dict] = {layer: {} for layer in layers}
        for (value,) in archive.execute("SELECT value FROM metadata WHERE name = 'json'"):
            for entry in json.loads(value)["vector_layers"]:
                fields[entry["id"]] = entry["fields"]
    except (sqlite3.Error, ValueError, KeyError) as e:
        state.close(False)
        raise Failure(f"{part} from an earlier run cannot be read ({e}); pass --restart to start over") from None
    resumed = state.resumed

    def units():
        for z in zooms:
            statements = [(layer, composed[0]) for layer in layers if (composed := tiles.plan(layer, z))]
            for x, y in area.tiles(where, z):
                yield f"{z}/{x}/{y}", (z, x, y, statements)

    semaphore = asyncio.Semaphore(max(1, args.workers))

    async def one(z: int, x: int, y: int, statements: list[tuple[str, str]]) -> str:
        bodies = await asyncio.gather(*(tiles.fetch(semaphore, sql, z, x, y) for _, sql in statements))
        present = {layer: body for (layer, _), body in zip(statements, bodies, strict=True) if body}
        if not present:
            return "empty"
        for layer in present:
            if not fields[layer]:
                field_types(present, layer, fields[layer])
        # Layers are repeated fields of the tile message: concatenated bodies form one tile.
        data = gzip.compress(b"".join(present.values()), compresslevel=6, mtime=0)
        archive.execute("INSERT OR REPLACE INTO tiles VALUES (?, ?, ?, ?)", (z, x, (1 << z) - 1 - y, data))
        archive.commit()
        return "tiles written"

    in_archive = 0

    def close(finished: bool) -> None:
        nonlocal in_archive
        # Metadata goes in on every exit, so the fields seen so far survive an interruption.
        try:
            write_metadata(archive, args.name or output.stem, where, args.zoom, layers, fields)
            in_archive = archive.execute("SELECT count(*) FROM tiles").fetchone()[0]
        finally:
            archive.close()
        if finished:
            outputs.put_in_place(part, output)

    # Tasks wait on the connection semaphore; the window only bounds how many exist at once.
    outcome = await tiles.run_tile_job("export", state, units(), total, one, ("tiles written", "empty"),
                                       max(1, args.workers) * 2, close=close)
    counts = {"tiles written": outcome.counts["tiles written"], "empty": outcome.counts["empty"],
              "failed": outcome.counts["failed"], "done before": resumed, "tiles in archive": in_archive}
    return counts, outcome.finished


def to_pmtiles(mbtiles: Path, target: Path) -> str:
    from pmtiles.convert import mbtiles_to_pmtiles

    with sqlite3.connect(mbtiles) as db:
        maxzoom = int(db.execute("SELECT value FROM metadata WHERE name = 'maxzoom'").fetchone()[0])
    db.close()
    temporary = outputs.temporary_beside(target)
    try:
        mbtiles_to_pmtiles(str(mbtiles), str(temporary), maxzoom)
        outputs.put_in_place(temporary, target)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise
    return f"{target} ({target.stat().st_size} bytes)"


def run(args: argparse.Namespace) -> int:
    check_outputs(args)
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
