"""The command line as a user meets it: help, areas typed the obvious way, huge runs, outputs in the way,
errors as one line, and what a run prints."""
from __future__ import annotations

import csv
import io
import os
import re
import subprocess
import sys
import zipfile

import pytest

from tests.support.services import REPO_ROOT
from tests.tools.conftest import ZONE, cli, summary

WORLD = "-180,-85,180,85"
LOG_LINE = re.compile(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d+ [A-Z]+ ")


def tool(*args: str, env: dict | None = None) -> subprocess.CompletedProcess:
    # A guard that fails lets the old tool build a list of every tile of the world: bounded, not timed.
    return subprocess.run([sys.executable, "-m", "landrecords", *args], cwd=REPO_ROOT,
                          env=dict(os.environ, **(env or {})), capture_output=True, text=True, timeout=120)


def one_error_line(done: subprocess.CompletedProcess, status: int) -> str:
    assert done.returncode == status, done.stderr
    lines = [line for line in done.stderr.strip().splitlines() if not LOG_LINE.match(line)]
    assert len(lines) == 1 and "error:" in lines[0] and "Traceback" not in done.stderr, done.stderr
    return lines[0]


def test_help_says_what_the_tools_are_for():
    done = tool("--help")
    assert done.returncode == 0
    opening = done.stdout.split("\n\n")[1]
    assert "parser" not in opening and "subcommand" not in opening
    assert "plans" in opening and "tiles" in opening


@pytest.mark.parametrize("command", [["seed", "--state", "{tmp}/s"], ["export", "-o", "{tmp}/world.mbtiles"]])
@pytest.mark.parametrize("bbox", [["--bbox", WORLD], [f"--bbox={WORLD}"]])
def test_a_huge_area_is_counted_and_refused_without_yes(tmp_path, command, bbox):
    args = [a.format(tmp=tmp_path) for a in command]
    done = tool(*args, *bbox, "--zoom", "1-20")
    line = one_error_line(done, 2)
    assert "--yes" in line
    printed = re.search(r"([0-9,]+) (layer )?tiles", done.stdout)
    assert printed and int(printed.group(1).replace(",", "")) >= 4 ** 20  # every column and row of zoom 20
    assert list(tmp_path.iterdir()) == []


def test_tiles_of_an_area_are_counted_without_listing_them():
    import landrecords  # noqa: F401  (api/ on the path)
    from landrecords.jobs import area

    world = area.parse_bbox("-180,-89,180,89")
    assert area.tile_count(world, 20) == 4 ** 20
    assert next(iter(area.tiles(world, 20))) == (0, 0)
    for box in ("7.40,6.35,7.55,6.50", "-0.2,-0.1,0.3,0.05", "179.9,10,180,10.01"):
        where = area.parse_bbox(box)
        for z in (1, 9, 15):
            assert area.tile_count(where, z) == len(set(area.tiles(where, z)))


def test_the_tile_module_banner_goes_to_the_log_not_the_output(tmp_path):
    done = tool("seed", "--bbox", WORLD, "--zoom", "1-20", "--state", str(tmp_path / "s"), env={"LOG_LEVEL": "DEBUG"})
    assert done.returncode == 2
    assert "Binary Redis cache initialized" not in done.stdout
    assert re.search(r"DEBUG \S+: tile module: .*Binary Redis cache initialized", done.stderr)


def _existing(path):
    path.write_bytes(b"keep")


def _link(path):
    target = path.parent / "target.bin"
    target.write_bytes(b"keep")
    path.symlink_to(target)


def _folder(path):
    path.mkdir()


@pytest.mark.parametrize("make, option, status", [
    (_existing, "-o", 2), (_link, "-o", 2), (_folder, "-o", 2), (_existing, "--pmtiles", 2), (_link, "--pmtiles", 2),
])
def test_export_refuses_an_output_in_the_way_before_any_work(tmp_path, make, option, status):
    target = tmp_path / ("out.mbtiles" if option == "-o" else "out.pmtiles")
    make(target)
    outputs = ["-o", str(target)] if option == "-o" else ["-o", str(tmp_path / "a.mbtiles"), "--pmtiles", str(target)]
    one_error_line(tool("export", "--bbox", "7.4,6.4,7.5,6.5", "--zoom", "15", *outputs), status)
    kept = target.parent / "target.bin" if target.is_symlink() else target
    assert target.is_dir() or kept.read_bytes() == b"keep"
    assert not (tmp_path / "a.mbtiles.part").exists() and not (tmp_path / "out.mbtiles.state").exists()


def test_export_to_an_unwritable_place_is_one_line(tmp_path):
    one_error_line(tool("export", "--bbox", "7.4,6.4,7.5,6.5", "--zoom", "15", "-o", "/proc/x.mbtiles"), 1)


@pytest.mark.integration
@pytest.mark.parametrize("parcels", ["1_0", "+1", "2147483648", "10" * 20])
def test_batch_refuses_ids_that_are_not_plain_decimal_keys(tool_env, tmp_path, parcels):
    done = tool("batch-plans", "site", "--parcels", f"3,{parcels}", "-o", str(tmp_path / "x"), env=tool_env)
    assert repr(parcels) in one_error_line(done, 2)


@pytest.mark.integration
def test_batch_refuses_to_write_over_an_existing_zip(tool_env, tmp_path):
    (tmp_path / "plans.zip").write_bytes(b"keep")
    one_error_line(tool("batch-plans", "site", "--parcels", "3", "-o", str(tmp_path / "plans.zip"), env=tool_env), 2)
    assert (tmp_path / "plans.zip").read_bytes() == b"keep"


@pytest.mark.integration
def test_a_batch_where_every_plan_failed_exits_1_after_writing_its_index(tool_env, tmp_path):
    output = tmp_path / "none.zip"
    done = cli(tool_env, "batch-plans", "site", "--parcels", "99999999", "-o", str(output), check=False)
    assert done.returncode == 1
    assert (summary(done.stdout)["plans"], summary(done.stdout)["failed"]) == ("0", "1")
    with zipfile.ZipFile(output) as archive:
        rows = list(csv.DictReader(io.StringIO(archive.read("index.csv").decode())))
    assert [(r["parcel_id"], r["status"]) for r in rows] == [("99999999", "error 404")]


@pytest.mark.integration
def test_export_with_force_replaces_a_link_not_its_target(tool_env, tmp_path):
    target = tmp_path / "elsewhere.mbtiles"
    target.write_bytes(b"keep")
    link = tmp_path / "out.mbtiles"
    link.symlink_to(target)
    cli(tool_env, "export", "--zone", ZONE, "--zoom", "15", "--layers", "plots", "-o", str(link), "--force")
    assert not link.is_symlink() and link.read_bytes()[:16] == b"SQLite format 3\x00"
    assert target.read_bytes() == b"keep"
