"""The deed plan and the site plan with the map, the renderer and the data replaced by fakes."""
from __future__ import annotations

import io
from html import escape as html_escape
from datetime import datetime

import pytest

DEED_TOKENS = ["parcel_number", "image", "width", "height", "district", "cadzone", "file_no", "person_name", "date",
               "tracing_no", "beacon_number", "beacon_longitude", "beacon_latitude", "surveyed_by", "scale",
               "address", "surveyor_general", "schedule_table"]
SITE_TOKENS = ["file_no", "image", "width", "height", "scale", "parcel_number", "date", "beacon_number",
               "beacon_longitude", "beacon_latitude", "surveyor_general", "surveyed_by", "schedule_table"]
AGENCY = "TARVESH STATE GEOGRAPHIC INFORMATION SYSTEMS SERVICES"
CELL = '<td style="padding: 1px 4px; white-space: nowrap;">'
HEAD = '<th style="padding: 1px 4px; white-space: nowrap;">'
DEED_PAGE = ("\n        @page {\n            size: A4;\n            margin: 0;\n        }\n        ")


def entry(id, **fields):
    values = {"id": id, "name": f"P{id}", "area": 400.0, "file_no": f"f/{id}", "geometry": {},
              "boundary": [{"beacon_name": "SC/CN 1",
                            "geometry": {"type": "Point", "coordinates": (834640.5, 713585.25)}},
                           {"beacon_name": "PB 2", "geometry": {"type": "Point", "coordinates": (1.0, 2.0)}}],
              "surveyed_by": "Surv. A", "address": "Plot 42, Main Street", "plan_layout_no": "PL/1"}
    values.update(fields)
    return values


class Renderer:
    """HTML and CSS as the module calls them; keeps what it was given."""

    def __init__(self):
        self.calls = []

    def HTML(self, **kwargs):
        self.calls.append(("HTML", kwargs))
        return self

    def CSS(self, **kwargs):
        self.calls.append(("CSS", kwargs))
        return ("css", kwargs["string"])

    def write_pdf(self, **kwargs):
        self.calls.append(("write_pdf", kwargs))
        return b"%PDF-fake"

    @property
    def html(self):
        return next(kw["string"] for name, kw in self.calls if name == "HTML")


@pytest.fixture
def world(planwork, monkeypatch, tmp_path):
    """A generator whose data, map, date, templates and renderer are fakes; `world.events` keeps the order."""
    events = []
    w = type("World", (), {})()
    w.events = events
    w.plots = [entry(41), entry(42)]
    w.roads = [{"name": "R", "geometry": {}}]
    w.schedule = [{"from": "SC/CN 1", "to": "PB 2", "bearing": "45° 7'", "distance": "12.50"},
                  {"from": "PB 2", "to": "SC/CN 1", "bearing": "225° 7'", "distance": 12.5}]
    w.map_result = ("aW1hZ2U=", (190, 160), 500, w.schedule)
    w.renderer = Renderer()
    (tmp_path / "templates").mkdir()
    (tmp_path / "templates" / "deedplan.html").write_text("|".join("{{%s}}" % t for t in DEED_TOKENS)
                                                          + "|{{parcel_number}}|{{unknown}}", encoding="utf-8")
    (tmp_path / "templates" / "siteplan.html").write_text("|".join("{{%s}}" % t for t in SITE_TOKENS)
                                                          + "|{{address}}", encoding="utf-8")
    monkeypatch.setattr(planwork, "project_root", str(tmp_path))

    real_open = planwork.aiofiles.open

    def opened(path, *args, **kwargs):
        events.append(("open", path, args, kwargs))
        return real_open(path, *args, **kwargs)

    monkeypatch.setattr(planwork.aiofiles, "open", opened)

    def generate_plot(*args, **kwargs):
        events.append(("generate_plot", args, kwargs))
        return w.map_result

    monkeypatch.setattr(planwork, "generate_plot", generate_plot)
    now = datetime(2026, 3, 1, 9, 30)

    class Clock:
        @staticmethod
        def now():
            events.append(("now",))
            return now

    monkeypatch.setattr(planwork, "datetime", Clock)

    def format_date_html(value):
        events.append(("format_date_html", value))
        return "1st March, 2026"

    monkeypatch.setattr(planwork, "format_date_html", format_date_html)
    monkeypatch.setattr(planwork, "HTML", w.renderer.HTML)
    monkeypatch.setattr(planwork, "CSS", w.renderer.CSS)

    def api_response(**kwargs):
        events.append(("api_response", kwargs))
        return {"answer": kwargs}

    monkeypatch.setattr(planwork, "api_response", api_response)
    db = object()
    w.db = db
    w.generator = planwork.PlanImageGenerator(db)

    async def nearby(session, plot_id):
        events.append(("nearby", session, plot_id))
        return {"plots": w.plots, "roads": w.roads}

    w.generator.get_plot_with_nearby = nearby
    return w


