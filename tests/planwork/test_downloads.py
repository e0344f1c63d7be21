"""The plan downloads over HTTP through a real server, and the command line, on the sample database."""
from __future__ import annotations

import io
import os
import subprocess
import sys
from pathlib import Path

import httpx
import pytest
from pypdf import PdfReader

from tests.support.host_server import host_server
from tests.support.sql import sql

REPO_ROOT = Path(__file__).resolve().parents[2]
PARTICULARS = {"person_name": "Adaeze Okafor", "file_no": "res/1/2"}
PLAN_TOKEN = "plan-test-token"
STAFF = {"Authorization": f"Bearer {PLAN_TOKEN}"}


def parcel_without_legs(database_url, geometry='"GEOMETRY"') -> int:
    """A parcel whose boundary legs are missing: a copy of parcel 1 under a free id, made for the test
    (with `geometry` as its geometry expression)."""
    import asyncio

    from sqlalchemy import text
    from sqlalchemy.ext.asyncio import create_async_engine

    async def make():
        engine = create_async_engine(database_url)
        async with engine.begin() as conn:
            new_id = (await conn.execute(text('SELECT max("ID") + 1000 FROM "GIS"."PLOT"'))).scalar_one()
            await conn.execute(text('INSERT INTO "GIS"."PLOT" SELECT :id, "PLOT_NO", "STATUS", "AREA_SYSTEM", '
                                    '"GENERAL_LU", "CADZONE", "DETAIL_LU", "file_no", "ADDRESS", "SURVEYED_BY", '
                                    '"PLAN_LAYOUT_NO", ' + geometry + ' FROM "GIS"."PLOT" WHERE "ID" = 1'),
                               {"id": new_id})
        await engine.dispose()
        return new_id

    return asyncio.run(make())


def drop_parcel(database_url, plot_id):
    import asyncio

    from sqlalchemy import text
    from sqlalchemy.ext.asyncio import create_async_engine

    async def drop():
        engine = create_async_engine(database_url)
        async with engine.begin() as conn:
            await conn.execute(text('DELETE FROM "GIS"."PLOT" WHERE "ID" = :id'), {"id": plot_id})
        await engine.dispose()

    asyncio.run(drop())


@pytest.fixture(scope="module")
def shapeless(services, database_url):
    plot_id = parcel_without_legs(database_url, geometry="NULL")
    yield plot_id
    drop_parcel(database_url, plot_id)


@pytest.fixture(scope="module")
def legless(services, database_url):
    plot_id = parcel_without_legs(database_url)
    yield plot_id
    drop_parcel(database_url, plot_id)


def recorded_place(database_url, plot_id) -> dict:
    """The parcel's recorded zone and district, which a deed plan must name (here in other letter case)."""
    ((zone, district),) = sql(database_url, 'SELECT z."name", d."name" FROM "GIS"."PLOT" p JOIN "GIS"."CadZones" z '
                              'ON z."name" = p."CADZONE" JOIN "GIS"."Districts" d ON d."id" = z."district_id" '
                              'WHERE p."ID" = :id', id=plot_id)
    return {"district": district.upper(), "cadzone": zone.lower()}


@pytest.fixture(scope="module")
def deed_query(services, database_url):
    return dict(PARTICULARS, **recorded_place(database_url, 5))


@pytest.fixture(scope="module")
def server(services, database_url):
    with host_server("plans", DATABASE_URL=database_url, PLAN_TOKEN=PLAN_TOKEN, PLAN_RATE_PER_MINUTE="1000") as base:
        yield base


def one_page_pdf(content: bytes) -> str:
    reader = PdfReader(io.BytesIO(content))
    assert len(reader.pages) == 1
    return reader.pages[0].extract_text()


