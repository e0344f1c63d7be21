"""Cache seeding and tile archives, checked against the running service's own tiles."""
from __future__ import annotations

import asyncio
import gzip
import json
import shutil
import sqlite3

import httpx
import pytest
import redis

from tests.tools.conftest import ZONE, cli, features, get_tile, summary

pytestmark = [pytest.mark.integration, pytest.mark.e2e]
ZOOMS = "14-16"
LGA = "Dadadu"


def fresh_tile(tessera, database_url, layer, z, x, y) -> bytes | None:
    """The tile as the database makes it now, bypassing every cache."""
    from sqlalchemy import text
    from sqlalchemy.ext.asyncio import create_async_engine

    from helpers.utils import xyz_to_bbox_web_mercator

    sql, _ = tessera.generate_mvt_sql(layer, z)
    box = xyz_to_bbox_web_mercator(z, x, y)

    async def query():
        engine = create_async_engine(database_url)
        try:
            async with engine.connect() as conn:
                return (await conn.execute(text(sql), {"min_x": box["minx"], "min_y": box["miny"],
                                                       "max_x": box["maxx"], "max_y": box["maxy"]})).scalar()
        finally:
            await engine.dispose()

    body = asyncio.run(query())
    return bytes(body) if body else None


@pytest.fixture
def private_cache(private_redis):
    client = redis.Redis(host=private_redis.host, port=private_redis.port)
    client.flushdb()
    yield client
    client.close()


def seeded_keys(client) -> set[str]:
    return {key.decode() for key in client.scan_iter(match="mvt_v8:*")}


def test_interrupted_seed_resumes_without_redoing_tiles(tool_env, private_cache, tmp_path):
    state = tmp_path / "seed.state"
    args = ["seed", "--zone", ZONE, "--zoom", ZOOMS, "--state", str(state), "--workers", "2"]
    first = summary(cli(tool_env, *args, "--max-tiles", "6").stdout)
    assert state.exists() and int(first["left to do"]) > 0
    done_first = seeded_keys(private_cache)
    assert len(done_first) == int(first["cached"]) > 0
    # Whatever the second run rewrote would reappear.
    private_cache.delete(*done_first)
    second = summary(cli(tool_env, *args).stdout)
    assert not state.exists()
    assert int(second["done before"]) == 6
    assert int(second["cached"]) + int(second["empty"]) == int(first["left to do"])
    assert not seeded_keys(private_cache) & done_first


def test_seeded_tiles_are_endpoint_hits_equal_to_fresh_tiles(tessera, tool_env, private_cache, server, tmp_path,
                                                            database_url):
    out = cli(tool_env, "seed", "--zone", ZONE, "--zoom", "9-15", "--state", str(tmp_path / "s")).stdout
    counts = summary(out)
    # beacons start above zoom 9: counted, not queried.
    assert int(counts["not shown at zoom"]) > 0 and int(counts["failed"]) == 0
    keys = seeded_keys(private_cache)
    assert len(keys) == int(counts["cached"]) > 0
    for key in sorted(keys):
        _, layer, z, x, y = key.split(":")
        z, x, y = int(z), int(x), int(y)
        _, tier = tessera.generate_mvt_sql(layer, z)
        assert tier["cache_ttl"] - 60 < private_cache.ttl(key) <= tier["cache_ttl"]
        response = get_tile(server, f"/gis/{layer}/{z}/{x}/{y}.pbf")
        assert response.status_code == 200 and response.headers.get("x-cache") == "HIT", key
        assert features(response.content) == features(fresh_tile(tessera, database_url, layer, z, x, y)), key


def test_seed_after_invalidation_brings_the_cache_back(tool_env, private_cache, tmp_path):
    args = ["seed", "--zone", ZONE, "--zoom", "15", "--layers", "plots", "--state", str(tmp_path / "s")]
    cli(tool_env, *args)
    before = seeded_keys(private_cache)
    private_cache.delete(*before)
    cli(tool_env, *args)
    assert seeded_keys(private_cache) == before and before


def test_unknown_area_and_layer_are_refused(tool_env, tmp_path):
    for extra in (["--zone", "no-such-zone", "--zoom", "15"], ["--zone", ZONE, "--zoom", "15", "--layers", "parcels"],
                  ["--bbox", "7.5,6.4,7.4,6.3", "--zoom", "15"]):
        done = cli(tool_env, "seed", *extra, "--state", str(tmp_path / "s"), check=False)
        assert done.returncode != 0 and "error:" in done.stderr


@pytest.fixture(scope="module")
def archive(tool_env, tmp_path_factory):
    path = tmp_path_factory.mktemp("export") / "new-folder" / "b05.mbtiles"
    done = cli(tool_env, "export", "--zone", ZONE, "--zoom", ZOOMS, "-o", str(path),
               "--pmtiles", str(path.with_suffix(".pmtiles")))
    return path, summary(done.stdout)


