"""The map's frame: parcel search, extent and scale, clipping, fills, output, figure lifetime."""
from __future__ import annotations

import base64
import io

import matplotlib.pyplot as plt
import pytest
from PIL import Image
from pyproj import Transformer

from .builders import drawn_axes, rectangle, renderer

X0, Y0 = 834_000.0, 714_000.0  # around 7.5 E, 6.4 N in Web Mercator


def fills(ax, colour):
    return [p for p in ax.patches if p.get_facecolor()[:3] == pytest.approx(colour)]


GREY = (0xE0 / 255,) * 3
PINK = (1, 0.85, 0.85)


@pytest.mark.parametrize("data, selected, column, message", [
    ([], 7, "id", "Parcel with id=7 not found."),
    ([rectangle(0, 0, 10, 10, pid="7", key="id")], 7, "id", "Parcel with id=7 not found."),
    ([rectangle(0, 0, 10, 10, pid=42)], 41, "parcel_number", "Parcel with parcel_number=41 not found."),
    ([rectangle(0, 0, 10, 10, pid=float("nan"))], float("nan"), "parcel_number",
     "Parcel with parcel_number=nan not found."),
])
def test_missing_parcel(plots, spy, data, selected, column, message):
    with pytest.raises(ValueError) as raised:
        plots.generate_plot(data, selected, None, column)
    assert str(raised.value) == message
    assert spy.figures == []


def test_identifiers_compare_with_equality_and_duplicates_are_not_neighbours(plots, spy):
    first = rectangle(X0, Y0, 50, 30, pid=7.0, key="id")
    second = rectangle(X0 + 10, Y0 + 10, 20, 20, pid=7, key="id")
    other = rectangle(X0 + 50, Y0, 20, 30, pid=8, key="id")
    plots.generate_plot([first, second, other], 7, [], "id")
    ax = drawn_axes(spy)
    (parcel,) = fills(ax, PINK)
    assert parcel.get_xy()[:4].tolist() == [[X0, Y0], [X0 + 50, Y0], [X0 + 50, Y0 + 30], [X0, Y0 + 30]]
    (neighbour,) = fills(ax, GREY)
    assert neighbour.get_xy()[0].tolist() == [X0 + 50, Y0]


def test_parcel_extent_scale_and_result(plots, spy, log, capsys):
    target = rectangle(X0, Y0, 50, 30)
    image64, paper, scale, schedule = plots.generate_plot([target], 1, None)
    assert paper == (190, 160) and scale == 500 and len(schedule) == 4
    assert capsys.readouterr().out == "500\n"
    assert log.messages == ["Generating plot for parcel_number=1"]
    ax = drawn_axes(spy)
    # 95 x 80 m of ground (the paper at 1:500), centred on the centroid.
    assert ax.get_xlim() == pytest.approx((X0 + 25 - 47.5, X0 + 25 + 47.5))
    assert ax.get_ylim() == pytest.approx((Y0 + 15 - 40, Y0 + 15 + 40))
    assert ax.get_position(original=True).bounds == (0, 0, 1, 1) and not ax.axison
    fig = spy.figures[-1]
    assert fig.get_dpi() == 300 and tuple(fig.get_size_inches()) == pytest.approx((190 / 25.4, 160 / 25.4))
    (parcel,) = fills(ax, PINK)
    assert parcel.get_edgecolor()[:3] == (1, 0, 0) and parcel.get_linewidth() == 2.5 and parcel.get_zorder() == 5
    assert spy.closed == [fig]


def pixel(image, ax, x, y):
    (x0, x1), (y0, y1) = ax.get_xlim(), ax.get_ylim()
    col = int((x - x0) / (x1 - x0) * image.width)
    row = int((y1 - y) / (y1 - y0) * image.height)
    return image.getpixel((col, row))


def test_image(plots, spy):
    target = rectangle(X0, Y0, 50, 30)
    image64, *_ = plots.generate_plot([target], 1, None)
    data = base64.b64decode(image64, validate=True)
    image = Image.open(io.BytesIO(data))
    assert image.format == "PNG" and image.size == (2244, 1889)
    assert image.info["dpi"] == pytest.approx((300, 300), abs=0.01)
    assert image.mode == "RGBA" and image.getextrema()[3] == (255, 255)
    ax = drawn_axes(spy)
    assert pixel(image, ax, X0 + 25, Y0 + 15)[:3] == (255, 217, 217)           # the parcel's fill at its centroid
    assert pixel(image, ax, ax.get_xlim()[1] - 1, ax.get_ylim()[1] - 1)[:3] == (255, 255, 255)
    (x0, x1), (y0, y1) = ax.get_xlim(), ax.get_ylim()
    assert pixel(image, ax, x0 + 0.05 * (x1 - x0), y0 + 0.96 * (y1 - y0))[:3] == (0, 0, 0)  # north arrow

    again, *_ = plots.generate_plot([target], 1, None)
    assert again == image64


