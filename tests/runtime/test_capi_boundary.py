"""The runtime is the only code that knows how C++ meets Python: the module sources
speak the runtime's and pybind11's vocabulary, with no C-API call and no rt::detail.
(C-API types such as PyObject* and Py_ssize_t are allowed.)"""
from __future__ import annotations

import re
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
MODULE_SOURCES = ["api/routers/tessera", "api/services/planwork", "api/helpers/plots"]
FORBIDDEN = re.compile(r"\bPy[A-Za-z]*_[A-Za-z0-9]+\s*\(|rt::detail::")


def test_module_sources_make_no_c_api_calls():
    sources = [path for folder in MODULE_SOURCES for path in sorted((ROOT / folder).iterdir())
               if path.suffix in {".cpp", ".hpp", ".h"}]
    assert len(sources) > 20
    found = [f"{path.relative_to(ROOT)}:{number}: {line.strip()}"
             for path in sources for number, line in enumerate(path.read_text().splitlines(), 1)
             if FORBIDDEN.search(line)]
    assert found == []
