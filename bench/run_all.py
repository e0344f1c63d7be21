"""The whole benchmark suite in one run: prints its tables and writes them, with the
machine, date, data size and versions, into docs/benchmarks.md (between the
"run_all" markers; the rest of the file is left alone).

    python bench/run_all.py [--parcels 100000] [--duration 5] [--repeats 3] [--no-docs]

1. In the process: get_tile_xyz against the plain-Python steps (bench/inprocess.py).
2. Over HTTP with wrk (one worker per server, uvloop + httptools, no access log,
   X-Forwarded-For trusted from 127.0.0.1 and varied by the wrk script so that the
   rate limit is not what is measured; servers pinned to one CPU and wrk to the other,
   --pin). The host is the application with the benchmark's routes beside it
   (bench/benchapp.py; the application itself never imports bench/):
   - cached tiles: the tile route, the same steps in plain Python (bench/pyrouter.py),
     the hit floor (bench/hitfloor.py), all in the same host and middleware, and the
     platform's floor (bench/platformfloor.py: uvicorn + Starlette + redis-py, one GET)
     in its own process; CPU per request from /proc;
   - with --baseline DIR: cold-tile CPU against a checkout of an earlier commit;
   - cold tiles against the same SQL through asyncpg (bench/sqlfloor.py) and TiPG
     (PyPI, in build/tipg-venv, run as a black box);
   - per-tile cold latency by zoom, one request at a time, the three interleaved;
   - cached-tile p99 while plans are being drawn, against without;
   - the settings: access log, workers, database pool, compression level.
Ratios come from the same run; each figure is the median of --repeats interleaved runs.
"""
from __future__ import annotations

import argparse
import contextlib
import datetime
import json
import logging
import os
import platform
import random
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import zlib
from importlib import metadata
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BENCH, API, BUILD = ROOT / "bench", ROOT / "api", ROOT / "build"
sys.path[:0] = [str(ROOT), str(API), str(BENCH)]

from tests.support.services import database_url as _database_url  # noqa: E402
from tests.support.services import settings as service_settings  # noqa: E402

REDIS_DB = "5"  # the bench servers' own Redis database: flushing it touches nobody else's keys
LAYER = "plots"
COLUMNS = "ID,PLOT_NO,STATUS,AREA_SYSTEM,GENERAL_LU,CADZONE,DETAIL_LU,file_no"
PLAN_TOKEN = "bench-plan-token"
# The tile module sets up INFO logging at import; the bench's own HTTP client need not log every request.
logging.getLogger("httpx").setLevel(logging.WARNING)
MARK_BEGIN, MARK_END = "<!-- run_all:begin -->", "<!-- run_all:end -->"
out: list[str] = []


def emit(line: str = "") -> None:
    print(line, flush=True)
    out.append(line)


def table(header: list[str], rows: list[list], align: str | None = None) -> None:
    emit("| " + " | ".join(header) + " |")
    emit("|" + "|".join(("---" if (align or "l" + "r" * 99)[i] == "l" else "---:") for i in range(len(header))) + "|")
    for row in rows:
        emit("| " + " | ".join(str(c) for c in row) + " |")
    emit()


# ---------------------------------------------------------------- servers

def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# CPUs for the servers and for wrk (--pin): the servers share one core, wrk has the other,
# so that CPU per request is the server's own and ratios taken in one run compare alike.
PIN = {"server": None, "load": None}


def pinned(role: str, command: list[str]) -> list[str]:
    cpu = PIN[role]
    return ["taskset", "-c", cpu, *command] if cpu is not None and shutil.which("taskset") else command