def test_archive_tiles_match_the_endpoint(tessera, archive, server):
    import landrecords  # noqa: F401  (api/ on the path)
    from landrecords.jobs import area

    path, counts = archive
    with sqlite3.connect(path) as db:
        stored = {(z, x, (1 << z) - 1 - row): gzip.decompress(data)
                  for z, x, row, data in db.execute("SELECT * FROM tiles")}
        extent = db.execute("SELECT value FROM metadata WHERE name = 'bounds'").fetchone()[0]
    west, south, east, north = map(float, extent.split(","))
    box = area.parse_bbox(f"{west},{south},{east},{north}")
    expected = {}
    for z in range(14, 17):
        for x, y in area.tiles(box, z):
            layers = {}
            for layer in tessera.LAYER_CONFIG:
                response = get_tile(server, f"/gis/{layer}/{z}/{x}/{y}.pbf")
                assert response.status_code in (200, 204)
                if response.status_code == 200:
                    layers.update(features(response.content))
            if layers:
                expected[(z, x, y)] = layers
    assert set(stored) == set(expected) and int(counts["tiles in archive"]) == len(expected)
    for key, body in stored.items():
        assert features(body) == expected[key], key


def test_archive_metadata(tessera, archive):
    path, _ = archive
    with sqlite3.connect(path) as db:
        metadata = dict(db.execute("SELECT name, value FROM metadata"))
        attributes = {}
        for (data,) in db.execute("SELECT tile_data FROM tiles"):
            for layer, found in features(gzip.decompress(data)).items():
                for properties, _ in found.values():
                    attributes.setdefault(layer, set()).update(properties)
    assert {"name", "format", "bounds", "center", "minzoom", "maxzoom", "json"} <= set(metadata)
    assert metadata["format"] == "pbf" and (metadata["minzoom"], metadata["maxzoom"]) == ("14", "16")
    west, south, east, north = map(float, metadata["bounds"].split(","))
    lon, lat, zoom = metadata["center"].split(",")
    assert west < float(lon) < east and south < float(lat) < north and zoom == "14"
    layers = {entry["id"]: entry for entry in json.loads(metadata["json"])["vector_layers"]}
    assert set(layers) == set(tessera.LAYER_CONFIG)
    for name, names in attributes.items():
        assert set(layers[name]["fields"]) == names and not any('"' in f for f in names)


def test_archive_served_by_the_host(archive, archive_dir, server):
    path, _ = archive
    shutil.copy(path, archive_dir / "b05.mbtiles")
    with sqlite3.connect(path) as db:
        z, x, row, data = db.execute("SELECT * FROM tiles LIMIT 1").fetchone()
    response = get_tile(server, f"/archive/b05/{z}/{x}/{(1 << z) - 1 - row}.pbf")
    assert response.status_code == 200 and response.content == gzip.decompress(data)
    assert get_tile(server, "/archive/b05/3/0/0.pbf").status_code == 204
    assert get_tile(server, "/archive/..%2Fsecret/3/0/0.pbf").status_code == 404
    assert get_tile(server, "/archive/b05/metadata.json").json()["format"] == "pbf"
    # The listing names readable archives only: a file still being written or not SQLite is left out.
    (archive_dir / "broken.mbtiles").write_bytes(b"not an archive")
    listed = httpx.get(server + "/archive/", timeout=10).json()["archives"]
    assert [(a["name"], a["viewer"], a["minzoom"]) for a in listed] == [("b05", "/?archive=b05", "14")]


def test_pmtiles_copy_holds_every_tile(archive):
    from pmtiles.reader import MmapSource, Reader, all_tiles

    path, counts = archive
    with sqlite3.connect(path) as db:
        stored = {(z, x, (1 << z) - 1 - row): bytes(data) for z, x, row, data in db.execute("SELECT * FROM tiles")}
    db.close()
    with open(path.with_suffix(".pmtiles"), "rb") as file:
        source = MmapSource(file)
        reader = Reader(source)
        assert reader.header()["addressed_tiles_count"] == int(counts["tiles in archive"]) == len(stored)
        copied = {tuple(zxy): bytes(data) for zxy, data in all_tiles(source)}
        assert (reader.header()["min_zoom"], reader.header()["max_zoom"]) == (14, 16)
    assert copied == stored


def test_ctrl_c_keeps_progress_and_the_next_run_does_only_the_rest(tool_env, private_cache, tmp_path):
    import os
    import signal
    import subprocess
    import sys
    import time

    from tests.support.services import REPO_ROOT

    state = tmp_path / "seed.state"
    args = ["seed", "--lga", LGA, "--zoom", "17-18", "--workers", "1", "--state", str(state)]
    process = subprocess.Popen([sys.executable, "-m", "landrecords", *args], cwd=REPO_ROOT,
                               env=dict(os.environ, **tool_env), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and (not state.exists() or len(state.read_text().splitlines()) < 8):
        time.sleep(0.05)
    process.send_signal(signal.SIGINT)
    _, err = process.communicate(timeout=60)
    assert process.returncode == 130 and "interrupted" in err
    finished_first = len(state.read_text().splitlines()) - 1
    cached_first = seeded_keys(private_cache)
    private_cache.delete(*cached_first)
    second = summary(cli(tool_env, *args).stdout)
    assert int(second["done before"]) == finished_first and int(second["cached"]) + int(second["empty"]) > 0
    assert not seeded_keys(private_cache) & cached_first and not state.exists()
