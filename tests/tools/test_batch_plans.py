"""Plans in bulk over a small cadastral zone."""
from __future__ import annotations

import asyncio
import csv
import hashlib
import io
import re
import zipfile

import pytest
from pypdf import PdfReader

from tests.support.sql import sql
from tests.tools.conftest import ZONE, cli, summary

pytestmark = pytest.mark.integration


def zone_parcels(database_url) -> dict[int, str]:
    from sqlalchemy import text
    from sqlalchemy.ext.asyncio import create_async_engine

    async def query():
        engine = create_async_engine(database_url)
        try:
            async with engine.connect() as conn:
                return dict((await conn.execute(text('SELECT "ID", "PLOT_NO" FROM "GIS"."PLOT" WHERE "CADZONE" = :z'),
                                                {"z": ZONE})).all())
        finally:
            await engine.dispose()

    return asyncio.run(query())


def registered(database_url, digests: list[str]) -> set[str]:
    from sqlalchemy import text
    from sqlalchemy.ext.asyncio import create_async_engine

    async def query():
        engine = create_async_engine(database_url)
        try:
            async with engine.connect() as conn:
                rows = await conn.execute(text("SELECT sha256 FROM registry.plan_issues WHERE sha256 = ANY(:d) "
                                               "AND client LIKE 'cli:%' AND document = 'deed'"), {"d": digests})
                return {row[0] for row in rows}
        finally:
            await engine.dispose()

    return asyncio.run(query())


def logged_apart(done) -> None:
    """Log lines, the drawing processes' too, start lines of their own above the bar; what the
    drawing prints is logged with its meaning, not left on the output as a bare number."""
    logged = [part for part in re.split(r"[\r\n]", done.stderr) if " INFO " in part]
    assert logged and all(re.match(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d", part) for part in logged), done.stderr
    assert not re.search(r"^\s*\d+\s*$", done.stdout, re.M) and "map scale 1:" in done.stderr


def one_page(pdf: bytes) -> str:
    reader = PdfReader(io.BytesIO(pdf))
    assert len(reader.pages) == 1
    return reader.pages[0].extract_text()


def test_deed_plans_of_a_zone_into_a_zip_with_a_broken_parcel(tool_env, database_url, tmp_path):
    parcels = zone_parcels(database_url)
    ((district,),) = sql(database_url, 'SELECT d."name" FROM "GIS"."CadZones" z JOIN "GIS"."Districts" d '
                         'ON d."id" = z."district_id" WHERE z."name" = :z', z=ZONE)
    broken = min(parcels)
    with open(tmp_path / "particulars.csv", "w", newline="") as file:
        writer = csv.writer(file)
        writer.writerow(["parcel_id", "person_name", "district", "cadzone", "file_no"])
        for plot_id in parcels:
            writer.writerow([plot_id, "" if plot_id == broken else f"Grantee {plot_id}", district, ZONE,
                             f"F/{plot_id}"])
    output = tmp_path / "deeds.zip"
    done = cli(tool_env, "batch-plans", "deed", "--zone", ZONE, "--particulars", str(tmp_path / "particulars.csv"),
               "-o", str(output), "--workers", "2", check=False)
    assert done.returncode == 1  # one plan failed
    logged_apart(done)
    counts = summary(done.stdout)
    assert (int(counts["plans"]), int(counts["failed"])) == (len(parcels) - 1, 1), done.stderr[-600:]
    assert not (tmp_path / "deeds.zip.state").exists() and not (tmp_path / "deeds.zip.parts").exists()
    with zipfile.ZipFile(output) as archive:
        index = list(csv.DictReader(io.StringIO(archive.read("index.csv").decode())))
        assert {int(row["parcel_id"]): row["parcel_number"] for row in index} == parcels
        digests = []
        for row in index:
            if int(row["parcel_id"]) == broken:
                assert row["status"] == "error 422" and "person_name" in row["error"] and not row["file_name"]
                continue
            assert row["status"] == "ok" and row["file_name"] == f"DeedPlan_{row['parcel_id']}.pdf"
            pdf = archive.read(row["file_name"])
            assert f"GRANTEE {row['parcel_id']}" in one_page(pdf).upper()
            digests.append(hashlib.sha256(pdf).hexdigest())
        assert sorted(archive.namelist()) == sorted([r["file_name"] for r in index if r["file_name"]] + ["index.csv"])
    assert registered(database_url, digests) == set(digests)


def test_site_plans_of_listed_parcels_resume_from_the_state_file(tool_env, tmp_path):
    output = tmp_path / "site"
    state = tmp_path / "site.state"
    # An earlier run that stopped after parcel 3: its row stands, its plan is not drawn again.
    header = '{"kind": "site", "parcels": [3, 999999, 4], "tool": "batch-plans"}'
    row3 = '{"parcel_id": 3, "parcel_number": "P3", "file_name": "SitePlan_3.pdf", "status": "ok", "error": ""}'
    state.write_text(f"{header}\n{row3}\t.\n")
    done = cli(tool_env, "batch-plans", "site", "--parcels", "3,999999,4", "-o", str(output), check=False)
    assert done.returncode == 1  # parcel 999999 failed
    logged_apart(done)
    counts = summary(done.stdout)
    assert (counts["plans"], counts["failed"], counts["done before"]) == ("2", "1", "1")
    assert sorted(p.name for p in output.iterdir()) == ["SitePlan_4.pdf", "index.csv"]
    index = list(csv.DictReader(io.StringIO((output / "index.csv").read_text())))
    assert [(r["parcel_id"], r["status"]) for r in index] == [("3", "ok"), ("999999", "error 404"), ("4", "ok")]
    assert "SITE PLAN" in one_page((output / "SitePlan_4.pdf").read_bytes())
    assert not state.exists()
