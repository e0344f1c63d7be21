"""Plot entries built from rings, and ways to read a drawn map back."""
from __future__ import annotations

import math


def bearing(dx: float, dy: float) -> tuple[int, int]:
    """Whole-circle bearing from north, degrees and minutes."""
    angle = math.degrees(math.atan2(dx, dy)) % 360
    return int(angle), int(round((angle - int(angle)) * 60))


def parcel(ring, pid=1, name="P1", area=450.5, names=None, key="parcel_number", **extra):
    """A plot entry for the open ring `ring` (counter-clockwise), one beacon per vertex."""
    names = names or [f"B{i + 1}" for i in range(len(ring))]
    boundary = []
    for i, (x, y) in enumerate(ring):
        nx, ny = ring[(i + 1) % len(ring)]
        deg, minutes = bearing(nx - x, ny - y)
        boundary.append({
            "beacon_name": names[i],
            "geometry": {"type": "Point", "coordinates": (x, y)},
            "bearing_deg_to_next": f"{deg}°",
            "bearing_min_to_next": f"{minutes}'",
            "distance_to_next": math.hypot(nx - x, ny - y),
        })
    entry = {key: pid, "name": name, "area": area,
             "geometry": {"type": "Polygon", "coordinates": [list(ring) + [ring[0]]]}, "boundary": boundary}
    entry.update(extra)
    return entry


def rectangle(x0, y0, w, h, **kw):
    return parcel([(x0, y0), (x0 + w, y0), (x0 + w, y0 + h), (x0, y0 + h)], **kw)


def drawn_axes(spy):
    """The axes of the last map drawn through the spy."""
    return spy.figures[-1].axes[0]


def texts(ax):
    return {t.get_text(): t for t in ax.texts}


def renderer(fig):
    """A renderer for a figure the map has closed (closing leaves it without one)."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    return FigureCanvasAgg(fig).get_renderer()
