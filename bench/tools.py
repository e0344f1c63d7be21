"""Rates of the operator tools at 1, 2 and 4 workers: `seed` (tiles/s) and `batch-plans site` (plans/min).

Seeding writes into a throwaway Redis, so the shared cache is left alone; each run
starts over (--restart). Plans go to a temporary folder and on the database's register.

    python bench/tools.py [--database ravn_bench] [--district Seki] [--zoom 12-16] [--zone B111] [--plans 24]
"""
from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT)]

from tests.support.services import TemporaryRedis  # noqa: E402
from sampledata.settings import database_dsn  # noqa: E402


def tool(env: dict, *args: str) -> dict[str, str]:
    done = subprocess.run([sys.executable, "-m", "landrecords", *args], cwd=ROOT, env=dict(os.environ, **env),
                          capture_output=True, text=True, check=True)
    pairs = (re.split(r"\s{2,}", line.strip(), maxsplit=1)
             for line in done.stdout.splitlines() if line.startswith("  "))
    return {pair[0]: pair[1] for pair in pairs if len(pair) == 2}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--database", default="ravn_bench")
    parser.add_argument("--district", default="Seki")
    parser.add_argument("--zoom", default="12-16")
    parser.add_argument("--zone", default="B111")
    parser.add_argument("--plans", type=int, default=24)
    args = parser.parse_args()
    url = "postgresql+asyncpg://" + database_dsn(args.database).split("://", 1)[1]
    redis = TemporaryRedis().start()
    env = {"DATABASE_URL": url, "REDIS_HOST": redis.host, "REDIS_PORT": str(redis.port)}
    print(f"database {args.database}; seed: district {args.district}, zooms {args.zoom}; "
          f"plans: site plans of zone {args.zone}")
    print("| workers | tiles seeded (cached + empty) | seed time | tiles/s | plans | plan time | plans/min |")
    print("|---|---|---|---|---|---|---|")
    try:
        with tempfile.TemporaryDirectory() as scratch:
            for workers in (1, 2, 4):
                seed = tool(env, "seed", "--district", args.district, "--zoom", args.zoom, "--workers", str(workers),
                            "--restart", "--state", f"{scratch}/seed.state")
                seeded = int(seed["cached"]) + int(seed["empty"])
                seconds, rate = re.match(r"([\d.]+) s \(([\d.]+) tiles/s\)", seed["time"]).groups()
                ids = subprocess.run(["psql", database_dsn(args.database), "-Atc",
                                      f"SELECT \"ID\" FROM \"GIS\".\"PLOT\" WHERE \"CADZONE\" = '{args.zone}' "
                                      f"ORDER BY \"ID\" LIMIT {args.plans}"],
                                     capture_output=True, text=True, check=True).stdout.split()
                plans = tool(env, "batch-plans", "site", "--parcels", ",".join(ids), "-o", f"{scratch}/p{workers}",
                             "--workers", str(workers), "--restart")
                plan_seconds, per_minute = re.match(r"([\d.]+) s \(([\d.]+) plans/min\)", plans["time"]).groups()
                print(f"| {workers} | {seeded} | {seconds} s | {rate} | {plans['plans']} | {plan_seconds} s "
                      f"| {per_minute} |", flush=True)
    finally:
        redis.close()


if __name__ == "__main__":
    main()
