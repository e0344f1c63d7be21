"""Loading the module in a fresh interpreter, against a host that offers only its logger."""
from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parents[2]

HOST_LOGGER = textwrap.dedent("""
    class _Logger:
        def info(self, message):
            print("host log:", message)

    def get_logger(*args):
        assert not args
        return _Logger()
""")

PROBE = textwrap.dedent("""
    import warnings
    warnings.simplefilter("error")
    warnings.filterwarnings("ignore", message=r"The 'shapely.ops.transform\\(\\)'", category=DeprecationWarning)
    import matplotlib, pyproj
    import ravn.plots as p
    print([k for k in vars(p) if not k.startswith("__")])
    print(matplotlib.get_backend(), matplotlib.rcParams["font.family"], matplotlib.rcParams["font.serif"])
    print(p.SRC_CRS == pyproj.CRS("EPSG:3857"), p.DST_CRS == pyproj.CRS("EPSG:3857"), p.SRC_CRS is not p.DST_CRS)
    print(p.TRANSFORMER.transform(834000.5, 714000.25), p.plt is matplotlib.pyplot, p.mpl is matplotlib)
""")


def load(tmp_path, code, host=True):
    """Runs `code` with this tree's modules and, as the host, only what the test puts beside them."""
    package = tmp_path / "ravn"
    package.mkdir()
    (package / "__init__.py").write_text(f"__path__ = [{str(REPO_ROOT / 'api' / 'ravn')!r}]\n")
    if host:
        (tmp_path / "logger.py").write_text(HOST_LOGGER)
    env = dict(os.environ, PYTHONPATH=str(tmp_path), MPLBACKEND="svg")
    return subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=env, capture_output=True, text=True,
                          timeout=120)


def test_load_sequence(tmp_path):
    done = load(tmp_path, PROBE)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] == "host log: Loaded plots module"
    assert lines[1] == str(["io", "base64", "math", "np", "mpl", "plt", "patches", "Polygon", "LineString", "shape",
                            "transform", "Transformer", "CRS", "get_logger", "logger", "SRC_CRS", "DST_CRS",
                            "TRANSFORMER", "project_geometry", "get_recommended_scale", "add_north_arrow",
                            "add_scale_bar", "generate_plot"])
    assert lines[2] == "Agg ['serif'] ['Times New Roman', 'Liberation Serif', 'DejaVu Serif']"
    assert lines[3] == "True True True"
    assert lines[4] == "(834000.5, 714000.25) True True"


def test_serif_font_is_installed():
    from matplotlib import font_manager

    path = font_manager.findfont(font_manager.FontProperties(family=["Liberation Serif"]), fallback_to_default=False)
    assert "LiberationSerif" in path


def test_missing_host_logger_fails_the_load(tmp_path):
    done = load(tmp_path, "import ravn.plots", host=False)
    assert done.returncode != 0
    assert "ModuleNotFoundError: No module named 'logger'" in done.stderr
