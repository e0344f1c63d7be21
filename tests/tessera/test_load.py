"""Loading the module: environment, start-up lines, no Redis traffic, failures."""
from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

REPO_ROOT = Path(__file__).resolve().parents[2]

STARTUP_LINES = [
    "✓ Binary Redis cache initialized (no UTF-8 decoding)",
    "  - Namespace: mvt_v8",
    "  - Redis: {host}:{port}/{db}",
    "  - decode_responses: False (handles binary data)",
]

# The least a host must offer: what the module imports by name, and nothing else.
MINIMAL_HOST = {
    "database.py": "async def get_db():\n    yield None\n",
    "helpers/__init__.py": "",
    "helpers/responses.py": "def api_response(**kw):\n    return kw\n\ndef api_router_response(r):\n    return r\n",
    "helpers/utils.py": ("def latlon_to_xyz(lat, lon, zoom):\n    return {}\n\n"
                         "def xyz_to_bbox_web_mercator(z, x, y):\n    return {}\n"),
}


@pytest.fixture
def minimal_host(tmp_path):
    for name, text in MINIMAL_HOST.items():
        path = tmp_path / "host" / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
    return tmp_path


def load(host_dir: Path, code: str = "import ravn.tessera", **env) -> subprocess.CompletedProcess:
    """Imports the module in a fresh interpreter, from a folder without an environment file."""
    clean = {k: v for k, v in os.environ.items() if not k.startswith("REDIS_")}
    clean.update(env)
    clean["PYTHONPATH"] = os.pathsep.join([str(host_dir / "host"), str(REPO_ROOT / "api")])
    return subprocess.run([sys.executable, "-c", code], cwd=host_dir, env=clean, capture_output=True, text=True,
                          timeout=60)


def test_defaults_print_exactly_the_startup_lines(minimal_host):
    done = load(minimal_host)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [line.format(host="localhost", port=6379, db=0) for line in STARTUP_LINES]


def test_environment_settings_and_their_types(minimal_host):
    code = textwrap.dedent("""
        import ravn.tessera as t
        kw = t.redis_client.connection_pool.connection_kwargs
        print(repr((t.redis_host, t.redis_port, t.redis_db, t.redis_password, t.redis_username)))
        print(repr((kw['host'], kw['port'], kw['db'], kw['password'], kw['username'], kw['socket_timeout'],
                    kw['socket_connect_timeout'], t.redis_client.get_encoder().decode_responses)))
    """)
    done = load(minimal_host, code, REDIS_HOST="cache.internal", REDIS_PORT="6390", REDIS_DB="3",
                REDIS_PASSWORD="s3cret", REDIS_USERNAME="tiles")
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[2] == "  - Redis: cache.internal:6390/3"
    assert not any("s3cret" in line or "tiles" in line for line in lines[:4])
    assert lines[4] == repr(("cache.internal", 6390, 3, "s3cret", "tiles"))
    assert lines[5] == repr(("cache.internal", 6390, 3, "s3cret", "tiles", 5, 5, False))


def test_environment_file_fills_unset_variables(minimal_host):
    (minimal_host / ".env").write_text("REDIS_HOST=from-dotenv\nREDIS_DB=7\n")
    done = load(minimal_host, REDIS_DB="2")
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[2] == "  - Redis: from-dotenv:6379/2"


@pytest.mark.parametrize("variable", ["REDIS_PORT", "REDIS_DB"])
def test_non_numeric_port_or_db_fails_the_import(minimal_host, variable):
    code = textwrap.dedent("""
        import sys
        try:
            import ravn.tessera
        except Exception as e:
            print(type(e).__name__, e)
        print("ravn.tessera" in sys.modules)
    """)
    done = load(minimal_host, code, **{variable: "abc"})
    assert done.stdout.splitlines() == ["ValueError invalid literal for int() with base 10: 'abc'", "False"]


def test_loading_sends_nothing_to_redis(minimal_host):
    # A port where nothing listens: loading must not notice.
    done = load(minimal_host, "import ravn.tessera; print('loaded')", REDIS_PORT="1")
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[-1] == "loaded"


def test_missing_host_module_fails_the_import(minimal_host):
    (minimal_host / "host" / "helpers" / "utils.py").write_text("def latlon_to_xyz(lat, lon, zoom):\n    return {}\n")
    done = load(minimal_host)
    assert done.returncode != 0
    utils = minimal_host / "host" / "helpers" / "utils.py"
    assert done.stderr.strip().splitlines()[-1] == (
        f"ImportError: cannot import name 'xyz_to_bbox_web_mercator' from 'helpers.utils' ({utils})")


def test_module_attributes(tessera):
    import asyncio
    import logging

    import fastapi
    import redis.asyncio
    from sqlalchemy.sql import text

    assert tessera.logger is logging.getLogger("ravn.tessera")
    assert tessera.asyncio is asyncio and tessera.text is text and tessera.aioredis is redis.asyncio
    assert tessera.HTTPException is fastapi.HTTPException and tessera.Request is fastapi.Request
    assert (tessera.DEFAULT_CENTROID_ZOOM, tessera.MAX_BBOX_AREA_WGS84, tessera.MAX_FEATURES_GLOBAL,
            tessera.CACHE_TTL_SHORT, tessera.CACHE_TTL_LONG) == (16, 1.0, 15000, 1800, 7200)
    assert type(tessera.MAX_BBOX_AREA_WGS84) is float
    assert tessera.tesseraApi.prefix == "/gis" and tessera.tesseraApi.tags == ["GIS Tiles"]
    assert isinstance(tessera.redis_client, redis.asyncio.Redis)
    assert tessera.cache.redis is tessera.redis_client and tessera.cache.namespace == "mvt_v8"