def test_degree_box(plots, spy, log):
    target = rectangle(X0, Y0, 50, 30)
    box = (7.50, 6.40, 7.51, 6.41)
    _, _, scale, _ = plots.generate_plot([target], 1, None, "parcel_number", box)
    to_metres = Transformer.from_crs("EPSG:4326", "EPSG:3857", always_xy=True)
    (minx, miny), (maxx, maxy) = to_metres.transform(7.50, 6.40), to_metres.transform(7.51, 6.41)
    assert scale == plots.get_recommended_scale(maxx - minx, maxy - miny, 190, 160) == 7500
    ax = drawn_axes(spy)
    assert sum(ax.get_xlim()) / 2 == pytest.approx((minx + maxx) / 2)
    assert sum(ax.get_ylim()) / 2 == pytest.approx((miny + maxy) / 2)
    assert log.messages[1] == "Transforming bounding box from WGS84 to WGS 84 / Pseudo-Mercator"


def test_metre_box_clips_roads_and_neighbours(plots, spy, log):
    target = rectangle(100_100, 600_100, 50, 30)
    inside = rectangle(100_200, 600_100, 40, 30, pid=2)
    outside = rectangle(100_600, 600_100, 40, 30, pid=3)   # on the paper, beyond the box
    roads = [{"geometry": {"type": "LineString", "coordinates": [(99_900, 600_050), (100_800, 600_050)]}},
             {"geometry": {"type": "LineString", "coordinates": [(100_700, 599_800), (100_700, 600_800)]}}]
    _, _, scale, _ = plots.generate_plot([target, inside, outside], 1, roads, "parcel_number",
                                         [100_000, 600_000, 100_500, 600_400])
    assert scale == 5000 and len(log.messages) == 1
    ax = drawn_axes(spy)
    assert ax.get_xlim() == pytest.approx((100_250 - 475, 100_250 + 475))
    (neighbour,) = fills(ax, GREY)
    assert neighbour.get_xy()[0].tolist() == [100_200, 600_100]
    (road,) = [line for line in ax.lines if line.get_linestyle() == "--"]
    assert list(road.get_xdata()) == [100_000, 100_500]   # cut at the box, not at the paper's edge


def test_mixed_box_is_taken_as_degrees(plots, log):
    # Only the minimum corner is tested: metres in the maximum corner do not convert.
    with pytest.raises(OverflowError):
        plots.generate_plot([rectangle(X0, Y0, 50, 30)], 1, None, "parcel_number", (170, 5, 100_500, 600_400))
    assert log.messages[-1].startswith("Transforming bounding box")


@pytest.mark.parametrize("box, error", [((1, 2, 3), ValueError), ((1, 2, 3, 4, 5), ValueError), (5, TypeError)])
def test_box_must_unpack_into_four(plots, box, error):
    with pytest.raises(error, match="unpack"):
        plots.generate_plot([rectangle(X0, Y0, 50, 30)], 1, None, "parcel_number", box)


@pytest.mark.parametrize("roads", [None, []])
def test_no_roads(plots, spy, roads):
    plots.generate_plot([rectangle(X0, Y0, 50, 30)], 1, roads)
    assert not [line for line in drawn_axes(spy).lines if line.get_linestyle() == "--"]


def test_failing_map_closes_its_figure(plots, spy):
    target = rectangle(X0, Y0, 50, 30)
    del target["name"]
    with pytest.raises(KeyError, match="name"):
        plots.generate_plot([target], 1, None)
    assert spy.closed == spy.figures and len(spy.figures) == 1
    # The beacons were drawn before the name was needed.
    assert len([t for t in drawn_axes(spy).texts if t.get_text().startswith("B")]) == 4
    assert plt.get_fignums() == []


def test_late_binding(plots, spy, monkeypatch):
    calls = []
    monkeypatch.setattr(plots, "get_recommended_scale", lambda *args: calls.append(args) or 2000)
    monkeypatch.setattr(plots, "add_scale_bar", lambda *args: calls.append(args))
    _, _, scale, _ = plots.generate_plot([rectangle(X0, Y0, 50, 30)], 1, None, max_width_mm=100, max_height_mm=80)
    ax = drawn_axes(spy)
    assert scale == 2000 and calls == [(80, 60, 100, 80), (ax, 2000)]
    assert ax.get_xlim() == pytest.approx((X0 + 25 - 100, X0 + 25 + 100))
    assert not [p for p in ax.patches if p.get_zorder() >= 10]   # no scale bar of the module's own


def test_the_north_letter_is_inside_the_image(plots, spy):
    plots.generate_plot([rectangle(X0, Y0, 50, 30)], 1, None)
    ax = drawn_axes(spy)
    figure = ax.figure.bbox
    letters = [t.get_window_extent(renderer(ax.figure)) for t in ax.texts if t.get_text() == "N"]
    inside = [b for b in letters if figure.x0 <= b.x0 and b.x1 <= figure.x1 and figure.y0 <= b.y0 and b.y1 <= figure.y1]
    assert inside, [tuple(b.bounds) for b in letters]
    # Beside the arrow's tip (0.05, 1.0 in axes fractions), at the top left of the map.
    (letter,) = inside
    assert letter.x0 >= 0.05 * figure.width and letter.x0 < 0.1 * figure.width
    assert letter.y1 > 0.95 * figure.height
