"""Bulk-load a generated data set into PostGIS with binary COPY."""
from __future__ import annotations

import asyncio
import re
import sys
import threading
import time
from dataclasses import dataclass

import asyncpg

from .generator import COLUMNS, generate
from .settings import REPO_ROOT, database_dsn, database_name, with_database

SCHEMA_FILE = REPO_ROOT / "db" / "schema.sql"
SCHEMA = "GIS"
# Referenced tables first, so a reader mid-load never sees a dangling id.
LOAD_ORDER = ("LGAs", "Districts", "CadZones", "ROAD", "LAND_PURPOSE", "BEACON", "PLOT", "BOUNDARY")
# Bumped whenever the generator's output changes, so stale test data is reloaded.
FORMAT_VERSION = 2
_MARK = re.compile(r"sampledata parcels=(\d+) seed=(-?\d+) format=(\d+)")
_LOCK_KEY = 0x5A4D_504C  # one loader per database at a time


@dataclass
class LoadResult:
    database: str
    loaded: bool
    parcels: int
    seed: int | None
    seconds: float
    reason: str = ""


def _schema_sql() -> str:
    return SCHEMA_FILE.read_text()


def _index_names(sql: str) -> list[str]:
    return re.findall(r'CREATE INDEX IF NOT EXISTS "([^"]+)"', sql)


# The schema's per-statement edit triggers. A bulk COPY would otherwise collect every
# loaded row in a transition table and send the extent of the whole layer; the TRUNCATE
# before it has already asked for the layers to be invalidated whole.
_ROW_EDIT_TRIGGERS = ("tile_edit_insert", "tile_edit_update", "tile_edit_delete")
_CLUSTER_ON = (("PLOT", "PLOT_GEOMETRY_gist"), ("BEACON", "BEACON_GEOMETRY_gist"), ("ROAD", "ROAD_GEOMETRY_gist"),
               ("BOUNDARY", "BOUNDARY_PLOTID_idx"))


async def _connect(dsn: str) -> asyncpg.Connection:
    try:
        conn = await asyncpg.connect(dsn)
    except asyncpg.InvalidCatalogNameError:
        admin = await asyncpg.connect(with_database(dsn, "postgres"))
        try:
            name = database_name(dsn)
            await admin.execute(f'CREATE DATABASE "{name.replace(chr(34), chr(34) * 2)}"')
        except asyncpg.DuplicateDatabaseError:
            pass
        finally:
            await admin.close()
        conn = await asyncpg.connect(dsn)
    await conn.execute("SET client_min_messages = warning")
    return conn


async def _ensure_schema(conn: asyncpg.Connection, sql: str) -> None:
    has_postgis = await conn.fetchval("SELECT 1 FROM pg_extension WHERE extname = 'postgis'")
    if not has_postgis:
        try:
            await conn.execute("CREATE EXTENSION IF NOT EXISTS postgis")
        except asyncpg.InsufficientPrivilegeError as exc:
            raise RuntimeError(
                "PostGIS is missing in this database and the role may not create it; "
                "run scripts/services.sh start (it adds PostGIS to new databases)"
            ) from exc
    await conn.execute(sql)


async def _current_mark(conn: asyncpg.Connection) -> tuple[int, int, int] | None:
    comment = await conn.fetchval(f"""SELECT obj_description('"{SCHEMA}"."PLOT"'::regclass, 'pg_class')""")
    m = _MARK.search(comment or "")
    if not m:
        return None
    parcels, seed, version = (int(g) for g in m.groups())
    return parcels, seed, version


async def _has_parcels(conn: asyncpg.Connection) -> bool:
    return bool(await conn.fetchval(f'SELECT EXISTS (SELECT 1 FROM "{SCHEMA}"."PLOT")'))


