"""The router's Redis promises, with the client the module builds at load, against
a real redis-server that is flooded, killed and frozen."""
from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from tests.support.services import child_env, temporary_redis

REPO_ROOT = Path(__file__).resolve().parents[2]
QUERY_SECONDS = 0.05
# Rate-limit INCR (5 s socket time-out) + cache read (1 s) + cache write (5 s) + the query.
OUTAGE_BOUND = 5 + 1 + 5 + QUERY_SECONDS + 1.0  # one second of slack for a loaded machine

pytestmark = pytest.mark.integration


def run(scenario):
    with temporary_redis() as server:
        env = {k: v for k, v in os.environ.items() if not k.startswith("REDIS_")}
        env.update(REDIS_HOST=server.host, REDIS_PORT=str(server.port))
        done = subprocess.run([sys.executable, "-m", "tests.tessera.redis_promises", scenario, str(server._proc.pid)],
                              cwd=REPO_ROOT, env=child_env(env), capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-3000:]
    answers = json.loads(done.stdout.splitlines()[-1])["answers"]
    return [status for status, _ in answers], [seconds for _, seconds in answers]


def test_a_flood_from_one_address_is_held_to_the_limit():
    statuses, _ = run("flood")
    passed = sum(status != 429 for status in statuses)
    assert set(statuses) <= {200, 429}
    assert 40 <= passed <= 80  # one second window, two at most if the flood straddles a boundary


def test_the_41st_request_in_a_window_is_refused():
    statuses, seconds = run("sequence")
    assert sum(seconds) < 1.0, "the sequence did not fit in one window"
    assert statuses == [200] * 40 + [429]


def test_tiles_come_at_database_speed_with_redis_dead():
    statuses, seconds = run("killed")
    assert statuses == [200] * 20
    assert max(seconds) < QUERY_SECONDS + 0.5


def test_a_frozen_redis_delays_tiles_only_by_its_time_outs():
    statuses, seconds = run("frozen")
    assert statuses == [200] * 20
    assert max(seconds) <= OUTAGE_BOUND