def fields(html, tokens):
    return dict(zip(tokens, html.split("|"), strict=False))


SCHEDULE_HTML = (
    '<table style="width: auto; font-size: 6pt; border-collapse: collapse; margin-top: 2px; margin-left: 0;">'
    f"<thead><tr>{HEAD}From</th>{HEAD}To</th>{HEAD}Bearing</th>{HEAD}Dist(m)</th></tr></thead><tbody>"
    f"<tr>{CELL}SC/CN 1</td>{CELL}PB 2</td>{CELL}45° 7&#x27;</td>{CELL}12.50</td></tr>"
    f"<tr>{CELL}PB 2</td>{CELL}SC/CN 1</td>{CELL}225° 7&#x27;</td>{CELL}12.5</td></tr>"
    "</tbody></table>")


async def test_deed_plan(world):
    stream = await world.generator.generate_deedplan_html(42.0, "north", "ab/12", "mixed Case", "z1")
    assert isinstance(stream, io.BytesIO) and stream.tell() == 0 and stream.read() == b"%PDF-fake"

    kinds = [e[0] for e in world.events]
    assert kinds == ["open", "nearby", "generate_plot", "now", "format_date_html"]
    opened = world.events[0]
    assert opened[1].endswith("/templates/deedplan.html") and opened[2] == ("r",) and opened[3] == {"encoding": "utf-8"}
    assert world.events[1][1:] == (world.db, 42)
    assert world.events[2][1:] == ((world.plots, 42, world.roads, "id", None),
                                   {"max_width_mm": 190, "max_height_mm": 160})

    html = world.renderer.html
    values = fields(html, DEED_TOKENS)
    assert values == {
        "parcel_number": "P42", "image": "aW1hZ2U=", "width": "190", "height": "160", "district": "NORTH",
        "cadzone": "Z1", "file_no": "AB/12", "person_name": "MIXED CASE", "date": "(1st March, 2026)",
        "tracing_no": "PL/1", "beacon_number": "SC/CN 1", "beacon_longitude": "713585.25",
        "beacon_latitude": "834640.5", "surveyed_by": "Surv. A", "scale": "500", "address": "PLOT 42, MAIN STREET",
        "surveyor_general": "ZORVAN PELLIK", "schedule_table": SCHEDULE_HTML,
    }
    assert html.endswith("|P42|{{unknown}}")  # every occurrence replaced; unknown tokens stay
    assert world.renderer.calls == [("CSS", {"string": DEED_PAGE}), ("HTML", {"string": html}),
                                    ("write_pdf", {"stylesheets": [("css", DEED_PAGE)]})]


async def test_site_plan(world):
    world.plots[1]["file_no"] = None
    answer = await world.generator.generate_siteplan_html(42)
    sent = answer["answer"]
    assert list(sent) == ["file", "filename"] and sent["filename"] == "SitePlan_42.pdf"
    assert sent["file"].getvalue() == b"%PDF-fake"
    assert [e[0] for e in world.events] == ["open", "nearby", "generate_plot", "now", "format_date_html",
                                            "api_response"]
    values = fields(world.renderer.html, SITE_TOKENS)
    assert values["file_no"] == "None"
    assert values["schedule_table"] == SCHEDULE_HTML
    assert (values["beacon_latitude"], values["beacon_longitude"]) == ("834640.5", "713585.25")
    assert world.renderer.html.endswith("|{{address}}")
    assert world.renderer.calls[0] == ("CSS", {"string": "@page { size: A4; margin: 0; }"})


@pytest.mark.parametrize("field, value, expected", [
    ("surveyed_by", None, AGENCY), ("surveyed_by", "", ""), ("plan_layout_no", None, ""), ("address", None, ""),
])
async def test_deed_plan_defaults(world, field, value, expected):
    world.plots[1][field] = value
    await world.generator.generate_deedplan_html(42, "d", "f", "p", "c")
    token = {"plan_layout_no": "tracing_no"}.get(field, field)
    assert fields(world.renderer.html, DEED_TOKENS)[token] == expected


async def test_empty_schedule_gives_no_table(world):
    world.map_result = ("x", (1, 2), 1000, [])
    await world.generator.generate_siteplan_html(42)
    assert fields(world.renderer.html, SITE_TOKENS)["schedule_table"] == ""


