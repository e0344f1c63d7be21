"""Labels read back from the axes: positions, rotations, anchors and sizes, and the schedule."""
from __future__ import annotations

import math

import pytest

from .builders import drawn_axes, parcel, rectangle, renderer

X0, Y0 = 834_000.0, 714_000.0
R = 6 / math.sqrt(2)  # a 6 m name offset along a diagonal


def draw(plots, spy, entry, roads=None):
    result = plots.generate_plot([entry], entry["parcel_number"], roads)
    return drawn_axes(spy), result[3]


def label(ax, text):
    (found,) = [t for t in ax.texts if t.get_text() == text]
    x, y = found.get_position()
    return (x - X0, y - Y0), found.get_rotation()


def tagged(ring, **kw):
    """A parcel whose leg labels are unique: degrees "<i>d", minutes "<i>m", length 40.0i."""
    entry = parcel([(X0 + x, Y0 + y) for x, y in ring], **kw)
    for i, beacon in enumerate(entry["boundary"]):
        beacon.update(bearing_deg_to_next=f"{i}d", bearing_min_to_next=f"{i}m", distance_to_next=40 + i / 100)
    return entry


SQUARE = [(0, 0), (40, 0), (40, 40), (0, 40)]


def test_square_at_1_to_1000(plots, spy, at_scale):
    at_scale(1000)
    ax, schedule = draw(plots, spy, tagged(SQUARE))
    # Convex corners: the bisector points into the parcel, so the name goes the other way;
    # names along a bisector pointing left are turned to read left to right.
    assert label(ax, "B1") == (pytest.approx((-R, -R)), pytest.approx(45))
    assert label(ax, "B2") == (pytest.approx((40 + R, -R)), pytest.approx(315))
    assert label(ax, "B3") == (pytest.approx((40 + R, 40 + R)), pytest.approx(45))
    assert label(ax, "B4") == (pytest.approx((-R, 40 + R)), pytest.approx(315))
    # East leg: bearings 2 m outside at the quarter points, the length 2 m inside.
    assert label(ax, "0d") == (pytest.approx((10, -2)), 0)
    assert label(ax, "0m") == (pytest.approx((30, -2)), 0)
    assert label(ax, "40.00m") == (pytest.approx((20, 2)), 0)
    # North leg: turned a quarter, not reversed.
    assert label(ax, "1d") == (pytest.approx((42, 10)), 90)
    assert label(ax, "1m") == (pytest.approx((42, 30)), 90)
    assert label(ax, "40.01m") == (pytest.approx((38, 20)), 90)
    # West leg would read upside down: turned, degrees at the quarter nearer its end.
    assert label(ax, "2d") == (pytest.approx((10, 42)), 0)
    assert label(ax, "2m") == (pytest.approx((30, 42)), 0)
    assert label(ax, "40.02m") == (pytest.approx((20, 38)), 0)
    # South leg: -90 is left as it is.
    assert label(ax, "3d") == (pytest.approx((-2, 30)), 270)
    assert label(ax, "3m") == (pytest.approx((-2, 10)), 270)
    assert label(ax, "40.03m") == (pytest.approx((2, 20)), 270)
    # Name 2 mm above the centroid, area 0.75 m (not mm) below it.
    assert label(ax, "P1") == (pytest.approx((20, 22)), 0)
    assert label(ax, "450.5 m²") == (pytest.approx((20, 19.25)), 0)

    anchors = {t.get_text(): (t.get_ha(), t.get_va(), t.get_rotation_mode(), t.get_fontweight(), t.get_zorder())
               for t in ax.texts}
    assert anchors["B1"] == ("center", "center", "anchor", "bold", 7)
    assert anchors["0d"] == ("center", "center", "anchor", "normal", 7)
    assert anchors["40.00m"] == ("center", "center", "anchor", "bold", 7)
    assert anchors["P1"][:2] + anchors["P1"][3:] == ("center", "bottom", "bold", 8)
    assert anchors["450.5 m²"][:2] + anchors["450.5 m²"][4:] == ("center", "top", 8)
    markers = [line for line in ax.lines if line.get_marker() == "o"]
    assert [(m.get_xdata()[0] - X0, m.get_ydata()[0] - Y0) for m in markers] == SQUARE
    assert {(m.get_markersize(), m.get_zorder()) for m in markers} == {(3, 6)}
    assert schedule == [{"from": f"B{i + 1}", "to": f"B{(i + 1) % 4 + 1}", "bearing": f"{i}d {i}m",
                         "distance": f"{40 + i / 100:.2f}"} for i in range(4)]


