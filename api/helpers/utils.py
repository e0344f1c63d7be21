"""Tile arithmetic (XYZ scheme, y counted from the top) and display formatting."""
from __future__ import annotations

import math
from datetime import date, datetime

# Half the width of the EPSG:3857 square, metres.
WEB_MERCATOR_HALF = 20037508.342789244
MAX_LATITUDE = 85.0511287798066


def latlon_to_xyz(lat: float, lon: float, zoom: int) -> dict:
    zoom = int(zoom)
    n = 1 << zoom
    lat = max(-MAX_LATITUDE, min(MAX_LATITUDE, float(lat)))
    lat_r = math.radians(lat)
    x = math.floor((float(lon) + 180.0) / 360.0 * n)
    y = math.floor((1.0 - math.asinh(math.tan(lat_r)) / math.pi) / 2.0 * n)
    return {"z": zoom, "x": min(max(x, 0), n - 1), "y": min(max(y, 0), n - 1)}


def xyz_to_bbox_web_mercator(z: int, x: int, y: int) -> dict:
    size = 2 * WEB_MERCATOR_HALF / (1 << int(z))
    minx = -WEB_MERCATOR_HALF + int(x) * size
    maxy = WEB_MERCATOR_HALF - int(y) * size
    return {"minx": minx, "miny": maxy - size, "maxx": minx + size, "maxy": maxy}


# Not strftime("%B"): that follows the process locale.
_MONTHS = ("January", "February", "March", "April", "May", "June", "July", "August", "September",
           "October", "November", "December")


def _ordinal(day: int) -> str:
    if 11 <= day % 100 <= 13:
        return f"{day}th"
    suffix = {1: "st", 2: "nd", 3: "rd"}.get(day % 10, "th")
    return f"{day}{suffix}"


def format_date_html(dt: date | datetime | str | None = None) -> str:
    """'8th December, 2026'; None means today, strings are ISO dates."""
    if dt is None:
        dt = date.today()
    elif isinstance(dt, str):
        dt = datetime.fromisoformat(dt)
    return f"{_ordinal(dt.day)} {_MONTHS[dt.month - 1]}, {dt.year}"
