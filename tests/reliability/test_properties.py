"""The modules' public functions called with odd arguments: the result, or the exception,
is what the same call of the Python it replaces gives, and never an interpreter error."""
from __future__ import annotations

import asyncio
import contextlib
import inspect
import math
import warnings

import matplotlib.pyplot as plt
import pytest
from fastapi import HTTPException, Response
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from shapely.geometry import LineString, Point, Polygon

from tests.fakes import FakeRedis, FakeResult, FakeSession, fake_request

SETTINGS = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])


class Text(str):
    pass


class Number(int):
    pass


odd_numbers = st.one_of(
    st.integers(), st.integers(min_value=-(2 ** 80), max_value=2 ** 80), st.integers(-3, 25),
    st.floats(allow_nan=True, allow_infinity=True), st.booleans(), st.builds(Number, st.integers(-5, 2 ** 40)),
)
odd_values = st.one_of(odd_numbers, st.text(max_size=8), st.builds(Text, st.sampled_from(["plots", "lgas", "x"])),
                       st.binary(max_size=8), st.none(), st.just("plots"), st.just("beacons"))


def outcome(call):
    """('ok', value) or ('raised', exception type); an interpreter error fails the test at once."""
    try:
        return "ok", call()
    except SystemError:
        raise
    except Exception as error:  # noqa: BLE001 - the type is what is compared
        return "raised", type(error)


def same_outcome(native, reference):
    a, b = outcome(native), outcome(reference)
    if a[0] == b[0] == "ok" and isinstance(a[1], float) and math.isnan(a[1]):
        assert math.isnan(b[1])
    else:
        assert a == b


def as_int(value):
    """The calling convention of a parameter annotated `int`."""
    if isinstance(value, int):
        return value
    if isinstance(value, (float,)):
        return int(value)
    raise TypeError("incorrect type")


# The tile router's plain functions -----------------------------------------------------------

def validate_reference(z, x, y):
    z, x, y = as_int(z), as_int(x), as_int(y)
    return 1 <= z <= 20 and 0 <= x < 2 ** z and 0 <= y < 2 ** z


@SETTINGS
@given(odd_numbers, odd_numbers, odd_numbers)
def test_validate_tile_coords(tessera, z, x, y):
    same_outcome(lambda: tessera.validate_tile_coords(z, x, y), lambda: validate_reference(z, x, y))


@SETTINGS
@given(st.lists(odd_values, min_size=4, max_size=4))
def test_calculate_bbox_area_degrees(tessera, box):
    minx, miny, maxx, maxy = box
    same_outcome(lambda: tessera.calculate_bbox_area_degrees(*box), lambda: abs((maxx - minx) * (maxy - miny)))


@SETTINGS
@given(odd_values, odd_values)
def test_zoom_config_and_sql(tessera, zoom, layer):
    for call in (lambda: tessera.get_zoom_config(zoom, layer), lambda: tessera.generate_mvt_sql(layer, zoom)):
        kind, value = outcome(call)
        if kind == "raised":
            assert value in (TypeError, ValueError, OverflowError, KeyError)
        else:
            assert value is None or isinstance(value, (dict, tuple))


def public_functions(module):
    return [getattr(module, name) for name in dir(module)
            if not name.startswith("__") and callable(getattr(module, name))
            and getattr(getattr(module, name), "__module__", None) == module.__name__
            and not isinstance(getattr(module, name), type)]


@SETTINGS
@given(st.data())
def test_missing_surplus_and_unknown_arguments(tessera, data):
    """A call that Python could not bind raises TypeError, before anything runs."""
    import ravn.plots as plots

    for function in public_functions(tessera) + public_functions(plots):
        signature = inspect.signature(function)
        args = data.draw(st.lists(st.none(), max_size=len(signature.parameters) + 2))
        names = data.draw(st.lists(st.sampled_from([*signature.parameters, "surplus"]), max_size=2, unique=True))
        kwargs = {name: None for name in names}
        try:
            signature.bind(*args, **kwargs)
        except TypeError:
            with pytest.raises(TypeError):
                function(*args, **kwargs)


# The tile router's endpoints, over fakes ----------------------------------------------------

@contextlib.contextmanager
def fakes(tessera):
    redis = FakeRedis()
    saved = tessera.redis_client, tessera.cache
    tessera.redis_client, tessera.cache = redis, tessera.BinaryRedisCache(redis, namespace="mvt_v8")
    try:
        yield redis
    finally:
        tessera.redis_client, tessera.cache = saved


