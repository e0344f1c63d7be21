"""The queries and both documents on the sample database, and the escaping in real PDFs."""
from __future__ import annotations

import io
from html import escape
from pathlib import Path

import pytest
import pytest_asyncio
from pypdf import PdfReader
from sqlalchemy import text

from tests.support.parcels import sample_parcel_ids

pytestmark = pytest.mark.integration
A4_POINTS = (595.28, 841.89)
SAMPLE_PNG = Path(__file__).resolve().parents[2] / "docs" / "maps" / "rectangle.png"


@pytest_asyncio.fixture
async def db(services, database_url):
    from sqlalchemy.ext.asyncio import AsyncSession, create_async_engine

    engine = create_async_engine(database_url)
    async with AsyncSession(engine) as session:
        yield session
    await engine.dispose()


@pytest_asyncio.fixture
async def road_parcel(db):
    return (await sample_parcel_ids(db))["road"]


@pytest.fixture
def maps(planwork, monkeypatch):
    """The real map function, with a memory of what it returned."""
    results = []
    real = planwork.generate_plot

    def generate_plot(*args, **kwargs):
        results.append(real(*args, **kwargs))
        return results[-1]

    monkeypatch.setattr(planwork, "generate_plot", generate_plot)
    return results


async def scalars(db, sql, **params):
    return list((await db.execute(text(sql), params)).scalars().all())


async def test_nearby_on_the_sample_database(planwork, db, road_parcel):
    result = await planwork.PlanImageGenerator(db).get_plot_with_nearby(db, road_parcel)

    near = await scalars(db, 'SELECT n."ID" FROM "GIS"."PLOT" n, "GIS"."PLOT" p WHERE p."ID" = :id '
                             'AND ST_DWithin(n."GEOMETRY", p."GEOMETRY", 50)', id=road_parcel)
    ids = [p["id"] for p in result["plots"]]
    assert sorted(ids) == sorted(near) and road_parcel in ids and len(ids) > 1

    nearest = await scalars(db, 'SELECT r."ROAD_NAME" FROM "GIS"."ROAD" r, "GIS"."PLOT" p WHERE p."ID" = :id '
                                'AND ST_DWithin(r."GEOMETRY", p."GEOMETRY", 50) '
                                'ORDER BY ST_Distance(p."GEOMETRY", r."GEOMETRY") LIMIT 3', id=road_parcel)
    assert len(nearest) == 3 and [r["name"] for r in result["roads"]] == nearest

    for plot in result["plots"]:
        legs = await scalars(db, 'SELECT "BEACON1ID" FROM "GIS"."BOUNDARY" WHERE "PLOTID" = :id', id=plot["id"])
        assert sorted(b["beacon_id"] for b in plot["boundary"]) == sorted(legs) and legs
        for beacon in plot["boundary"]:
            assert beacon["geometry"]["type"] == "Point" and beacon["beacon_name"]


def page_text(pdf: bytes) -> tuple[PdfReader, str]:
    reader = PdfReader(io.BytesIO(pdf))
    return reader, "\n".join(page.extract_text() for page in reader.pages)


def assert_one_a4_page(reader):
    assert len(reader.pages) == 1
    box = reader.pages[0].mediabox
    assert (float(box.width), float(box.height)) == pytest.approx(A4_POINTS, abs=0.5)


def assert_schedule_printed(content, schedule):
    assert schedule
    for row in schedule:
        assert f"{row['from']} {row['to']} {row['bearing']} {row['distance']}" in content


async def test_real_deed_plan(planwork, db, road_parcel, maps):
    stream = await planwork.PlanImageGenerator(db).generate_deedplan_html(
        road_parcel, "Zanijo", "res/2024/000042", "Adaeze Okafor", "a01")
    reader, content = page_text(stream.getvalue())
    assert_one_a4_page(reader)
    plot = (await db.execute(text('SELECT "PLOT_NO", "ADDRESS", "PLAN_LAYOUT_NO" FROM "GIS"."PLOT" WHERE "ID" = :id'),
                             {"id": road_parcel})).one()
    for printed in ("ADAEZE OKAFOR", "ZANIJO", "RES/2024/000042", "A01", plot.ADDRESS.upper(),
                    plot.PLAN_LAYOUT_NO or "", "ZORVAN PELLIK", f"1 : {maps[0][2]}"):
        assert printed in content
    assert f"PLOT {plot.PLOT_NO} SHOWING" in content
    assert_schedule_printed(content, maps[0][3])
    assert len(reader.pages[0].images) == 1  # the map


async def test_real_site_plan(planwork, db, road_parcel, maps):
    answer = await planwork.PlanImageGenerator(db).generate_siteplan_html(road_parcel)
    assert answer["filename"] == f"SitePlan_{road_parcel}.pdf"
    reader, content = page_text(answer["file"].getvalue())
    assert_one_a4_page(reader)
    file_no = (await scalars(db, 'SELECT "file_no" FROM "GIS"."PLOT" WHERE "ID" = :id', id=road_parcel))[0]
    assert file_no in content and "SITE PLAN" in content
    assert_schedule_printed(content, maps[0][3])


ATTACHMENT = '<link rel="attachment" href="file:///etc/hostname">'
IMAGE = f'<img src="file://{SAMPLE_PNG}">'


def attachments(reader) -> int:
    names = reader.trailer["/Root"].get("/Names", {})
    annots = [a.get_object() for page in reader.pages for a in page.get("/Annots", [])]
    return ("/EmbeddedFiles" in names) + sum(a.get("/Subtype") == "/FileAttachment" for a in annots)


def test_the_tricks_work_on_raw_markup(planwork):
    # The control: unescaped, the renderer embeds the file and fetches the image.
    html = f"<html><head>{ATTACHMENT}</head><body>{IMAGE}</body></html>"
    reader = PdfReader(io.BytesIO(planwork.HTML(string=html).write_pdf()))
    assert attachments(reader) == 1 and len(reader.pages[0].images) == 1


@pytest.mark.parametrize("document", ["deed", "site"])
async def test_markup_in_the_data_prints_as_text(planwork, db, road_parcel, monkeypatch, document):
    generator = planwork.PlanImageGenerator(db)
    real = generator.get_plot_with_nearby

    async def with_markup(session, plot_id):
        data = await real(session, plot_id)
        plot = next(p for p in data["plots"] if p["id"] == plot_id)
        plot.update(name="7<b>", surveyed_by=IMAGE, address=ATTACHMENT, plan_layout_no=IMAGE, file_no=ATTACHMENT)
        plot["boundary"][0]["beacon_name"] = IMAGE
        return data

    generator.get_plot_with_nearby = with_markup
    if document == "deed":
        pdf = (await generator.generate_deedplan_html(road_parcel, ATTACHMENT, "f&<i>", IMAGE, "z")).getvalue()
    else:
        pdf = (await generator.generate_siteplan_html(road_parcel))["file"].getvalue()
    reader, content = page_text(pdf)
    assert attachments(reader) == 0
    assert len(reader.pages[0].images) == 1  # only the map
    flat = "".join(content.split())  # lines wrap inside long texts
    printed = [IMAGE, "7<b>"] + ([ATTACHMENT.upper(), IMAGE.upper(), "F&<I>"] if document == "deed" else [ATTACHMENT])
    for markup in printed:
        assert "".join(markup.split()) in flat
    assert escape("<") not in flat  # entities are decoded by the renderer, not printed