@pytest.mark.integration
@pytest.mark.e2e
class TestHttp:
    def test_site_plan(self, server):
        response = httpx.get(server + "/plans/5/siteplan.pdf", headers=STAFF, timeout=60)
        assert response.status_code == 200 and response.headers["content-type"] == "application/pdf"
        assert response.headers["content-disposition"] == 'attachment; filename="SitePlan_5.pdf"'
        assert "SITE PLAN" in one_page_pdf(response.content)

    def test_deed_plan(self, server, deed_query):
        response = httpx.get(server + "/plans/5/deedplan.pdf", params=deed_query, headers=STAFF, timeout=60)
        assert response.status_code == 200
        assert response.headers["content-disposition"] == 'attachment; filename="DeedPlan_5.pdf"'
        text = one_page_pdf(response.content)
        assert "ADAEZE OKAFOR" in text and "RES/1/2" in text

    @pytest.mark.parametrize("path", ["/plans/999999/siteplan.pdf", "/plans/999999/deedplan.pdf"])
    def test_unknown_parcel(self, server, path, deed_query):
        response = httpx.get(server + path, params=deed_query, headers=STAFF, timeout=60)
        assert response.status_code == 404 and response.json() == {"detail": "Parcel 999999 not found"}

    def test_missing_and_blank_fields(self, server, deed_query):
        missing = httpx.get(server + "/plans/5/deedplan.pdf", params={"person_name": "A"}, headers=STAFF,
                            timeout=60)
        assert missing.status_code == 422
        assert sorted(e["loc"][-1] for e in missing.json()["detail"]) == ["cadzone", "district", "file_no"]
        blank = httpx.get(server + "/plans/5/deedplan.pdf", params=dict(deed_query, district="  "), headers=STAFF,
                          timeout=60)
        assert blank.status_code == 422 and blank.json() == {"detail": "Missing deed plan field(s): district"}

    @pytest.mark.parametrize("path", ["siteplan.pdf", "deedplan.pdf"])
    def test_parcel_without_geometry(self, server, shapeless, path, deed_query):
        response = httpx.get(f"{server}/plans/{shapeless}/{path}", params=deed_query, headers=STAFF, timeout=60)
        assert response.status_code == 422
        assert response.json()["detail"] == f"Parcel {shapeless} has no geometry; a plan needs a single polygon"

    @pytest.mark.parametrize("path", ["siteplan.pdf", "deedplan.pdf"])
    def test_parcel_without_legs(self, server, legless, path, deed_query):
        response = httpx.get(f"{server}/plans/{legless}/{path}", params=deed_query, headers=STAFF, timeout=60)
        assert response.status_code == 422
        assert response.json()["detail"] == (f"Parcel {legless} has no boundary legs; "
                                             "a plan needs its beacons and bearings")


def cli(*args, cwd, database_url):
    env = dict(os.environ, DATABASE_URL=database_url, PYTHONPATH=str(REPO_ROOT))
    return subprocess.run([sys.executable, "-m", "landrecords", *args], cwd=cwd, env=env, capture_output=True,
                          text=True, timeout=120)


@pytest.mark.integration
@pytest.mark.e2e
class TestCommandLine:
    def test_site_plan_to_default_name(self, tmp_path, database_url, services):
        done = cli("plan", "site", "--parcel", "7", cwd=tmp_path, database_url=database_url)
        assert done.returncode == 0, done.stderr
        assert [p.name for p in tmp_path.iterdir()] == ["SitePlan_7.pdf"]
        assert "SITE PLAN" in one_page_pdf((tmp_path / "SitePlan_7.pdf").read_bytes())

    def test_deed_plan(self, tmp_path, database_url, services):
        target = tmp_path / "deed.pdf"
        place = recorded_place(database_url, 7)
        done = cli("plan", "deed", "--parcel", "7", "--person-name", "Adaeze Okafor", "--district", place["district"],
                   "--cadzone", place["cadzone"], "--file-no", "res/1/2", "-o", str(target), cwd=REPO_ROOT,
                   database_url=database_url)
        assert done.returncode == 0, done.stderr
        assert "ADAEZE OKAFOR" in one_page_pdf(target.read_bytes())

    @pytest.mark.parametrize("kind", ["site", "deed"])
    def test_failures_leave_no_file(self, tmp_path, database_url, services, legless, kind):
        target = tmp_path / "plan.pdf"
        target.write_bytes(b"an older plan")
        extra = ["--person-name", "A", "--district", "D", "--cadzone", "C", "--file-no", "F"] if kind == "deed" else []
        unknown = cli("plan", kind, "--parcel", "999999", "-o", str(target), "--force", *extra, cwd=tmp_path,
                      database_url=database_url)
        assert unknown.returncode == 1 and "error: Parcel 999999 not found" in unknown.stderr
        unusable = cli("plan", kind, "--parcel", str(legless), "-o", str(target), "--force", *extra, cwd=tmp_path,
                       database_url=database_url)
        assert unusable.returncode == 1 and "has no boundary legs" in unusable.stderr
        assert [p.name for p in tmp_path.iterdir()] == ["plan.pdf"] and target.read_bytes() == b"an older plan"

    def test_usage(self, tmp_path, database_url):
        done = cli("plan", "deed", "--parcel", "7", cwd=tmp_path, database_url=database_url)
        assert done.returncode == 2 and "--person-name" in done.stderr
