"""Scale choice, scale bar and north arrow, read back from real matplotlib artists."""
from __future__ import annotations

import inspect

import pytest
from matplotlib.patches import Rectangle
from shapely.geometry import LineString, Polygon


@pytest.mark.parametrize("width, height, paper, expected", [
    (0, 50, (), 1000),
    (50, -1, (), 1000),
    (40, 40, (), 250),                # needs 214.8
    (1, 122.5, (), 500),              # needs exactly 500.0: equality fits
    (93.1, 1, (), 1000),              # needs 500.00000000000006
    (10, 200, (), 1000),              # the height decides: 816.3
    (1000, 1000, (), 7500),           # 5370.6
    (6000, 100, (), 33000),           # 32223.4, past the table: next whole thousand
    (80, 60, (190, 160), 500),        # a 50 x 30 m parcel with its margins
    (500, 400, (190, 160), 5000),
])
def test_recommended_scale(plots, width, height, paper, expected):
    scale = plots.get_recommended_scale(width, height, *paper)
    assert scale == expected and type(scale) is int


def test_signatures(plots):
    assert str(inspect.signature(plots.get_recommended_scale)) == \
        "(survey_width_m, survey_height_m, max_width_mm=190, max_height_mm=250)"
    assert str(inspect.signature(plots.add_north_arrow)) == "(ax, loc=(0.05, 0.92), size=0.08)"
    assert str(inspect.signature(plots.add_scale_bar)) == "(ax, scale, position=(0.5, 0.05))"
    assert str(inspect.signature(plots.project_geometry)) == "(geometry)"
    assert str(inspect.signature(plots.generate_plot)) == (
        "(parcel_data, selected_parcel_number, road_data, columnname='parcel_number', bounding_box=None, "
        "max_width_mm=190, max_height_mm=160)")
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'scale'"):
        plots.add_scale_bar(None)


@pytest.mark.parametrize("geometry", [
    Polygon([(834000.5, 714000.25), (834050, 714000), (834050, 714030)]),
    LineString([(1, 2), (3, 4)]),
])
def test_projection_keeps_web_mercator_coordinates(plots, geometry):
    projected = plots.project_geometry(geometry)
    assert projected is not geometry
    assert projected.geom_type == geometry.geom_type
    assert projected.equals_exact(geometry, 0)


def bar_parts(ax):
    rects = [p for p in ax.patches if isinstance(p, Rectangle)]
    outline = [r for r in rects if r.get_zorder() == 10]
    blacks = [r for r in rects if r.get_zorder() == 11]
    return outline, blacks


@pytest.mark.parametrize("scale, step", [
    (250, 2), (500, 5), (1000, 10), (1800, 20),   # 22.5 lies between 20 and 25: the smaller
    (2500, 25), (5000, 50), (7500, 100), (10000, 100),
    (25000, 300),     # 312.5 -> whole hundreds
    (100000, 1200),   # 12.5 hundreds round to even
    (28000, 400),     # 3.5 hundreds round to even
])
def test_scale_bar_step(plots, axes, scale, step):
    plots.add_scale_bar(axes, scale)
    outline, blacks = bar_parts(axes)
    assert outline[0].get_width() == 4 * step
    assert [b.get_width() for b in blacks] == [step, step]
    labels = [t.get_text() for t in axes.texts]
    assert labels == [str(2 * step), str(step), "0", str(step), str(2 * step), "m"]


def test_scale_bar_at_1_to_1000(plots, axes):
    assert plots.add_scale_bar(axes, 1000, position=(0.1, 0.9)) is None  # position is not used
    (outline,), blacks = bar_parts(axes)
    assert outline.get_xy() == pytest.approx((190 - 49.5, 3.2))
    assert (outline.get_width(), outline.get_height()) == pytest.approx((40, 2.4))
    assert outline.get_linewidth() == 1 and outline.get_facecolor() == (1, 1, 1, 1)
    assert outline.get_edgecolor() == (0, 0, 0, 1)
    # Black, white, black, white from the left.
    assert [b.get_x() for b in blacks] == pytest.approx([140.5, 160.5])
    assert all(b.get_facecolor() == (0, 0, 0, 1) and b.get_linewidth() == 0 for b in blacks)

    dividers = [line for line in axes.lines if line.get_ydata()[0] == pytest.approx(3.2)]
    ticks = [line for line in axes.lines if line.get_ydata()[0] == pytest.approx(5.6)]
    assert [d.get_xdata()[0] for d in dividers] == pytest.approx([150.5, 160.5, 170.5, 180.5])
    assert [t.get_xdata()[0] for t in ticks] == pytest.approx([140.5, 150.5, 160.5, 170.5, 180.5])
    assert all(list(t.get_ydata()) == pytest.approx([5.6, 6.8]) for t in ticks)
    assert {line.get_zorder() for line in axes.lines} == {12}

    *values, unit = axes.texts
    assert [v.get_position() for v in values] == pytest.approx([(x, 5.6 + 1.2 * 1.2) for x in
                                                                (140.5, 150.5, 160.5, 170.5, 180.5)])
    assert {(v.get_ha(), v.get_va(), v.get_fontsize(), v.get_fontweight(), v.get_zorder()) for v in values} == \
        {("center", "bottom", 9, "bold", 13)}
    assert unit.get_text() == "m" and unit.get_position() == pytest.approx((180.5 + 1.9, 7.04))
    assert (unit.get_ha(), unit.get_va(), unit.get_zorder()) == ("left", "bottom", 13)


@pytest.mark.parametrize("kwargs, bottom, tip, letter_y", [
    ({}, (0.05, 0.92), (0.05, 1.0), 1.01),   # the letter stands above the image
    ({"loc": [0.9, 0.1], "size": 0.2}, (0.9, 0.1), (0.9, 0.3), 0.31),
])
def test_north_arrow(plots, axes, kwargs, bottom, tip, letter_y):
    assert plots.add_north_arrow(axes, **kwargs) is None
    letter, arrow = axes.texts
    assert letter.get_text() == "N" and letter.get_transform() == axes.transAxes
    assert letter.get_position() == pytest.approx((bottom[0], letter_y))
    assert (letter.get_ha(), letter.get_va(), letter.get_fontsize(), letter.get_fontweight(), letter.get_zorder()) \
        == ("center", "bottom", 12, "bold", 10)
    assert arrow.get_text() == "" and arrow.xycoords == "axes fraction" and arrow.get_zorder() == 10
    assert arrow.xy == pytest.approx(tip) and arrow.xyann == pytest.approx(bottom)
    assert arrow.arrowprops == {"facecolor": "black", "width": 3, "headwidth": 10, "headlength": 12}

