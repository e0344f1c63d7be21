"""The wheel as a newcomer gets it: built with pip, installed into a fresh virtual
environment, and used there by a host of this test's own."""
from __future__ import annotations

import os
import subprocess
import sys
import textwrap
import zipfile
from pathlib import Path

import pytest

REPO_ROOT = Path(__file__).resolve().parents[1]

pytestmark = pytest.mark.integration

HOST = {
    "database.py": "async def get_db():\n    yield None\n",
    "logger.py": "import logging\n\ndef get_logger():\n    return logging.getLogger('host')\n",
    "helpers/__init__.py": "",
    "helpers/responses.py": "def api_response(**kw):\n    return kw\n\ndef api_router_response(r):\n    return r\n",
    "helpers/utils.py": textwrap.dedent("""\
        def latlon_to_xyz(lat, lon, zoom):
            return {"z": zoom, "x": 0, "y": 0}

        def xyz_to_bbox_web_mercator(z, x, y):
            return {"minx": 0.0, "miny": 0.0, "maxx": 1.0, "maxy": 1.0}

        def format_date_html(dt):
            return dt.strftime("%d %B %Y")
        """),
    "models/__init__.py": "",
    "models/gis_model.py": textwrap.dedent("""\
        from sqlalchemy import Integer, String
        from sqlalchemy.orm import DeclarativeBase, mapped_column

        class Base(DeclarativeBase):
            pass

        def _table(name, **columns):
            return type(name, (Base,), {"__tablename__": name.lower(), "id": mapped_column(Integer, primary_key=True),
                                        **{k: mapped_column(String) for k in columns}})

        PLOT = _table("PLOT", geometry=1)
        BEACON = _table("BEACON", geometry=1)
        BOUNDARY = _table("BOUNDARY", plotid=1)
        ROAD = _table("ROAD", geometry=1)
        """),
    "models/landuse_model.py": "from models.gis_model import _table\n\nLandPurpose = _table('LandPurpose')\n",
    "repository/__init__.py": "",
    "repository/repository.py": textwrap.dedent("""\
        class AsyncBaseRepository:
            def __init__(self, db, model):
                self.db, self.model = db, model
        """),
}

# Runs inside the virtual environment, from the host's folder.
EXERCISE = textwrap.dedent("""\
    import asyncio, io, sys
    from fastapi import FastAPI
    from fastapi.testclient import TestClient
    from pypdf import PdfReader
    import ravn.planwork as planwork, ravn.plots as plots, ravn.tessera as tessera

    for module in (tessera, plots, planwork):
        print("module", module.__file__)
    print("project_root", planwork.project_root)

    app = FastAPI()
    app.include_router(tessera.tesseraApi)
    print("layers", sorted(TestClient(app).get("/gis/layers/").json()["data"]["layers"]))
    print("tier", tessera.get_zoom_config(3, "plots"), tessera.get_zoom_config(16, "plots") is not None)

    ring = [(834900.0, 714000.0), (834930.0, 714000.0), (834930.0, 714025.0), (834900.0, 714025.0)]
    boundary = [{"beacon_id": i, "beacon_name": f"B{i}", "geometry": {"type": "Point", "coordinates": ring[i]},
                 "distance_to_next": 30.0 if i % 2 == 0 else 25.0, "bearing_to_next": "90°0'",
                 "bearing_deg_to_next": "90°", "bearing_min_to_next": "0'"} for i in range(4)]
    plot = {"id": 1, "name": "PLOT 7", "area": 750.0, "file_no": "F/1",
            "geometry": {"type": "Polygon", "coordinates": [ring + ring[:1]]}, "boundary": boundary,
            "surveyed_by": "Surveyor", "address": "1 ROAD", "plan_layout_no": "L1"}

    async def nearby(db, plot_id):
        return {"plots": [plot], "roads": None}

    generator = planwork.PlanImageGenerator(None)
    generator.get_plot_with_nearby = nearby
    pdf = asyncio.run(generator.generate_deedplan_html(1, "North District", "F/77", "Ada Person", "Zone A"))
    text = "".join(page.extract_text() for page in PdfReader(pdf).pages).upper().replace(" ", "").replace("\\n", "")
    print("pdf", pdf.getvalue()[:5], "ADAPERSON" in text, "F/77" in text)
    """)


def run(*args, **kw) -> subprocess.CompletedProcess:
    done = subprocess.run([str(a) for a in args], capture_output=True, text=True, **kw)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    return done


def test_wheel_installs_into_a_fresh_environment_and_works_there(tmp_path):
    in_place = sorted((REPO_ROOT / "api" / "ravn").glob("*.so"))
    before = {p: p.stat().st_mtime_ns for p in in_place}
    # Build requirements come from requirements.txt: no isolated build environment, no network.
    run(sys.executable, "-m", "pip", "wheel", ".", "--no-deps", "--no-build-isolation", "-w", tmp_path / "dist",
        cwd=REPO_ROOT, timeout=1800)
    assert {p: p.stat().st_mtime_ns for p in in_place} == before, "the wheel build touched the in-place modules"

    (wheel,) = (tmp_path / "dist").glob("ravn-*.whl")
    names = set(zipfile.ZipFile(wheel).namelist())
    for module in ("tessera", "plots", "planwork"):
        assert f"ravn/{module}.pyi" in names
        assert any(n.startswith(f"ravn/{module}.cpython-311") and n.endswith(".so") for n in names), names
    assert {"ravn/__init__.py", "ravn/py.typed"} <= names

    venv = tmp_path / "venv"
    # The dependencies come from the system's site-packages; the venv's own ravn shadows the development one.
    run(sys.executable, "-m", "venv", "--system-site-packages", venv)
    python = venv / "bin" / "python"
    run(python, "-m", "pip", "install", "--no-deps", "--no-index", "--quiet", wheel, timeout=300)

    # planwork reads templates/ two directories above its module file: in a virtual
    # environment that is the site-packages folder.
    site = Path(run(python, "-c", "import sysconfig; print(sysconfig.get_path('purelib'))").stdout.strip())
    (site / "templates").mkdir()
    for name in ("deedplan.html", "siteplan.html"):
        (site / "templates" / name).write_text((REPO_ROOT / "api" / "templates" / name).read_text())

    host = tmp_path / "host"
    for name, text in HOST.items():
        (host / name).parent.mkdir(parents=True, exist_ok=True)
        (host / name).write_text(text)
    (host / "exercise.py").write_text(EXERCISE)
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "VIRTUAL_ENV")}
    done = run(python, "exercise.py", cwd=host, env=env, timeout=300)
    lines = {line.split(" ", 1)[0]: line.split(" ", 1)[1] for line in done.stdout.splitlines()
             if line.split(" ", 1)[0] in ("module", "project_root", "layers", "tier", "pdf")}
    out = done.stdout.splitlines()
    modules = [line.split(" ", 1)[1] for line in out if line.startswith("module ")]
    assert len(modules) == 3 and all(m.startswith(str(site / "ravn")) for m in modules), modules
    assert lines["project_root"] == str(site)
    assert lines["layers"] == str(sorted(["plots", "beacons", "cadzones", "districts", "lgas", "roads"]))
    assert lines["tier"] == "None True"
    assert lines["pdf"] == "b'%PDF-' True True"
