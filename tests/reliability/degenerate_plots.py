"""Draws survey maps of degenerate parcels and with odd arguments, one line of JSON per case
(its name and outcome), flushed before the next case starts, so that a crash names its case.

    python -m tests.reliability.degenerate_plots
"""
from __future__ import annotations

import base64
import io
import json
import math

import warnings  # noqa: E402

warnings.filterwarnings("ignore", message="The 'shapely.ops.transform")

import ravn.plots as plots  # noqa: E402
from PIL import Image  # noqa: E402

from tests.plots.builders import parcel, rectangle  # noqa: E402

X0, Y0 = 834_000.0, 714_000.0


def square(**kw):
    return rectangle(X0, Y0, 40, 30, **kw)


def with_geometry(geometry, ring=None, **kw):
    entry = parcel(ring or [(X0, Y0), (X0 + 40, Y0), (X0 + 40, Y0 + 30), (X0, Y0 + 30)], **kw)
    entry["geometry"] = geometry
    return entry


def cases():
    p = [(X0, Y0), (X0 + 40, Y0), (X0 + 40, Y0 + 30), (X0, Y0 + 30)]
    no_boundary = square()
    del no_boundary["boundary"]
    yield "no boundary", ([no_boundary], 1, None), {}
    yield "empty boundary", ([square(boundary=[])], 1, None), {}
    yield "boundary None", ([square(boundary=None)], 1, None), {}
    yield "one beacon", ([parcel(p[:1] * 1)], 1, None), {}
    yield "repeated points", ([parcel([p[0], p[0], p[1], p[1], p[2], p[3], p[3]])], 1, None), {}
    yield "all points equal", ([parcel([p[0]] * 4)], 1, None), {}
    yield "zero area (collinear)", ([parcel([(X0, Y0), (X0 + 10, Y0), (X0 + 20, Y0)])], 1, None), {}
    yield "multipolygon", ([with_geometry({"type": "MultiPolygon", "coordinates": [
        [[p[0], p[1], p[2], p[0]]], [[(X0 + 100, Y0), (X0 + 120, Y0), (X0 + 120, Y0 + 20), (X0 + 100, Y0)]]]})],
        1, None), {}
    bowtie = [(X0, Y0), (X0 + 40, Y0 + 30), (X0 + 40, Y0), (X0, Y0 + 30)]
    yield "self-intersecting ring", ([parcel(bowtie)], 1, None), {}
    yield "empty polygon", ([with_geometry({"type": "Polygon", "coordinates": []})], 1, None), {}
    yield "point geometry", ([with_geometry({"type": "Point", "coordinates": (X0, Y0)})], 1, None), {}
    yield "no geometry", ([{k: v for k, v in square().items() if k != "geometry"}], 1, None), {}
    for name, bad in (("nan", math.nan), ("infinite", math.inf)):
        ring = [(bad, Y0), (X0 + 40, Y0), (X0 + 40, Y0 + 30), (bad, Y0)]
        yield f"{name} coordinates", ([with_geometry({"type": "Polygon", "coordinates": [ring]})], 1, None), {}
    yield "huge parcel", ([rectangle(-2e7, -2e7, 4e7, 4e7)], 1, None), {}
    yield "tiny parcel", ([rectangle(X0, Y0, 1e-9, 1e-9)], 1, None), {}
    yield "nan box", ([square()], 1, None), {"bounding_box": [math.nan] * 4}
    yield "inverted box", ([square()], 1, None), {"bounding_box": [X0 + 40, Y0 + 30, X0, Y0]}
    yield "zero paper", ([square()], 1, None), {"max_width_mm": 0, "max_height_mm": 0}
    yield "negative paper", ([square()], 1, None), {"max_width_mm": -190, "max_height_mm": 160}
    yield "nan paper", ([square()], 1, None), {"max_width_mm": math.nan}
    yield "huge paper", ([square()], 1, None), {"max_width_mm": 10 ** 30, "max_height_mm": 160}
    yield "bool paper", ([square()], 1, None), {"max_width_mm": True, "max_height_mm": True}
    yield "parcel data None", (None, 1, None), {}
    yield "parcel data bytes", (b"\x00\x01", 1, None), {}
    yield "selected None", ([square()], None, None), {}
    yield "roads of odd kinds", ([square()], 1, [{"geometry": {"type": "Point", "coordinates": (X0, Y0)}},
                                                 {"geometry": {"type": "LineString", "coordinates": [
                                                     (X0 - 10, Y0 - 10), (X0 - 10, Y0 - 10)]}}]), {}


def run(name, args, kwargs):
    try:
        image, paper, scale, schedule = plots.generate_plot(*args, **kwargs)
        with Image.open(io.BytesIO(base64.b64decode(image))) as png:
            png.load()
            size = png.size
        return {"case": name, "outcome": "drawn", "size": list(size), "scale": scale, "rows": len(schedule)}
    except Exception as error:  # noqa: BLE001 - reported to the test, which judges the type
        return {"case": name, "outcome": "raised", "type": type(error).__name__, "message": str(error)[:200]}


def main():
    for name, args, kwargs in cases():
        print(json.dumps({"case": name, "outcome": "started"}), flush=True)
        print(json.dumps(run(name, args, kwargs)), flush=True)
    import matplotlib.pyplot as plt

    print(json.dumps({"open_figures": len(plt.get_fignums())}), flush=True)


if __name__ == "__main__":
    main()