class Server:
    def __init__(self, name, command, cwd, env, probe):
        self.name, self.port = name, free_port()
        self.base = f"http://127.0.0.1:{self.port}"
        self.log = tempfile.NamedTemporaryFile(prefix=f"bench-{name}-", suffix=".log", delete=False)
        command = pinned("server", [c.replace("{port}", str(self.port)) for c in command])
        self.process = subprocess.Popen(command, cwd=cwd, env=env, stdout=self.log, stderr=subprocess.STDOUT)
        import httpx
        deadline = time.monotonic() + 90
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                break
            try:
                httpx.get(self.base + probe, timeout=2)
                return
            except httpx.HTTPError:
                time.sleep(0.3)
        self.stop()
        raise RuntimeError(f"{name} did not start: " + Path(self.log.name).read_text()[-3000:])

    def cpu_seconds(self) -> float:
        """User + system CPU of the server and its children so far (one worker: the process itself)."""
        total = 0.0
        pids = [self.process.pid] + [int(p) for p in subprocess.run(
            ["pgrep", "-P", str(self.process.pid)], capture_output=True, text=True).stdout.split()]
        for pid in pids:
            with contextlib.suppress(OSError):
                fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
                total += (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        return total

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def uvicorn_command(app: str, workers: int = 1, access_log: bool = False) -> list[str]:
    return [sys.executable, "-m", "uvicorn", app, "--host", "127.0.0.1", "--port", "{port}",
            "--workers", str(workers), "--loop", "uvloop", "--http", "httptools",
            "--access-log" if access_log else "--no-access-log", "--forwarded-allow-ips", "127.0.0.1",
            "--log-level", "warning"]


def host_env(url: str, **extra) -> dict:
    env = dict(os.environ, DATABASE_URL=url, REDIS_DB=REDIS_DB, PLAN_TOKEN=PLAN_TOKEN,
               PLAN_RATE_PER_MINUTE="1000000", PLAN_QUEUE_LIMIT="1000", ADMIN_TOKEN="bench", LOG_LEVEL="WARNING",
               PYTHONPATH=os.pathsep.join([str(API), str(BENCH)]))
    env.update({k: str(v) for k, v in extra.items()})
    return env


def start_host(url, workers=1, access_log=False, **extra) -> Server:
    """The application with the benchmark's routes beside it (bench/benchapp.py)."""
    return Server("host", uvicorn_command("benchapp:app", workers, access_log), API, host_env(url, **extra), "/")


def start_baseline(url, root: Path) -> Server:
    """The application of another checkout (a worktree of an earlier commit, built in place), as it serves."""
    env = host_env(url, BENCH_FLOOR="1", PYTHONPATH=str(root / "api"))
    return Server("baseline", uvicorn_command("main:app"), root / "api", env, "/")


def start_platform_floor() -> Server:
    """uvicorn + Starlette + redis-py, one GET, nothing else (bench/platformfloor.py)."""
    env = dict(os.environ, REDIS_DB=REDIS_DB, PYTHONPATH=str(BENCH))
    return Server("platform", uvicorn_command("platformfloor:app"), BENCH, env, "/")


def start_sqlfloor(url) -> Server:
    env = dict(os.environ, DATABASE_URL=url, REDIS_DB=REDIS_DB,
               PYTHONPATH=os.pathsep.join([str(API), str(BENCH)]))
    return Server("asyncpg", uvicorn_command("sqlfloor:app"), BENCH, env, "/")


def tipg_python() -> Path:
    venv = BUILD / "tipg-venv"
    python = venv / "bin" / "python"
    if not python.exists():
        print("==> installing TiPG into build/tipg-venv", flush=True)
        subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
        subprocess.run([str(python), "-m", "pip", "install", "-q", "tipg", "uvicorn[standard]"], check=True)
    return python


def start_tipg(url) -> tuple[Server, str]:
    python = tipg_python()
    env = dict(os.environ, DATABASE_URL=url.replace("postgresql+asyncpg://", "postgresql://"),
               TIPG_DB_SCHEMAS='["GIS"]', TIPG_DB_TABLES='["GIS.PLOT"]', TIPG_MAX_FEATURES_PER_TILE="30000")
    command = uvicorn_command("tipg.main:app")
    command[0] = str(python)
    server = Server("tipg", command, BUILD, env, "/collections")
    import httpx
    collections = httpx.get(server.base + "/collections", timeout=30).json()["collections"]
    collection = next(c["id"] for c in collections if c["id"].upper().endswith("PLOT"))
    for template in (f"/collections/{collection}/tiles/WebMercatorQuad/{{z}}/{{x}}/{{y}}",
                     f"/collections/{collection}/tiles/{{z}}/{{x}}/{{y}}"):
        if httpx.get(server.base + template.format(z=16, x=34133, y=31600), timeout=30).status_code in (200, 204):
            return server, template + f"?properties={COLUMNS}"
    server.stop()
    raise RuntimeError("no TiPG tile route answered")


# ---------------------------------------------------------------- data

def prepare(args) -> tuple[str, dict]:
    subprocess.run([sys.executable, "-m", "sampledata", "--parcels", str(args.parcels), "--seed", "1",
                    "--database", args.database, "--if-empty"], check=True, cwd=ROOT)
    url = _database_url(test=True).rsplit("/", 1)[0] + "/" + args.database
    import asyncio
    import asyncpg

    async def tiles():
        conn = await asyncpg.connect(url.replace("postgresql+asyncpg://", "postgresql://"))
        try:
            rows = await conn.fetch('SELECT ST_X(p) x, ST_Y(p) y FROM (SELECT ST_PointOnSurface("GEOMETRY") p '
                                    'FROM "GIS"."PLOT" ORDER BY md5("ID"::text)) s')
            parcels = await conn.fetchval('SELECT count(*) FROM "GIS"."PLOT"')
        finally:
            await conn.close()
        return [(r["x"], r["y"]) for r in rows], parcels

    points, parcels = asyncio.run(tiles())
    half = 20037508.342789244

    def tile(x, y, z):
        size = 2 * half / (1 << z)
        return z, int((x + half) // size), int((half - y) // size)

    def distinct(zooms, sample):
        seen = {}
        for x, y in sample:
            for z in zooms:
                seen.setdefault(tile(x, y, z), None)
        return list(seen)

    data = {
        "parcels": parcels,
        # Map browsing: the tiles around 200 parcels at zooms 16 and 18, served from the cache.
        "cached": distinct((16, 18), points[:200]),
        # Cold: every tile with a parcel at zooms 17 and 18 (none repeats within a run), shuffled.
        "cold": random.Random(1).sample(distinct((17, 18), points), len(distinct((17, 18), points))),
        # Per zoom: the tiles of 10 parcels at each zoom, one request at a time.
        "by_zoom": {z: distinct((z,), points[1000:1010]) for z in (12, 14, 16, 18)},
    }
    return url, data


def tile_paths(prefix: str, tiles, template: str | None = None) -> list[str]:
    if template:
        return [template.format(z=z, x=x, y=y) for z, x, y in tiles]
    return [f"{prefix}/{LAYER}/{z}/{x}/{y}.pbf" for z, x, y in tiles]


def redis():
    import redis as sync_redis
    cfg = service_settings()
    return sync_redis.Redis(host=cfg["REDIS_HOST"], port=int(cfg["REDIS_PORT"]), db=int(REDIS_DB))


# ---------------------------------------------------------------- load

def wrk(server: Server, paths: list[str], connections: int, duration: float, clients: int = 1000) -> dict:
    """`clients` addresses per wrk thread: with 1000, nearly every request opens a new
    rate-limit window (INCR, EXPIRE, GET); with a few, a window serves many requests."""
    threads = min(connections, 2)
    with tempfile.NamedTemporaryFile("w", suffix=".paths", delete=False) as f:
        f.write("\n".join(paths) + "\n")
    env = dict(os.environ, WRK_PATHS=f.name, WRK_THREADS=str(threads), WRK_CLIENTS=str(clients))
    cpu = server.cpu_seconds()
    result = subprocess.run(pinned("load", ["wrk", "-t", str(threads), "-c", str(connections), "-d",
                                            f"{int(duration)}s", "--timeout", "30s", "-s", str(BENCH / "tiles.lua"),
                                            server.base]),
                            capture_output=True, text=True, env=env)
    cpu = server.cpu_seconds() - cpu
    os.unlink(f.name)
    line = next((text for text in result.stdout.splitlines() if text.startswith("{")), None)
    if line is None:
        raise RuntimeError("wrk: " + result.stdout + result.stderr)
    summary = json.loads(line)
    summary["rps"] = summary["requests"] / (summary["duration_us"] / 1e6)
    summary["cpu_us"] = cpu / max(summary["requests"], 1) * 1e6
    return summary


def median_of(runs: list[dict]) -> dict:
    return {key: statistics.median(r[key] for r in runs) for key in runs[0]}


def ensure_wrk() -> None:
    if shutil.which("wrk"):
        return
    print("==> installing wrk (Debian)", flush=True)
    subprocess.run(["apt-get", "install", "-y", "-q", "wrk"], check=True,
                   env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))


def warm(server: Server, paths: list[str]) -> None:
    import httpx
    with httpx.Client(base_url=server.base, timeout=60) as client:
        for i, path in enumerate(paths):
            client.get(path, headers={"X-Forwarded-For": f"10.250.{i // 250 % 250}.{i % 250}"})


# ---------------------------------------------------------------- sections

def in_process(args):
    import inprocess
    rows = []
    for keywords in (True, False):  # keywords as FastAPI passes them; positions as a direct call
        results = inprocess.measure(args.inprocess_n, args.repeats, keywords=keywords)
        for hit in (True, False):
            native, python, least = results["native", hit], results["python", hit], results["least", hit]
            rows.append(["hit" if hit else "miss", "keyword" if keywords else "position", f"{1e6 / native:.1f}",
                         f"{1e6 / python:.1f}", f"{1e6 / least:.1f}", f"{native / python:.2f}",
                         f"{least / python:.2f}"])
    emit(f"### In the process — `get_tile_xyz`, {args.inprocess_n} calls, best of {args.repeats}")
    emit()
    emit("`least`: only the calls the endpoint must make, with its own steps free (bench/leastrouter.py); "
         "Python / least is the most any implementation could gain over the plain-Python router.")
    emit()
    table(["path", "arguments", "native µs", "Python µs", "least µs", "native / Python (speed)",
           "Python / least (ceiling)"], rows)


def cached(args, host, platform, data):
    """Cached tiles: the tile route against the same steps in plain Python (/py) and the
    in-host floor (/floor), all three in the same server, and the platform's floor in its own."""
    targets = [("tile", host, tile_paths("/gis", data["cached"])), ("python", host, tile_paths("/py", data["cached"])),
               ("floor", host, tile_paths("/floor", data["cached"])),
               ("platform", platform, tile_paths("", data["cached"])),
               ("limited", platform, tile_paths("/limited", data["cached"]))]
    warm(host, targets[0][2])
    rows, cpu_rows = [], []
    # (connections, client addresses per wrk thread): the last, a few map users of about 10 tiles
    # a second each, so that a limiter window serves several requests.
    r = redis()
    for c, clients in ((1, 1000), (8, 1000), (32, 1000), (8, 100)):
        runs = {name: [] for name, _, _ in targets}
        for i in range(args.repeats):
            # Each round starts with another route, and every run with no limiter window open:
            # windows left by the run before would spare the next one its EXPIREs.
            for name, server, paths in targets[i % len(targets):] + targets[:i % len(targets)]:
                keys = list(r.scan_iter("rate_limit:*", count=1000))
                if keys:
                    r.delete(*keys)
                runs[name].append(wrk(server, paths, c, args.duration, clients))
        m = {name: median_of(runs[name]) for name in runs}
        # CPU ratios from runs taken side by side: the median of the per-round ratios.
        def ratio(a, b, runs=runs):
            return statistics.median(x["cpu_us"] / y["cpu_us"] for x, y in zip(runs[a], runs[b], strict=False))
        errors = sum(r["status_errors"] + r["socket_errors"] for k in runs for r in runs[k])
        rows.append([c, clients * min(c, 2), *(f"{m[name]['rps']:,.0f}" for name in runs),
                     f"{m['tile']['p99_us'] / 1000:.2f}", f"{m['platform']['p99_us'] / 1000:.2f}", errors])
        cpu_rows.append([c, clients * min(c, 2), *(f"{m[name]['cpu_us']:.0f}" for name in runs),
                         f"{ratio('tile', 'platform'):.2f}", f"{ratio('tile', 'limited'):.2f}",
                         f"{ratio('tile', 'floor'):.2f}", f"{ratio('tile', 'python'):.3f}"])
    emit(f"### Cached tiles over HTTP — {len(targets[0][2])} tiles (z16, z18) around 200 parcels, "
         f"`Accept-Encoding: gzip`, {args.duration:g} s per run, the five interleaved (each round led by another, "
         f"no limiter window left open between runs), median of {args.repeats}"
         + ("; servers pinned to one CPU, wrk to the other" if PIN["server"] is not None else ""))
    emit()
    emit("`tile`: the native router's route; `python`: the same steps in plain Python (bench/pyrouter.py) routed "
         "alike in the same host; `floor`: the least a route in this host can do (bench/hitfloor.py); "
         "`platform`: uvicorn + Starlette + redis-py, one GET, in its own process (bench/platformfloor.py); "
         "`limited`: the same server with the Redis commands the tile router must send before its GET "
         "(INCR, and EXPIRE when a window opens).")
    emit()
    table(["conns", "clients", "tile req/s", "python req/s", "floor req/s", "platform req/s", "limited req/s",
           "tile p99 ms", "platform p99 ms", "errors"], rows)
    table(["conns", "clients", "tile CPU µs/req", "python CPU µs/req", "floor CPU µs/req", "platform CPU µs/req",
           "limited CPU µs/req", "tile / platform CPU", "tile / limited CPU", "tile / floor CPU",
           "native / Python CPU"], cpu_rows)


def cold_against_baseline(args, host, baseline, data):
    """Cold tiles on this checkout's host against an earlier checkout's, interleaved."""
    r = redis()
    paths = tile_paths("/gis", data["cold"])
    rows = []
    for c in (8, 32):
        runs = {"this": [], "baseline": []}
        for i in range(args.repeats):
            offset = (i * 7919 + c * 104729) % len(paths)
            order = [("this", host), ("baseline", baseline)]
            for name, server in (order if i % 2 == 0 else order[::-1]):
                r.flushdb()
                runs[name].append(wrk(server, paths[offset:] + paths[:offset], c, args.duration))
        m = {name: median_of(runs[name]) for name in runs}
        ratio = statistics.median(x["cpu_us"] / y["cpu_us"]
                                  for x, y in zip(runs["this"], runs["baseline"], strict=False))
        rows.append([c, f"{m['this']['cpu_us']:.0f}", f"{m['baseline']['cpu_us']:.0f}", f"{ratio:.2f}",
                     f"{m['this']['rps']:,.0f}", f"{m['baseline']['rps']:,.0f}",
                     f"{m['this']['rps'] / m['baseline']['rps']:.2f}"])
    emit(f"### Cold tiles against the earlier build (`{args.baseline}`) — the same tiles in the same order, "
         f"Redis flushed before each run, {args.duration:g} s per run, median of {args.repeats}")
    emit()
    table(["conns", "CPU µs/req", "earlier CPU µs/req", "CPU this / earlier", "req/s", "earlier req/s",
           "req/s this / earlier"], rows)


def cold(args, host, sqlfloor, tipg, tipg_template, data):
    r = redis()
    servers = [("tile", host, tile_paths("/gis", data["cold"])), ("asyncpg", sqlfloor, tile_paths("", data["cold"])),
               ("tipg", tipg, tile_paths("", data["cold"], tipg_template))]
    rows = []
    for c in (1, 8, 32):
        runs = {name: [] for name, _, _ in servers}
        for i in range(args.repeats):
            for name, server, paths in servers:
                r.flushdb()
                # Each run starts elsewhere in the shuffled list: the database's own cache is warm for no one.
                offset = (i * 7919 + c * 104729) % len(paths)
                runs[name].append(wrk(server, paths[offset:] + paths[:offset], c, args.duration))
        m = {name: median_of(runs[name]) for name in runs}
        errors = sum(x["status_errors"] + x["socket_errors"] for k in runs for x in runs[k])
        rows.append([c, f"{m['tile']['rps']:,.0f}", f"{m['asyncpg']['rps']:,.0f}", f"{m['tipg']['rps']:,.0f}",
                     f"{m['tile']['rps'] / m['asyncpg']['rps']:.2f}", f"{m['tile']['rps'] / m['tipg']['rps']:.2f}",
                     f"{m['tile']['p50_us'] / 1000:.1f}", f"{m['asyncpg']['p50_us'] / 1000:.1f}",
                     f"{m['tipg']['p50_us'] / 1000:.1f}", f"{m['tile']['cpu_us']:.0f}",
                     f"{m['asyncpg']['cpu_us']:.0f}", f"{m['tipg']['cpu_us']:.0f}", errors])
    emit(f"### Cold tiles over HTTP — {len(data['cold'])} distinct z17/z18 tiles, none repeated in a run "
         f"(Redis flushed before each), {args.duration:g} s per run, median of {args.repeats}")
    emit()
    table(["conns", "tile req/s", "asyncpg req/s", "TiPG req/s", "tile / asyncpg", "tile / TiPG",
           "tile p50 ms", "asyncpg p50 ms", "TiPG p50 ms", "tile CPU µs/req", "asyncpg CPU µs/req",
           "TiPG CPU µs/req", "errors"], rows)


def cold_by_zoom(args, host, sqlfloor, tipg, tipg_template, data):
    import httpx
    r = redis()
    clients = {server: httpx.Client(base_url=server.base, timeout=60) for server in (host, sqlfloor, tipg)}
    rows = []
    for z, tiles in data["by_zoom"].items():
        times = {"tile": [], "asyncpg": [], "tipg": []}
        sizes = []
        for rep in range(args.repeats):
            for i, (tz, x, y) in enumerate(tiles):
                for name, server, path in (
                        ("tile", host, f"/gis/{LAYER}/{tz}/{x}/{y}.pbf"),
                        ("asyncpg", sqlfloor, f"/{LAYER}/{tz}/{x}/{y}.pbf"),
                        ("tipg", tipg, tipg_template.format(z=tz, x=x, y=y))):
                    if name == "tile":
                        r.delete(f"mvt_v8:{LAYER}:{tz}:{x}:{y}")
                    started = time.perf_counter()
                    answer = clients[server].get(path, headers={
                        "Accept-Encoding": "gzip", "X-Forwarded-For": f"10.251.{rep}.{i % 250}"})
                    times[name].append((time.perf_counter() - started) * 1000)
                    if name == "tile":
                        sizes.append(len(answer.content))
        med = {k: statistics.median(v) for k, v in times.items()}
        rows.append([z, len(tiles), f"{statistics.median(sizes) / 1024:.1f}", f"{med['tile']:.2f}",
                     f"{med['asyncpg']:.2f}", f"{med['tipg']:.2f}", f"{med['tile'] / med['asyncpg']:.2f}",
                     f"{med['tile'] / med['tipg']:.2f}"])
    for client in clients.values():
        client.close()
    emit(f"### Cold tile latency by zoom — the tiles of 10 parcels per zoom, one request at a time, "
         f"the three servers interleaved, median of {args.repeats} passes")
    emit()
    table(["zoom", "tiles", "tile KiB", "tile ms", "asyncpg ms", "TiPG ms", "tile / asyncpg", "tile / TiPG"], rows)


PLAN_LOOP = """
import sys, time, httpx
base, token, parcels = sys.argv[1], sys.argv[2], [int(p) for p in sys.argv[3].split(",")]
with httpx.Client(base_url=base, timeout=120, headers={"Authorization": "Bearer " + token}) as client:
    i = 0
    while True:
        answer = client.get(f"/plans/{parcels[i % len(parcels)]}/siteplan.pdf")
        print(answer.status_code, flush=True)
        i += 1
"""


def under_plans(args, host, data):
    paths = tile_paths("/gis", data["cached"])
    warm(host, paths)
    parcels = "1,2,3,4,5"
    rows = []
    for c in (8, 32):
        quiet, busy, plans = [], [], []
        for _ in range(args.repeats):
            quiet.append(wrk(host, paths, c, args.duration))
            loops = [subprocess.Popen([sys.executable, "-c", PLAN_LOOP, host.base, PLAN_TOKEN, parcels],
                                      stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
                     for _ in range(2)]
            time.sleep(3)  # the first plans under way
            busy.append(wrk(host, paths, c, args.duration))
            for loop in loops:
                loop.terminate()
                output, _ = loop.communicate()
                plans.extend(output.split())
        q, b = median_of(quiet), median_of(busy)
        rows.append([c, f"{q['p99_us'] / 1000:.2f}", f"{b['p99_us'] / 1000:.2f}", f"{b['p99_us'] / q['p99_us']:.2f}",
                     f"{q['rps']:,.0f}", f"{b['rps']:,.0f}",
                     f"{plans.count('200')} ({len(plans) - plans.count('200')} not 200)"])
    emit(f"### Cached tiles while plans are drawn — two clients asking for site plans back to back "
         f"(drawn in the plan process, PLAN_PROCESSES=1), {args.duration:g} s per run, median of {args.repeats}")
    emit()
    table(["conns", "p99 ms without plans", "p99 ms with plans", "with / without", "req/s without",
           "req/s with", "plans delivered"], rows)


def settings_runs(args, url, data, host):
    """One setting changed at a time against the default host; cached c=32 and cold c=32."""
    r = redis()
    cached_paths, cold_paths = tile_paths("/gis", data["cached"]), tile_paths("/gis", data["cold"])
    variants = [("defaults (1 worker, no access log, pool 10+10, gzip 1)", {}),
                ("access log on", {"access_log": True}),
                (f"{os.cpu_count()} workers", {"workers": os.cpu_count()}),
                ("pool 4+4", {"DB_POOL_SIZE": 4, "DB_MAX_OVERFLOW": 4}),
                ("pool 20+20", {"DB_POOL_SIZE": 20, "DB_MAX_OVERFLOW": 20}),
                ("gzip level 9", {"GZIP_LEVEL": 9})]
    rows = []
    for label, change in variants:
        server = host if not change else start_host(url, **change)
        try:
            warm(server, cached_paths)
            c_runs, m_runs = [], []
            for i in range(min(args.repeats, 2)):
                c_runs.append(wrk(server, cached_paths, 32, args.duration))
                r.flushdb()
                offset = (i * 15485863 + len(label) * 7919) % len(cold_paths)
                m_runs.append(wrk(server, cold_paths[offset:] + cold_paths[:offset], 32, args.duration))
                warm(server, cached_paths)
            c, m = median_of(c_runs), median_of(m_runs)
            rows.append([label, f"{c['rps']:,.0f}", f"{c['p99_us'] / 1000:.2f}", f"{c['cpu_us']:.0f}",
                         f"{m['rps']:,.0f}", f"{m['p99_us'] / 1000:.1f}"])
        finally:
            if server is not host:
                server.stop()
    emit(f"### Host settings — one change at a time, 32 connections, {args.duration:g} s per run, median of "
         f"{min(args.repeats, 2)} (CPU per request summed over the worker processes)")
    emit()
    table(["setting", "cached req/s", "cached p99 ms", "cached CPU µs/req", "cold req/s", "cold p99 ms"], rows)


def compression(args, url, data):
    import asyncio
    import asyncpg
    import ravn.tessera as tessera
    from helpers.utils import xyz_to_bbox_web_mercator

    async def bodies():
        conn = await asyncpg.connect(url.replace("postgresql+asyncpg://", "postgresql://"))
        try:
            found = {}
            for z, tiles in data["by_zoom"].items():
                sql = re.sub(r":(min_x|min_y|max_x|max_y)\b",
                             lambda m: "$" + str(("min_x", "min_y", "max_x", "max_y").index(m.group(1)) + 1),
                             tessera.generate_mvt_sql(LAYER, z)[0])
                b = xyz_to_bbox_web_mercator(*tiles[0])
                found[z] = await conn.fetchval(sql, b["minx"], b["miny"], b["maxx"], b["maxy"])
            return found
        finally:
            await conn.close()

    rows = []
    for z, body in asyncio.run(bodies()).items():
        row = [z, f"{len(body) / 1024:.1f}"]
        for level in (1, 6, 9):
            times = []
            for _ in range(5):
                started = time.perf_counter()
                packed = zlib.compress(body, level)
                times.append((time.perf_counter() - started) * 1000)
            row += [f"{min(times):.2f}", f"{len(packed) / len(body):.2f}"]
        rows.append(row)
    emit("### Compression of one tile per zoom (zlib, as the GZip middleware; best of 5)")
    emit()
    table(["zoom", "tile KiB", "level 1 ms", "level 1 size", "level 6 ms", "level 6 size", "level 9 ms",
           "level 9 size"], rows)


def existing(args):
    for script, extra in (("runtime_overhead.py", ["--n", "100000"]),
                          ("tiles.py", ["--parcels", str(args.parcels), "--database", args.database]),
                          # A million parcels in a database of its own (loaded on first use: ~2 min, 1.1 GB).
                          ("scale.py", ["--no-docs"])):
        emit(f"### `python bench/{script} {' '.join(extra)}`")
        emit()
        result = subprocess.run([sys.executable, str(BENCH / script), *extra], capture_output=True, text=True,
                                cwd=ROOT)
        emit("```")
        for line in (result.stdout + (result.stderr if result.returncode else "")).strip().splitlines():
            if not line.startswith(("✓", "  - ")):
                emit(line)
        emit("```")
        emit()


def soak() -> None:
    """The 60-second soak (50 paced clients, flat memory) and the bench scripts' smoke runs,
    as pytest reports them: measurements kept out of CI."""
    emit("### Soak: `python -m pytest bench/soak`")
    emit()
    result = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-rA",
                             "-o", "junit_logging=all", str(BENCH / "soak")], capture_output=True, text=True, cwd=ROOT)
    emit("```")
    for line in result.stdout.strip().splitlines()[-12:]:
        emit(line)
    emit("```")
    emit()