def test_reflex_and_straight_corners(plots, spy, at_scale):
    at_scale(1000)
    # An L with a reflex corner at (20, 20) and a straight corner at (20, 0).
    ring = [(0, 0), (20, 0), (40, 0), (40, 20), (20, 20), (20, 40), (0, 40)]
    names = ["A", "STRAIGHT", "C", "D", "REFLEX", "F", "G"]
    ax, schedule = draw(plots, spy, tagged(ring, names=names))
    # At the reflex corner the bisector already points out of the parcel: not flipped.
    offset = 6 + (6 - 4) * 1.5
    assert label(ax, "REFLEX") == (pytest.approx((20 + offset / math.sqrt(2),) * 2), pytest.approx(45))
    # A straight corner takes the normal of its outgoing leg, flipped out of the parcel.
    offset = 6 + (8 - 4) * 1.5
    assert label(ax, "STRAIGHT") == (pytest.approx((20, -offset)), 270)
    assert len(schedule) == 7


@pytest.mark.parametrize("scale, width, labelled", [
    (1000, 14.9, False), (1000, 15.0, False), (1000, 15.1, True), (500, 7.5, False), (500, 7.6, True),
])
def test_legs_shorter_than_15_mm_are_not_labelled(plots, spy, at_scale, scale, width, labelled):
    at_scale(scale)
    entry = rectangle(X0, Y0, width, 40)
    ax, schedule = draw(plots, spy, entry)
    texts = [t.get_text() for t in ax.texts]
    assert (f"{width:.2f}m" in texts) is labelled
    assert "40.00m" in texts
    assert [row["distance"] for row in schedule] == [f"{width:.2f}", "40.00", f"{width:.2f}", "40.00"]


@pytest.mark.parametrize("scale, sizes", [
    (1999, (10, 9, 12, 8)), (2000, (9, 8, 11, 7)), (4999, (9, 8, 11, 7)), (5000, (8, 7, 10, 6)),
])
def test_font_sizes_by_scale(plots, spy, at_scale, scale, sizes):
    at_scale(scale)
    ax, _ = draw(plots, spy, tagged([(0, 0), (200, 0), (200, 200), (0, 200)]))
    size = {t.get_text(): t.get_fontsize() for t in ax.texts}
    assert (size["B1"], size["0d"], size["P1"], size["450.5 m²"]) == sizes
    assert size["40.00m"] == sizes[1]


def test_degenerate_rings_and_missing_keys(plots, spy, at_scale):
    at_scale(1000)
    # B and C coincide; B has no name: both lose their labels and rows, A's row points to "?".
    entry = parcel([(X0, Y0), (X0 + 40, Y0), (X0 + 40, Y0), (X0 + 40, Y0 + 40), (X0, Y0 + 40)],
                   names=["A", "B", "C", "D", "E"])
    del entry["boundary"][1]["beacon_name"]
    del entry["boundary"][0]["bearing_min_to_next"]
    del entry["boundary"][0]["distance_to_next"]
    del entry["area"]
    ax, schedule = draw(plots, spy, entry)
    assert [row["from"] for row in schedule] == ["A", "D", "E"]
    assert schedule[0] == {"from": "A", "to": "?", "bearing": "90° ", "distance": "0.00"}
    texts = [t.get_text() for t in ax.texts]
    assert "C" not in texts and "0.00m" in texts and "0 m²" in texts
    assert len([line for line in ax.lines if line.get_marker() == "o"]) == 5


@pytest.mark.parametrize("boundary, markers", [(None, 0), ([], 0), ("one", 1)])
def test_no_legs(plots, spy, boundary, markers):
    entry = rectangle(X0, Y0, 50, 30)
    if boundary is None:
        del entry["boundary"]
    elif boundary == []:
        entry["boundary"] = []
    else:
        entry["boundary"] = entry["boundary"][:1]
    ax, schedule = draw(plots, spy, entry)
    assert schedule == []
    assert len([line for line in ax.lines if line.get_marker() == "o"]) == markers
    assert sorted(t.get_text() for t in ax.texts if t.get_zorder() < 10) == ["450.5 m²", "P1"]


@pytest.mark.parametrize("change, error", [
    (lambda e: e.update(boundary=None), TypeError),
    (lambda e: e["boundary"][0].update(beacon_name=7), TypeError),
    (lambda e: e["boundary"][2].pop("geometry"), KeyError),
])
def test_bad_entries_fail(plots, change, error):
    entry = rectangle(X0, Y0, 50, 30)
    change(entry)
    with pytest.raises(error):
        plots.generate_plot([entry], 1, None)


