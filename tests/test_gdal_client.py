"""A map client of another make opens the tiles: GDAL's ogrinfo reads a live tile whose URL comes
from the layer's TileJSON template, and an exported archive, and finds the parcels where
PostGIS has them."""
from __future__ import annotations

import math
import os
import re
import shutil
import subprocess
import sys
from collections import defaultdict

import httpx
import pytest

pytestmark = [pytest.mark.integration, pytest.mark.e2e]
OGRINFO = shutil.which("ogrinfo")
if not OGRINFO:
    pytest.skip("GDAL's ogrinfo is not installed (Debian gdal-bin; scripts/services.sh install)",
                allow_module_level=True)

from shapely import wkt  # noqa: E402
from shapely.ops import unary_union  # noqa: E402

WORLD = 2 * math.pi * 6378137
REDIS_DB = os.environ.get("GDAL_REDIS_DB", "9")


def ogr_features(source: str, *options: str) -> dict[int, list]:
    """ID -> the geometries ogrinfo reports for it (a parcel split over tiles comes in pieces)."""
    run = subprocess.run([OGRINFO, "-ro", "-al", "-q", *options, source, "plots"], capture_output=True, text=True,
                         timeout=120)
    assert run.returncode == 0, run.stderr
    found: dict[int, list] = defaultdict(list)
    for block in re.split(r"^OGRFeature\(plots\):\d+$", run.stdout, flags=re.M)[1:]:
        ident = int(re.search(r"^\s+ID \((?:Integer|Integer64|Real)\) = (\d+)(?:\.0*)?$", block, flags=re.M).group(1))
        shape = re.search(r"^\s+((?:MULTI)?POLYGON \(.*\))$", block, flags=re.M).group(1)
        found[ident].append(wkt.loads(shape))
    return found


def tile_of(x: float, y: float, z: int) -> tuple[int, int]:
    n = 2 ** z
    return int((x + WORLD / 2) / WORLD * n), int((WORLD / 2 - y) / WORLD * n)


def tile_envelope(z: int, x: int, y: int) -> tuple[float, float, float, float]:
    size = WORLD / 2 ** z
    return -WORLD / 2 + x * size, WORLD / 2 - (y + 1) * size, -WORLD / 2 + (x + 1) * size, WORLD / 2 - y * size


async def parcels(database_url, where: str, **params) -> dict[int, object]:
    from sqlalchemy import text
    from sqlalchemy.ext.asyncio import create_async_engine

    engine = create_async_engine(database_url)
    try:
        async with engine.connect() as conn:
            rows = (await conn.execute(text(f'SELECT "ID", ST_AsText("GEOMETRY") g FROM "GIS"."PLOT" WHERE {where}'),
                                       params)).all()
    finally:
        await engine.dispose()
    return {ident: wkt.loads(g) for ident, g in rows}


@pytest.fixture(scope="module")
def archive_folder(database_url, tmp_path_factory):
    from tests.support.services import REPO_ROOT

    folder = tmp_path_factory.mktemp("gdal-archives")
    subprocess.run([sys.executable, "-m", "landrecords", "export", "--zone", "B05", "--zoom", "14-16",
                    "-o", str(folder / "b05.mbtiles")], cwd=REPO_ROOT, env=dict(os.environ, DATABASE_URL=database_url),
                   check=True, capture_output=True, timeout=600)
    return folder


@pytest.fixture(scope="module")
def base(database_url, services, archive_folder):
    import redis

    from tests.support.host_server import host_server

    # Its own Redis database, emptied: tiles cached from another database would differ.
    redis.Redis(host=services["REDIS_HOST"], port=int(services["REDIS_PORT"]), db=int(REDIS_DB)).flushdb()
    with host_server("gdal", DATABASE_URL=database_url, REDIS_DB=REDIS_DB, TILE_ARCHIVE_DIR=str(archive_folder)) as url:
        yield url


async def test_ogrinfo_reads_a_tile_expanded_from_the_tilejson_template(base, database_url):
    template = httpx.get(base + "/gis/plots/tiles.json").json()["tiles"][0]
    z = 17
    centre = await parcels(database_url, '"ID" = (SELECT min("ID") FROM "GIS"."PLOT" WHERE "CADZONE" = :zone)',
                           zone="B04")
    point = next(iter(centre.values())).centroid
    x, y = tile_of(point.x, point.y, z)
    url = template.format(z=z, x=x, y=y)
    assert url.startswith(base + "/gis/plots/")
    read = ogr_features("MVT:" + url)

    west, south, east, north = tile_envelope(z, x, y)
    inside = await parcels(database_url, '"GEOMETRY" @ ST_MakeEnvelope(:w, :s, :e, :n, 3857)',
                           w=west, s=south, e=east, n=north)
    assert inside, "the tile holds whole parcels"
    resolution = (east - west) / 4096
    for ident, shape in inside.items():
        assert ident in read, f"parcel {ident} lies in the tile but ogrinfo did not find it"
        [piece] = read[ident]
        assert piece.hausdorff_distance(shape) <= resolution, ident


async def test_ogrinfo_reads_an_exported_archive(base, archive_folder, database_url):
    doc = httpx.get(base + "/archive/b05/tiles.json").json()
    assert doc["tiles"] == [base + "/archive/b05/{z}/{x}/{y}.pbf"] and doc["maxzoom"] == 16
    read = ogr_features(str(archive_folder / "b05.mbtiles"), "-oo", f"ZOOM_LEVEL={doc['maxzoom']}")
    zone = await parcels(database_url, '"CADZONE" = :zone', zone="B05")
    assert zone and set(zone) <= set(read)
    resolution = WORLD / 2 ** doc["maxzoom"] / 4096
    west, south, east, north = doc["bounds"]
    for ident, shape in zone.items():
        found = unary_union(read[ident])
        # Pieces cut at tile edges join again; what differs is the tile grid's rounding.
        assert found.symmetric_difference(shape).area <= shape.length * resolution, ident
        lon = found.centroid.x / (WORLD / 360)
        assert west <= lon <= east