def versions() -> str:
    def v(name):
        try:
            return metadata.version(name)
        except metadata.PackageNotFoundError:
            return "?"
    tipg_bin = BUILD / "tipg-venv" / "bin" / "python"
    tipg = (subprocess.run([str(tipg_bin), "-c", "from importlib.metadata import version; print(version('tipg'))"],
                           capture_output=True, text=True).stdout.strip() if tipg_bin.exists() else "") or "?"
    wrk_version = subprocess.run(["wrk", "--version"], capture_output=True, text=True).stdout.split()[1]
    return (f"Python {platform.python_version()}, fastapi {v('fastapi')}, starlette {v('starlette')}, "
            f"uvicorn {v('uvicorn')} (uvloop {v('uvloop')}, httptools {v('httptools')}), SQLAlchemy {v('SQLAlchemy')}, "
            f"asyncpg {v('asyncpg')}, redis-py {v('redis')}, TiPG {tipg}, wrk {wrk_version}")


def machine() -> str:
    model = next((row.split(":", 1)[1].strip() for row in Path("/proc/cpuinfo").read_text().splitlines()
                  if row.startswith("model name")), platform.processor())
    mem = int(next(row.split()[1] for row in Path("/proc/meminfo").read_text().splitlines()
                   if row.startswith("MemTotal")))
    pg = subprocess.run(["psql", "--version"], capture_output=True, text=True).stdout.strip()
    return f"{os.cpu_count()} cores ({model}), {mem / 2**20:.0f} GiB, {platform.platform()}; {pg}"


