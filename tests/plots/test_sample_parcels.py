"""Maps of real parcels from the sample database, read as a surveyor reads them."""
from __future__ import annotations

import asyncio
import base64
import io
import math

import pytest
from PIL import Image
from shapely.geometry import Point, shape

from tests.support.parcels import load_samples

pytestmark = pytest.mark.integration


@pytest.fixture(scope="module")
def samples(database_url):
    return asyncio.run(load_samples(database_url))


def upright(rotation):
    return not 90 < rotation % 360 < 270


@pytest.mark.parametrize("kind", ["rectangle", "reflex", "road"])
def test_sample_map(plots, spy, samples, kind):
    plot_id, nearby = samples[kind]
    image64, paper, scale, schedule = plots.generate_plot(nearby["plots"], plot_id, nearby["roads"], "id", None,
                                                          max_width_mm=190, max_height_mm=160)
    target = next(p for p in nearby["plots"] if p["id"] == plot_id)
    polygon = shape(target["geometry"])
    boundary = target["boundary"]
    assert Image.open(io.BytesIO(base64.b64decode(image64))).size == (2244, 1889)
    assert paper == (190, 160) and scale in (250, 500, 1000)

    assert [(row["from"], row["to"]) for row in schedule] == \
        [(b["beacon_name"], boundary[(i + 1) % len(boundary)]["beacon_name"]) for i, b in enumerate(boundary)]
    assert [row["bearing"] for row in schedule] == \
        [f"{b['bearing_deg_to_next']} {b['bearing_min_to_next']}" for b in boundary]
    assert [row["distance"] for row in schedule] == [f"{b['distance_to_next']:.2f}" for b in boundary]

    ax = spy.figures[-1].axes[0]
    by_text = {}
    for t in ax.texts:
        by_text.setdefault(t.get_text(), []).append(t)
    for t in ax.texts:
        assert upright(t.get_rotation()), t.get_text()
    for b in boundary:
        (name,) = by_text[b["beacon_name"]]
        assert not polygon.contains(Point(name.get_position())), b["beacon_name"]
    min_len = scale / 1000 * 15
    for i, b in enumerate(boundary):
        nxt = shape(boundary[(i + 1) % len(boundary)]["geometry"])
        if shape(b["geometry"]).distance(nxt) <= min_len:
            continue
        lengths = by_text[f"{b['distance_to_next']:.2f}m"]
        assert any(polygon.contains(Point(t.get_position())) for t in lengths)
        for text in (b["bearing_deg_to_next"], b["bearing_min_to_next"]):
            assert any(not polygon.contains(Point(t.get_position())) for t in by_text[text])
    if kind == "reflex":
        coords = list(polygon.exterior.coords)[:-1]
        turns = [(coords[i][0] - coords[i - 1][0]) * (coords[(i + 1) % len(coords)][1] - coords[i][1])
                 - (coords[i][1] - coords[i - 1][1]) * (coords[(i + 1) % len(coords)][0] - coords[i][0])
                 for i in range(len(coords))]
        orientation = math.copysign(1, polygon.exterior.is_ccw - 0.5)
        assert any(turn * orientation < 0 for turn in turns), "no reflex corner"
    if kind == "road":
        assert nearby["roads"] and [line for line in ax.lines if line.get_linestyle() == "--"]