def road(kind, coordinates):
    return {"geometry": {"type": kind, "coordinates": coordinates}}


def test_roads_by_geometry_kind(plots, spy):
    line = [(X0 - 10, Y0 - 5), (X0 + 60, Y0 - 5)]
    square = [(X0 - 20, Y0 - 20), (X0 - 12, Y0 - 20), (X0 - 12, Y0 - 12), (X0 - 20, Y0 - 12), (X0 - 20, Y0 - 20)]
    hole = [(X0 - 18, Y0 - 18), (X0 - 14, Y0 - 18), (X0 - 14, Y0 - 14), (X0 - 18, Y0 - 18)]
    shifted = [(x, y + 50) for x, y in square]
    roads = [
        road("LineString", line),
        road("Polygon", [square, hole]),
        road("MultiPolygon", [[square], [shifted]]),
        road("MultiLineString", [line[:1] + [(X0, Y0 - 8)], [(X0 + 5, Y0 - 8), (X0 + 30, Y0 - 8)]]),
        road("Point", (X0 - 5, Y0 - 5)),
        {"geometry": {"type": "GeometryCollection", "geometries": [
            {"type": "Point", "coordinates": (X0 - 5, Y0 - 6)},
            {"type": "LineString", "coordinates": [(X0 + 70, Y0), (X0 + 70, Y0 + 30)]}]}},
        road("LineString", [(X0 + 5000, Y0), (X0 + 5100, Y0)]),   # off the paper
    ]
    ax, _ = draw(plots, spy, rectangle(X0, Y0, 50, 30), roads)
    dashed = [(line.get_zorder(), len(line.get_xdata())) for line in ax.lines if line.get_linestyle() == "--"]
    assert dashed == [(1, 2), (2, 5), (2, 5), (2, 5), (1, 2), (1, 2), (1, 2)]
    assert {(line.get_color(), line.get_linewidth()) for line in ax.lines if line.get_linestyle() == "--"} == \
        {("black", 0.8)}


def test_inner_leg_of_concave_parcel_keeps_its_length_inside(plots, spy, at_scale):
    at_scale(1000)
    # A long L: the centroid (39.6, 8.5) lies beyond the inner leg (10, 10) -> (10, 40), so
    # "away from the centroid" would point into the parcel's own arm.
    ring = [(0, 0), (100, 0), (100, 10), (10, 10), (10, 40), (0, 40)]
    ax, _ = draw(plots, spy, tagged(ring))
    assert label(ax, "40.03m") == (pytest.approx((8, 25)), 90)
    assert label(ax, "3d") == (pytest.approx((12, 17.5)), 90)
    assert label(ax, "3m") == (pytest.approx((12, 32.5)), 90)
    # Legs the centroid rule gets right are untouched: the long outer leg.
    assert label(ax, "0d") == (pytest.approx((25, -2)), 0)
    assert label(ax, "40.00m") == (pytest.approx((50, 2)), 0)


def drawn_extent(ax, text):
    """Where the text of `text` lies once drawn, in map metres."""
    from shapely.geometry import box

    (found,) = [t for t in ax.texts if t.get_text() == text]
    extent = found.get_window_extent(renderer(ax.figure)).transformed(ax.transData.inverted())
    return box(extent.x0, extent.y0, extent.x1, extent.y1)


@pytest.mark.parametrize("ring,scale", [
    # The centroid lies outside the L, off its inner corner.
    ([(0, 0), (60, 0), (60, 12), (12, 12), (12, 60), (0, 60)], 500),
    # The centroid is inside, 4.2 m below the inner edge: the name above it would cross that edge.
    ([(0, 0), (60, 0), (60, 20), (12, 20), (12, 50), (0, 50)], 1000),
])
def test_name_and_area_stay_inside_a_concave_parcel(plots, spy, at_scale, ring, scale):
    from shapely.geometry import Polygon

    at_scale(scale)
    entry = tagged(ring, name="211", area=801.01)
    ax, _ = draw(plots, spy, entry)
    parcel_polygon = Polygon([(X0 + x, Y0 + y) for x, y in ring])
    name, area = drawn_extent(ax, "211"), drawn_extent(ax, "801.01 m²")
    assert parcel_polygon.contains(name) and parcel_polygon.contains(area)
    # They move together: the area is still 0.75 m below the point the name stands 2 mm above.
    (nx, ny), _ = label(ax, "211")
    (qx, qy), _ = label(ax, "801.01 m²")
    assert (nx, ny - scale / 1000 * 2) == pytest.approx((qx, qy + 0.75))