def write_docs() -> None:
    from report import write_block

    write_block(out, MARK_BEGIN, MARK_END, "The suite — `python bench/run_all.py`")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--parcels", type=int, default=100_000)
    parser.add_argument("--database", default="ravn_bench")
    parser.add_argument("--duration", type=int, default=5)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--inprocess-n", type=int, default=20000)
    parser.add_argument("--only", help="comma-separated sections: inprocess,cached,cold,baseline,zoom,plans,"
                                       "settings,compression,existing,soak")
    parser.add_argument("--baseline", type=Path, help="a checkout of an earlier commit, built in place: "
                                                      "cold-tile CPU against it")
    parser.add_argument("--pin", default="0:1", help="CPU for the servers and CPU for wrk ('server:load'), "
                                                      "or 'none'")
    parser.add_argument("--no-docs", action="store_true", help="print only; leave docs/benchmarks.md alone")
    args = parser.parse_args()
    only = set(args.only.split(",")) if args.only else None
    if args.pin != "none" and (os.cpu_count() or 1) > 1:
        PIN["server"], PIN["load"] = args.pin.split(":")
    want = lambda section: only is None or section in only  # noqa: E731

    ensure_wrk()
    if want("cold") or want("zoom"):
        tipg_python()
    url, data = prepare(args)
    emit(f"Run {datetime.datetime.now().astimezone():%Y-%m-%d %H:%M %Z}: {machine()}.")
    emit()
    emit(f"Data: {data['parcels']:,} parcels in `{args.database}` (`python -m sampledata --seed 1`), layer "
         f"`{LAYER}`. Versions: {versions()}. Each server: one uvicorn worker, uvloop + httptools, no access log; "
         f"wrk on the same machine (2 threads).")
    emit()
    if want("inprocess"):
        in_process(args)
    servers = []
    try:
        host = start_host(url)
        servers.append(host)
        if want("cached"):
            platform = start_platform_floor()
            servers.append(platform)
            cached(args, host, platform, data)
            platform.stop()
        if args.baseline and want("baseline"):
            baseline = start_baseline(url, args.baseline.resolve())
            servers.append(baseline)
            cold_against_baseline(args, host, baseline, data)
            baseline.stop()
        if want("cold") or want("zoom"):
            sqlfloor = start_sqlfloor(url)
            servers.append(sqlfloor)
            tipg, template = start_tipg(url)
            servers.append(tipg)
            if want("cold"):
                cold(args, host, sqlfloor, tipg, template, data)
            if want("zoom"):
                cold_by_zoom(args, host, sqlfloor, tipg, template, data)
            sqlfloor.stop()
            tipg.stop()
        if want("plans"):
            under_plans(args, host, data)
        if want("settings"):
            settings_runs(args, url, data, host)
    finally:
        for server in servers:
            server.stop()
        with contextlib.suppress(Exception):
            redis().flushdb()
    if want("compression"):
        compression(args, url, data)
    if want("existing"):
        existing(args)
    if want("soak"):
        soak()
    if not args.no_docs:
        write_docs()


if __name__ == "__main__":
    main()
