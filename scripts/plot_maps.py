"""Draws the survey maps of the three sample parcels into docs/maps/.

The parcels come from the sample database (default: the test database with 400
parcels, as scripts/test.sh loads it), read through the host's models the way the
plan documents read them, and go through generate_plot with the plan's paper area.

    python scripts/plot_maps.py [--database-url URL] [--out docs/maps]
"""
from __future__ import annotations

import argparse
import asyncio
import base64
import sys
import warnings
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT), str(ROOT / "api")]

from tests.support.parcels import load_samples  # noqa: E402
from tests.support.services import database_url  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--database-url", default=database_url(test=True))
    parser.add_argument("--out", type=Path, default=ROOT / "docs" / "maps")
    args = parser.parse_args()
    warnings.filterwarnings("ignore", message=r"The 'shapely.ops.transform\(\)' function is deprecated",
                            category=DeprecationWarning)
    import ravn.plots as plots

    args.out.mkdir(parents=True, exist_ok=True)
    for kind, (plot_id, nearby) in asyncio.run(load_samples(args.database_url)).items():
        image64, paper, scale, schedule = plots.generate_plot(
            nearby["plots"], plot_id, nearby["roads"], "id", None, max_width_mm=190, max_height_mm=160)
        path = args.out / f"{kind}.png"
        path.write_bytes(base64.b64decode(image64))
        print(f"{path.relative_to(ROOT)}: parcel {plot_id}, 1:{scale}, {len(schedule)} legs", file=sys.stderr)


if __name__ == "__main__":
    main()