async def load_async(
    database: str | None = None,
    parcels: int = 400,
    seed: int = 1,
    *,
    if_empty: bool = False,
    reuse: bool = False,
    drop: bool = False,
    progress: bool = False,
) -> LoadResult:
    """Generate and load `parcels` parcels into `database` (a name or a URL; None: the serve database).

    if_empty: leave any existing parcels alone. reuse: skip when the database already
    holds exactly this parcels/seed load. drop: recreate the tables first.
    Otherwise existing rows are replaced.
    """
    started = time.monotonic()
    dsn = database_dsn(database)
    name = database_name(dsn)
    sql = _schema_sql()
    conn = await _connect(dsn)
    try:
        await conn.execute("SELECT pg_advisory_lock($1)", _LOCK_KEY)
        if drop:
            for table in reversed(LOAD_ORDER):
                await conn.execute(f'DROP TABLE IF EXISTS "{SCHEMA}"."{table}" CASCADE')
        await _ensure_schema(conn, sql)
        if if_empty and await _has_parcels(conn):
            count = await conn.fetchval(f'SELECT count(*) FROM "{SCHEMA}"."PLOT"')
            mark = await _current_mark(conn)
            return LoadResult(name, False, count, mark[1] if mark else None,
                              time.monotonic() - started, "parcels already present")
        if reuse and await _current_mark(conn) == (parcels, seed, FORMAT_VERSION):
            return LoadResult(name, False, parcels, seed, time.monotonic() - started, "already loaded")

        data = generate(parcels, seed, progress=progress)

        await conn.set_type_codec("geometry", schema="public", encoder=bytes, decoder=bytes, format="binary")
        await conn.execute("SET synchronous_commit = off")
        await conn.execute("SET maintenance_work_mem = '256MB'")
        bar = None
        if progress:
            from tqdm import tqdm

            bar = tqdm(total=sum(len(data[t]) for t in LOAD_ORDER), desc="copy", unit="row", leave=False)
        async with conn.transaction():
            tables = ", ".join(f'"{SCHEMA}"."{t}"' for t in LOAD_ORDER)
            await conn.execute(f"TRUNCATE {tables}")
            # Indexes are cheaper built once over the loaded rows than maintained per row.
            for index in _index_names(sql):
                await conn.execute(f'DROP INDEX IF EXISTS "{SCHEMA}"."{index}"')
            # Recreated by the schema file below, after the rows are in.
            for table in LOAD_ORDER:
                for trigger in _ROW_EDIT_TRIGGERS:
                    await conn.execute(f'DROP TRIGGER IF EXISTS {trigger} ON "{SCHEMA}"."{table}"')
            for table in LOAD_ORDER:
                rows = data[table]
                chunk = 50_000
                for start in range(0, len(rows), chunk):
                    await conn.copy_records_to_table(
                        table, schema_name=SCHEMA, columns=COLUMNS[table], records=rows[start:start + chunk]
                    )
                    if bar is not None:
                        bar.update(len(rows[start:start + chunk]))
            await conn.execute(sql)
            # Rows in the order of their spatial index, so that a tile's parcels sit on few pages.
            # CLUSTER holds an exclusive lock while it rewrites the table: after bulk loads only,
            # here where TRUNCATE already holds that lock (1,000,000 parcels: 11 s).
            for table, index in _CLUSTER_ON:
                await conn.execute(f'CLUSTER "{SCHEMA}"."{table}" USING "{index}"')
            await conn.execute(
                f"""COMMENT ON TABLE "{SCHEMA}"."PLOT" IS """
                f"""'sampledata parcels={parcels} seed={seed} format={FORMAT_VERSION}'"""
            )
        if bar is not None:
            bar.close()
        # Planner statistics; ST_EstimatedExtent reads them too.
        for table in LOAD_ORDER:
            await conn.execute(f'ANALYZE "{SCHEMA}"."{table}"')
        return LoadResult(name, True, parcels, seed, time.monotonic() - started)
    finally:
        await conn.close()


def load(database: str | None = None, parcels: int = 400, seed: int = 1, **kwargs) -> LoadResult:
    """Blocking form of load_async; safe to call from inside a running event loop."""
    try:
        asyncio.get_running_loop()
    except RuntimeError:
        return asyncio.run(load_async(database, parcels, seed, **kwargs))
    box: dict = {}

    def run() -> None:
        try:
            box["result"] = asyncio.run(load_async(database, parcels, seed, **kwargs))
        except BaseException as exc:  # handed back to the caller's thread
            box["error"] = exc

    worker = threading.Thread(target=run, name="sampledata-load")
    worker.start()
    worker.join()
    if "error" in box:
        raise box["error"]
    return box["result"]


def main(argv: list[str] | None = None) -> int:
    import argparse

    parser = argparse.ArgumentParser(prog="python -m sampledata", description="Load a synthetic cadastre.")
    parser.add_argument("--parcels", type=int, default=400)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--database", default=None,
                        help="database name or postgresql:// URL (default: PGDATABASE)")
    parser.add_argument("--if-empty", action="store_true", help="do nothing when parcels exist already")
    parser.add_argument("--drop", action="store_true", help="drop and recreate the tables first")
    parser.add_argument("--quiet", action="store_true", help="no progress bar")
    args = parser.parse_args(argv)
    if args.parcels < 1:
        parser.error("--parcels must be positive")
    result = load(args.database, args.parcels, args.seed, if_empty=args.if_empty, drop=args.drop,
                  progress=not args.quiet)
    if result.loaded:
        print(f"loaded {result.parcels} parcels (seed {result.seed}) into {result.database} "
              f"in {result.seconds:.1f}s", file=sys.stderr)
    else:
        print(f"{result.database}: {result.reason} ({result.parcels} parcels); nothing loaded", file=sys.stderr)
    return 0
