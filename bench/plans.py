"""The whole deed plan of a parcel (queries, map, PDF) and the share of each stage.

For each of the three sample parcels (rectangle, reflex corner, corner lot on roads) the
deed plan is made --runs times on one session of the sample database. The stages are
timed through the module's own late-bound names, wrapped for the run:
  queries  get_plot_with_nearby (the parcel, neighbours, roads, every leg and beacon)
  map      generate_plot (the survey map as base64 PNG)
  pdf      HTML(...).write_pdf(...) (WeasyPrint layout and PDF writing)
  rest     the template read, the schedule table, the replacements (total minus the three)
Medians per stage and of the total; shares are stage median / total median.

    python bench/plans.py [--runs 10] [--database-url URL]
"""
from __future__ import annotations

import argparse
import asyncio
import platform
import statistics
import sys
import time
import warnings
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT), str(ROOT / "api")]

from tests.support.parcels import sample_parcel_ids  # noqa: E402
from tests.support.services import database_url  # noqa: E402

warnings.filterwarnings("ignore", category=DeprecationWarning)


def parse():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=10)
    parser.add_argument("--database-url", default=database_url(test=True))
    return parser.parse_args()


class Stages:
    def __init__(self):
        self.times = {"queries": [], "map": [], "pdf": []}

    def timed(self, stage, fn):
        def wrapper(*args, **kwargs):
            start = time.perf_counter()
            try:
                return fn(*args, **kwargs)
            finally:
                self.times[stage].append(time.perf_counter() - start)
        return wrapper


def instrument(planwork, generator, stages):
    real_html, real_nearby = planwork.HTML, generator.get_plot_with_nearby
    planwork.generate_plot = stages.timed("map", planwork.generate_plot)

    class TimedHTML:
        def __init__(self, **kwargs):
            self.document = real_html(**kwargs)

        def write_pdf(self, **kwargs):
            return stages.timed("pdf", self.document.write_pdf)(**kwargs)

    planwork.HTML = TimedHTML

    async def nearby(db, plot_id):
        start = time.perf_counter()
        try:
            return await real_nearby(db, plot_id)
        finally:
            stages.times["queries"].append(time.perf_counter() - start)

    generator.get_plot_with_nearby = nearby


async def main():
    args = parse()
    import contextlib
    import io

    from sqlalchemy.ext.asyncio import AsyncSession, create_async_engine

    import ravn.planwork as planwork
    import weasyprint

    engine = create_async_engine(args.database_url)
    rows = []
    async with AsyncSession(engine) as db:
        ids = await sample_parcel_ids(db)
        for kind, plot_id in ids.items():
            saved = (planwork.generate_plot, planwork.HTML)
            generator = planwork.PlanImageGenerator(db)
            stages = Stages()
            instrument(planwork, generator, stages)
            totals, size = [], 0
            try:
                with contextlib.redirect_stdout(io.StringIO()):  # the map prints its scale
                    await generator.generate_deedplan_html(plot_id, "Zanijo", "res/1/2", "A. Okafor", "a01")  # warm-up
                    for stage in stages.times.values():
                        stage.clear()
                    for _ in range(args.runs):
                        start = time.perf_counter()
                        pdf = await generator.generate_deedplan_html(plot_id, "Zanijo", "res/1/2", "A. Okafor", "a01")
                        totals.append(time.perf_counter() - start)
                        size = len(pdf.getvalue())
            finally:
                planwork.generate_plot, planwork.HTML = saved
            medians = {k: statistics.median(v) * 1000 for k, v in stages.times.items()}
            total = statistics.median(totals) * 1000
            medians["rest"] = total - sum(medians.values())
            rows.append((f"{kind} (id {plot_id})", total, medians, size))
    await engine.dispose()

    print(f"deed plan, {args.runs} runs per parcel; {platform.python_version()}, WeasyPrint {weasyprint.__version__}")
    print("| parcel | deed plan ms | queries ms (%) | map ms (%) | PDF ms (%) | rest ms (%) | PDF KiB |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for name, total, m, size in rows:
        cells = " | ".join(f"{m[k]:.1f} ({100 * m[k] / total:.1f})" for k in ("queries", "map", "pdf", "rest"))
        print(f"| {name} | {total:.1f} | {cells} | {size / 1024:.0f} |")


if __name__ == "__main__":
    asyncio.run(main())