async def test_missing_parcel_reads_the_template_and_renders_nothing(world):
    world.plots = []
    assert await world.generator.generate_deedplan_html(42, "d", "f", "p", "c") is None
    assert await world.generator.generate_siteplan_html(42) is None
    assert [e[0] for e in world.events] == ["open", "nearby", "open", "nearby"]
    assert world.renderer.calls == []


@pytest.mark.parametrize("case", ["no match", "no beacons"])
@pytest.mark.parametrize("document", ["deed", "site"])
async def test_index_errors(world, case, document):
    if case == "no match":
        world.plots = [entry(41)]
    else:
        world.plots[1]["boundary"] = []
    with pytest.raises(IndexError):
        if document == "deed":
            await world.generator.generate_deedplan_html(42, "d", "f", "p", "c")
        else:
            await world.generator.generate_siteplan_html(42)
    # the site plan looks for its parcel before drawing the map
    drawn = "generate_plot" in [e[0] for e in world.events]
    assert drawn == (document == "deed" or case == "no beacons")
    assert world.renderer.calls == []


@pytest.mark.parametrize("result, message", [
    (("x", (1, 2), 500), "not enough values to unpack (expected 4, got 3)"),
    (("x", (1, 2, 3), 500, []), "too many values to unpack (expected 2)"),
])
async def test_map_result_is_unpacked_strictly(world, result, message):
    world.map_result = result
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        await world.generator.generate_deedplan_html(42, "d", "f", "p", "c")


@pytest.mark.parametrize("name", ["district", "file_no", "person_name", "cadzone"])
@pytest.mark.parametrize("value", [None, 5, type("Sub", (str,), {})("x")])
def test_text_arguments_are_checked_before_anything_is_read(world, name, value):
    args = {"district": "d", "file_no": "f", "person_name": "p", "cadzone": "c", name: value}
    with pytest.raises(TypeError, match=rf"^Argument '{name}' has incorrect type \(expected str, got "
                                        rf"{type(value).__name__}\)$"):
        world.generator.generate_deedplan_html(42, **args)
    assert world.events == []


async def test_markup_in_every_field_is_escaped(world):
    attack = '<img src="file:///etc/passwd">&\''
    escaped = "&lt;img src=&quot;file:///etc/passwd&quot;&gt;&amp;&#x27;"
    plot = world.plots[1]
    plot.update(name=attack, surveyed_by=attack, plan_layout_no=attack, address=attack)
    plot["boundary"][0]["beacon_name"] = attack
    plot["boundary"][0]["geometry"]["coordinates"] = (attack, attack)
    world.map_result = ("aW1hZ2U=", (190, 160), attack,
                        [{"from": attack, "to": attack, "bearing": attack, "distance": attack}])
    await world.generator.generate_deedplan_html(42, attack, attack, attack, attack)
    html = world.renderer.html
    assert "<img" not in html and "<IMG" not in html
    values = fields(html, DEED_TOKENS)
    for token in DEED_TOKENS:
        if token in ("image", "width", "height", "date", "surveyor_general", "schedule_table"):
            continue
        assert values[token] in (escaped, html_escape(attack.upper())), token
    assert values["schedule_table"].count(escaped) == 4


async def test_long_schedule_continues_with_its_header(planwork, monkeypatch):
    """The real template and renderer: a schedule too long for the page goes on, headed again, on the next."""
    import base64

    from pypdf import PdfReader

    png = base64.b64encode(bytes.fromhex(
        "89504e470d0a1a0a0000000d4948445200000001000000010806000000"
        "1f15c4890000000d49444154789c6360f8ffff3f0005fe02fea7d6a4ee0000000049454e44ae426082")).decode()
    rows = [{"from": f"B{i}", "to": f"B{i + 1}", "bearing": "90° 0'", "distance": "10.00"} for i in range(90)]
    monkeypatch.setattr(planwork, "generate_plot", lambda *a, **k: (png, (190, 160), 500, rows))
    generator = planwork.PlanImageGenerator(object())

    async def nearby(session, plot_id):
        return {"plots": [entry(42)], "roads": None}

    generator.get_plot_with_nearby = nearby
    reader = PdfReader(await generator.generate_deedplan_html(42, "d", "f", "p", "c"))
    assert len(reader.pages) >= 2
    pages = [page.extract_text() for page in reader.pages]
    assert all("From To Bearing Dist(m)" in text for text in pages[:2])
    assert "B0 B1" in pages[0] and "B89 B90" in "".join(pages[1:])