ENDPOINT_ANSWERS = (Response, dict)


def endpoint_outcome(tessera, make):
    """Runs one endpoint call on a fresh loop over fakes: a response, an HTTP error that
    is not a server error, or an argument error raised at call time."""
    with fakes(tessera):
        try:
            coroutine = make()
        except (TypeError, ValueError, OverflowError):
            return
        loop = asyncio.new_event_loop()
        try:
            result = loop.run_until_complete(coroutine)
        except HTTPException as error:
            assert error.status_code in (400, 404, 408, 429), (error.status_code, error.detail)
            return
        finally:
            loop.close()
        assert isinstance(result, Response) or result is None or isinstance(result, dict), result


@SETTINGS
@given(odd_values, odd_numbers, odd_numbers, odd_numbers)
def test_xyz_tile_endpoint(tessera, layer, z, x, y):
    endpoint_outcome(tessera, lambda: tessera.get_tile_xyz(layer, z, x, y, fake_request(),
                                                           FakeSession(FakeResult(b"\x1a\x02ok"))))


@SETTINGS
@given(odd_values, st.lists(odd_numbers, min_size=4, max_size=4), odd_numbers, odd_numbers, odd_values)
def test_bbox_tile_endpoint(tessera, layer, box, srid, max_features, simplify):
    transformed = FakeResult(row=type("Row", (), {"minx": 834000.0, "miny": 713000.0, "maxx": 835000.0,
                                                  "maxy": 714000.0})())
    endpoint_outcome(tessera, lambda: tessera.get_tile_bbox(layer, *box, srid, max_features, simplify,
                                                            fake_request(), FakeSession(transformed,
                                                                                        FakeResult(b"\x1a\x02ok"))))


@SETTINGS
@given(odd_values)
def test_json_endpoints(tessera, layer):
    endpoint_outcome(tessera, lambda: tessera.get_layer_zoom_info(layer))
    endpoint_outcome(tessera, lambda: tessera.invalidate_cache_endpoint(layer))
    endpoint_outcome(tessera, lambda: tessera.get_central_tile_info(layer, FakeSession(FakeResult(row=None))))


@SETTINGS
@given(odd_values, odd_numbers)
def test_safe_cache_get_never_raises(tessera, key, timeout):
    with fakes(tessera):
        loop = asyncio.new_event_loop()
        try:
            kind, value = outcome(lambda: loop.run_until_complete(tessera.safe_cache_get(key, timeout)))
        finally:
            loop.close()
    assert (kind, value) in (("ok", None), ("raised", TypeError)), (kind, value)


# The map module ---------------------------------------------------------------------------

STANDARD_SCALES = (250, 500, 1000, 1500, 2000, 2500, 5000, 7500, 10000, 20000, 25000)


def recommended_scale_reference(w, h, max_w=190, max_h=250):
    if w <= 0 or h <= 0:
        return 1000
    need = max((w * 1000) / (max_w * 0.98), (h * 1000) / (max_h * 0.98))
    for scale in STANDARD_SCALES:
        if scale >= need:
            return scale
    return math.ceil(need / 1000) * 1000


@SETTINGS
@given(odd_values, odd_values, odd_numbers, odd_numbers)
def test_recommended_scale(w, h, max_w, max_h):
    import ravn.plots as plots

    same_outcome(lambda: plots.get_recommended_scale(w, h, max_w, max_h),
                 lambda: recommended_scale_reference(w, h, max_w, max_h))


@pytest.fixture(scope="module")
def axes():
    figure = plt.figure(figsize=(2, 2), dpi=50)
    ax = figure.add_axes([0, 0, 1, 1])
    yield ax
    plt.close(figure)


