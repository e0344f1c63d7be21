"""Survey map drawing time against the drawing library's floor, and where the time goes.

For each of the three sample parcels (rectangle, reflex corner, corner lot on roads;
read from the sample database as the plan documents read them), in one run:
  map    generate_plot with the plan's paper area (190 x 160 mm), median of --runs calls,
  empty  an empty figure of the same size saved as PNG at 300 dpi, median of --runs, interleaved.
Then a cProfile of --profile-runs more maps splits generate_plot's time into the module's
own work and the libraries it calls. The module's functions are native, so the profiler
sees no frame of theirs: their time, and that of C functions they call directly, lands in
the tottime of the small Python wrapper that calls generate_plot. That is an upper bound
of the module's own work; the libraries' Python functions are attributed by file.

    python bench/plots.py [--runs 15] [--profile-runs 5] [--database-url URL]
"""
from __future__ import annotations

import argparse
import asyncio
import cProfile
import io
import platform
import pstats
import statistics
import sys
import time
import warnings
from collections import defaultdict
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT), str(ROOT / "api")]

from tests.support.parcels import load_samples  # noqa: E402
from tests.support.services import database_url  # noqa: E402

PAPER_MM = (190, 160)


def parse():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=15)
    parser.add_argument("--profile-runs", type=int, default=5)
    parser.add_argument("--database-url", default=database_url(test=True))
    return parser.parse_args()


def empty_figure(plt):
    fig = plt.figure(figsize=(PAPER_MM[0] / 25.4, PAPER_MM[1] / 25.4), dpi=300)
    buf = io.BytesIO()
    plt.savefig(buf, format="png", dpi=300, transparent=False)
    plt.close(fig)
    return buf.getvalue()


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


LIBRARIES = ("matplotlib", "shapely", "pyproj", "numpy", "PIL")  # PIL writes matplotlib's PNGs


def library_of(filename: str, function: str) -> str:
    """The library a profiled function belongs to; C functions ("~") by their qualified name."""
    if filename == "~":
        if "ImagingEncoder" in function:
            return "PIL"
        for name in LIBRARIES:
            if f" {name}." in function or f"'{name}." in function:
                return name
        return "C builtins (Python's own: isinstance, getattr, ...)"
    for name in LIBRARIES:
        if f"/{name}/" in filename:
            return name
    return "other Python"


def main():
    args = parse()
    warnings.filterwarnings("ignore", message=r"The 'shapely.ops.transform\(\)' function is deprecated",
                            category=DeprecationWarning)
    import logging

    import matplotlib
    import numpy
    import pyproj
    import shapely

    import ravn.plots as plots

    plots.logger.setLevel(logging.WARNING)
    plots.print = lambda *a, **k: None  # the scale line on every call is not what is measured
    plt = plots.plt
    samples = asyncio.run(load_samples(args.database_url))

    calls = {}
    for kind, (plot_id, nearby) in samples.items():
        target = next(p for p in nearby["plots"] if p["id"] == plot_id)

        def call(nearby=nearby, plot_id=plot_id):
            return plots.generate_plot(nearby["plots"], plot_id, nearby["roads"], "id", None,
                                       max_width_mm=PAPER_MM[0], max_height_mm=PAPER_MM[1])

        calls[kind] = (call, len(nearby["plots"]), len(nearby["roads"] or []), len(target["boundary"]))
        call()  # warm-up: fonts, caches
    empty_figure(plt)

    print(f"python {platform.python_version()}, matplotlib {matplotlib.__version__}, shapely {shapely.__version__}, "
          f"pyproj {pyproj.__version__}, numpy {numpy.__version__}; {platform.machine()}, "
          f"{len(__import__('os').sched_getaffinity(0))} cores")
    print()
    print("| parcel | parcels drawn | roads | beacons | map ms | empty figure ms | map / empty |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for kind, (call, n_plots, n_roads, n_beacons) in calls.items():
        maps, empties = [], []
        for _ in range(args.runs):
            maps.append(timed(call))
            empties.append(timed(lambda: empty_figure(plt)))
        m, e = statistics.median(maps) * 1e3, statistics.median(empties) * 1e3
        print(f"| {kind} | {n_plots} | {n_roads} | {n_beacons} | {m:.1f} | {e:.1f} | {m / e:.2f} |")

    if args.profile_runs <= 0:
        return
    # Profile: where generate_plot's time goes.
    def run_all():
        for call, *_ in calls.values():
            call()

    profiler = cProfile.Profile()
    profiler.enable()
    for _ in range(args.profile_runs):
        run_all()
    profiler.disable()
    stats = pstats.Stats(profiler)
    total = 0.0
    buckets = defaultdict(float)
    own = 0.0
    for (filename, _line, name), (_cc, _nc, tottime, _cum, _callers) in stats.stats.items():
        total += tottime
        if filename == __file__ and name == "call":
            own += tottime
        elif filename == __file__:
            buckets["bench script"] += tottime
        elif filename == "~" and name.startswith("<method 'disable'"):
            continue
        else:
            buckets[library_of(filename, name)] += tottime
    per_map = 1e3 / (args.profile_runs * len(calls))
    print()
    print(f"cProfile of {args.profile_runs} x {len(calls)} maps (profiler overhead inflates the Python share):")
    print()
    print("| share | ms per map | % |")
    print("|---|---:|---:|")
    print(f"| ravn.plots own work (upper bound) | {own * per_map:.2f} | {100 * own / total:.2f} |")
    for name, t in sorted(buckets.items(), key=lambda kv: -kv[1]):
        print(f"| {name} | {t * per_map:.1f} | {100 * t / total:.1f} |")


if __name__ == "__main__":
    main()
