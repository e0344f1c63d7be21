"""Areas and tile ranges shared by the tile tools: a box in degrees or a named zone, district or LGA."""
from __future__ import annotations

import argparse
import math
from collections.abc import Iterator
from dataclasses import dataclass

from landrecords.jobs.errors import UsageError

WEB_MERCATOR_HALF = 20037508.342789244
EARTH_RADIUS = 6378137.0
# Named areas: the table behind each --zone/--district/--lga option.
NAMED = {"zone": '"GIS"."CadZones"', "district": '"GIS"."Districts"', "lga": '"GIS"."LGAs"'}


@dataclass(frozen=True)
class Area:
    label: str
    minx: float  # EPSG:3857 metres
    miny: float
    maxx: float
    maxy: float

    def bounds_degrees(self) -> tuple[float, float, float, float]:
        west, south = to_degrees(self.minx, self.miny)
        east, north = to_degrees(self.maxx, self.maxy)
        return west, south, east, north


def to_metres(lon: float, lat: float) -> tuple[float, float]:
    lat = max(-85.0511287798066, min(85.0511287798066, lat))
    return (math.radians(lon) * EARTH_RADIUS,
            math.log(math.tan(math.pi / 4 + math.radians(lat) / 2)) * EARTH_RADIUS)


def to_degrees(x: float, y: float) -> tuple[float, float]:
    return math.degrees(x / EARTH_RADIUS), math.degrees(2 * math.atan(math.exp(y / EARTH_RADIUS)) - math.pi / 2)


def tile_range(area: Area, z: int) -> tuple[range, range]:
    """Columns and rows of the XYZ tiles at zoom z whose squares overlap the area."""
    n = 1 << z
    size = 2 * WEB_MERCATOR_HALF / n

    def clamp(v: float) -> int:
        return min(max(int(math.floor(v)), 0), n - 1)

    x0, x1 = clamp((area.minx + WEB_MERCATOR_HALF) / size), clamp((area.maxx + WEB_MERCATOR_HALF) / size)
    y0, y1 = clamp((WEB_MERCATOR_HALF - area.maxy) / size), clamp((WEB_MERCATOR_HALF - area.miny) / size)
    return range(x0, x1 + 1), range(y0, y1 + 1)


def tiles(area: Area, z: int) -> Iterator[tuple[int, int]]:
    """(x, y) of every XYZ tile at zoom z whose square overlaps the area, one at a time:
    a whole-world range at high zoom is far too many to hold."""
    columns, rows = tile_range(area, z)
    return ((x, y) for x in columns for y in rows)


def tile_count(area: Area, z: int) -> int:
    columns, rows = tile_range(area, z)
    return len(columns) * len(rows)


def add_arguments(parser: argparse.ArgumentParser) -> None:
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--bbox", metavar="W,S,E,N",
                       help="box in degrees (WGS84): west,south,east,north; a box starting west of Greenwich "
                            "may be typed --bbox -180,-85,180,85 or --bbox=-180,-85,180,85")
    where.add_argument("--zone", metavar="NAME", help="cadastral zone by name")
    where.add_argument("--district", metavar="NAME", help="district by name")
    where.add_argument("--lga", metavar="NAME", help="local government area by name")
    parser.add_argument("--zoom", required=True, metavar="MIN-MAX", type=zoom_range,
                        help="zoom levels, e.g. 12-16 (or one level)")


def zoom_range(text: str) -> tuple[int, int]:
    low, _, high = text.partition("-")
    try:
        zooms = int(low), int(high or low)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a zoom range: {text!r}") from None
    if not 1 <= zooms[0] <= zooms[1] <= 20:
        raise argparse.ArgumentTypeError(f"zoom levels run from 1 to 20, low to high: {text!r}")
    return zooms


def parse_bbox(text: str) -> Area:
    try:
        west, south, east, north = (float(v) for v in text.split(","))
    except ValueError:
        raise UsageError(f"--bbox needs four numbers west,south,east,north, got {text!r}") from None
    if not (-180 <= west < east <= 180 and -90 <= south < north <= 90):
        raise UsageError(f"--bbox {text!r} is not west<east, south<north within the globe")
    minx, miny = to_metres(west, south)
    maxx, maxy = to_metres(east, north)
    return Area(f"bbox {text}", minx, miny, maxx, maxy)


async def resolve(args: argparse.Namespace) -> Area:
    if args.bbox:
        return parse_bbox(args.bbox)
    import database
    from sqlalchemy import text

    kind = next(k for k in NAMED if getattr(args, k))
    name = getattr(args, kind)
    async with database.SessionLocal() as db:
        row = (await db.execute(text(
            f"SELECT ST_XMin(e), ST_YMin(e), ST_XMax(e), ST_YMax(e) FROM "
            f"(SELECT ST_Extent(geometry) AS e FROM {NAMED[kind]} WHERE name = :name) AS s"), {"name": name})).one()
    if row[0] is None:
        raise UsageError(f"no {kind} named {name!r}")
    return Area(f"{kind} {name}", *row)
