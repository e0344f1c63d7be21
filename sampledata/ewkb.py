"""Little-endian EWKB with SRID, the form PostGIS accepts for geometry in binary COPY."""
from __future__ import annotations

import struct

SRID = 3857
_SRID_FLAG = 0x20000000
_POINT, _LINESTRING, _POLYGON = 1, 2, 3


def point(x: float, y: float) -> bytes:
    return struct.pack("<BIIdd", 1, _POINT | _SRID_FLAG, SRID, x, y)


def linestring(coords: list[tuple[float, float]]) -> bytes:
    flat = [c for xy in coords for c in xy]
    return struct.pack(f"<BIII{len(flat)}d", 1, _LINESTRING | _SRID_FLAG, SRID, len(coords), *flat)


def polygon(ring: list[tuple[float, float]]) -> bytes:
    """Single-ring polygon; the ring is given open and closed here."""
    closed = list(ring) + [ring[0]]
    flat = [c for xy in closed for c in xy]
    return struct.pack(f"<BIIII{len(flat)}d", 1, _POLYGON | _SRID_FLAG, SRID, 1, len(closed), *flat)
