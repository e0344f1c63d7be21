"""Loading the module in a fresh interpreter, with the host stand-ins and variations of the map module."""
from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

REPO_ROOT = Path(__file__).resolve().parents[2]
API_DIR = REPO_ROOT / "api"

PROBE = textwrap.dedent("""
    import warnings
    warnings.simplefilter("error")
    import datetime, io, os, tempfile, aiofiles, pdfkit, weasyprint
    import ravn.planwork as p
    print([k for k in vars(p) if not k.startswith("__")])
    print(p.datetime is datetime.datetime, p.io is io, p.template == tempfile.template, p.aiofiles is aiofiles)
    print(p.pdfkit is pdfkit, p.HTML is weasyprint.HTML, p.os is os)
    print(p.project_root == os.path.dirname(os.path.dirname(os.path.abspath(p.__file__))))
    print(p.generate_plot.__module__)
""")


def run(tmp_path, code, helpers_plots=None):
    """Runs `code` with this tree's modules and the host stand-ins; `helpers_plots` is a host map module."""
    (tmp_path / "ravn").mkdir()
    (tmp_path / "ravn" / "__init__.py").write_text(f"__path__ = [{str(API_DIR / 'ravn')!r}]\n")
    if helpers_plots is not None:
        (tmp_path / "helpers").mkdir()
        (tmp_path / "helpers" / "__init__.py").write_text(f"__path__.append({str(API_DIR / 'helpers')!r})\n")
        (tmp_path / "helpers" / "plots.py").write_text(helpers_plots)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(tmp_path), str(API_DIR)]), MPLBACKEND="Agg")
    return subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=env, capture_output=True, text=True,
                          timeout=120)


def test_load_sequence(tmp_path):
    done = run(tmp_path, PROBE)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] == str(["datetime", "io", "template", "aiofiles", "from_shape", "to_shape", "pdfkit", "HTML",
                            "CSS", "AsyncBaseRepository", "PLOT", "BEACON", "BOUNDARY", "ROAD", "LandPurpose",
                            "AsyncSession", "ST_Intersects", "ST_Buffer", "ST_DWithin", "ST_Distance",
                            "generate_plot", "api_response", "api_router_response", "select", "os",
                            "format_date_html", "project_root", "PlanImageGenerator"])
    assert lines[1:4] == ["True True True True", "True True True", "True"]
    assert lines[4] == "ravn.plots"  # the host's helpers.plots has no generate_plot: our map module


def test_host_map_module_wins(tmp_path):
    done = run(tmp_path, PROBE, helpers_plots="def generate_plot(*a, **k):\n    return 'host'\n")
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[4] == "helpers.plots"


@pytest.mark.parametrize("source, error", [
    ("raise RuntimeError('broken host map')", "RuntimeError: broken host map"),
    ("import no_such_module_here", None),  # an ImportError: the fallback takes over
])
def test_only_an_import_error_falls_back(tmp_path, source, error):
    done = run(tmp_path, "import ravn.planwork as p; print(p.generate_plot.__module__)", helpers_plots=source)
    if error:
        assert done.returncode != 0 and error in done.stderr
    else:
        assert done.returncode == 0, done.stderr
        assert done.stdout.strip() == "ravn.plots"


def test_missing_pdfkit_fails_the_load(tmp_path):
    (tmp_path / "pdfkit.py").write_text("raise ImportError('No module named pdfkit')\n")
    done = run(tmp_path, "import ravn.planwork")
    assert done.returncode != 0 and "ImportError: No module named pdfkit" in done.stderr