def scale_bar_reference(ax, scale, position=(0.5, 0.05)):
    """The steps of add_scale_bar written in Python: what the native one must match, warnings included."""
    import ravn.plots as plots

    patches = plots.patches
    target_paper_mm = 50
    target_world_m = (target_paper_mm * scale) / 1000
    approx_step = target_world_m / 4
    nice_steps = [1, 2, 5, 10, 20, 25, 50, 100]
    step = min(nice_steps, key=lambda s: abs(s - approx_step))
    if approx_step > 100:
        step = round(approx_step / 100) * 100
    num_steps_left, total_steps = 2, 4
    total_len_m = total_steps * step
    xlim, ylim = ax.get_xlim(), ax.get_ylim()
    view_w, view_h = xlim[1] - xlim[0], ylim[1] - ylim[0]
    end_x = xlim[1] - view_w * 0.05
    start_x = end_x - total_len_m
    start_y = ylim[0] + view_h * 0.02
    bar_height = view_h * 0.015
    ax.add_patch(patches.Rectangle((start_x, start_y), total_len_m, bar_height, linewidth=1, edgecolor="black",
                                   facecolor="white", zorder=10))
    for i in range(total_steps):
        if i % 2 == 0:
            ax.add_patch(patches.Rectangle((start_x + i * step, start_y), step, bar_height, linewidth=0,
                                           facecolor="black", zorder=11))
        div_x = start_x + (i + 1) * step
        ax.plot([div_x, div_x], [start_y, start_y + bar_height], color="black", linewidth=1, zorder=12)
    tick_h = bar_height * 0.5
    label_y = start_y + bar_height + tick_h * 1.2
    for val_idx in range(total_steps + 1):
        tick_x = start_x + val_idx * step
        ax.plot([tick_x, tick_x], [start_y + bar_height, start_y + bar_height + tick_h], color="black", linewidth=1,
                zorder=12)
        val = abs((val_idx - num_steps_left) * step)
        ax.text(tick_x, label_y, f"{int(val)}", ha="center", va="bottom", fontsize=9, fontweight="bold", zorder=13)
    ax.text(start_x + total_steps * step + view_w * 0.01, label_y, "m", ha="left", va="bottom", fontsize=9,
            fontweight="bold", zorder=13)


def outcome_and_warnings(call):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = outcome(call)
    return result, [(w.category, str(w.message)) for w in caught]


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(odd_values)
def test_scale_bar(axes, scale):
    import ravn.plots as plots

    def drawn(add_scale_bar):
        axes.cla()
        axes.set_xlim(0, 190)
        axes.set_ylim(0, 160)
        return outcome_and_warnings(lambda: add_scale_bar(axes, scale))

    assert drawn(plots.add_scale_bar) == drawn(scale_bar_reference)


@SETTINGS
@given(st.one_of(odd_values, st.sampled_from([Point(1, 2), LineString([(0, 0), (1, 1)]), Polygon(),
                                               Polygon([(0, 0), (1, 0), (1, 1)])])))
def test_project_geometry(geometry):
    import ravn.plots as plots
    from shapely.ops import transform

    same_outcome(lambda: plots.project_geometry(geometry), lambda: transform(plots.TRANSFORMER.transform, geometry))


def test_degenerate_parcels_raise_or_draw_in_a_subprocess():
    """Run apart: a crash of the interpreter would otherwise take the test run with it."""
    import json
    import subprocess
    import sys
    from pathlib import Path

    root = Path(__file__).resolve().parents[2]
    from tests.support.services import child_env

    done = subprocess.run([sys.executable, "-m", "tests.reliability.degenerate_plots"], cwd=root, env=child_env(),
                          capture_output=True, text=True, timeout=300)
    lines = [json.loads(line) for line in done.stdout.splitlines() if line.startswith("{")]
    last = [line["case"] for line in lines if line.get("outcome") == "started"][-1:]
    assert done.returncode == 0, f"interpreter died ({done.returncode}) in case {last}: {done.stderr[-2000:]}"
    results = {line["case"]: line for line in lines if line.get("outcome") in ("drawn", "raised")}
    assert len(results) == len([line for line in lines if line.get("outcome") == "started"])
    assert not [r for r in results.values() if r.get("type") in ("SystemError", "RuntimeError")]
    for case in ("no boundary", "empty boundary", "all points equal"):
        assert results[case]["outcome"] == "drawn" and results[case]["rows"] == 0
    for case in ("repeated points", "zero area (collinear)", "self-intersecting ring", "tiny parcel"):
        assert results[case]["outcome"] == "drawn" and results[case]["size"] == [2244, 1889]
    assert results["boundary None"]["type"] == "TypeError"
    assert results["selected None"] == {"case": "selected None", "outcome": "raised", "type": "ValueError",
                                        "message": "Parcel with parcel_number=None not found."}
    assert lines[-1] == {"open_figures": 0}, "a failing map left its figure open"
