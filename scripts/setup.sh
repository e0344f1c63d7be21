#!/usr/bin/env bash
# Installs what the modules, the host application and the tests need, and
# builds the three modules in place (api/ravn). Idempotent.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/services.sh install
python3 -m pip install --quiet --disable-pip-version-check --root-user-action=ignore -r requirements.txt

echo "==> building the native modules" >&2
python3 - <<'PY'
import os, pathlib, site, subprocess, sys
import pybind11
root = pathlib.Path.cwd()
subprocess.run(["cmake", "-S", ".", "-B", "build/dev", "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                f"-Dpybind11_DIR={pybind11.get_cmake_dir()}", f"-DPython_EXECUTABLE={sys.executable}"],
               check=True, stdout=subprocess.DEVNULL)
subprocess.run(["cmake", "--build", "build/dev"], check=True)
# Development install: `import ravn.tessera` from anywhere loads the in-place modules
# (their __file__ stays in api/ravn, next to the host's templates), while the host
# application's own modules stay off the import path.
package = root / "api" / "ravn"
target = pathlib.Path(site.getsitepackages()[0]) / "ravn"
target.mkdir(exist_ok=True)
(target / "__init__.py").write_text(
    '"""Development install of ravn: the package lives in the host application\'s folder."""\n'
    f"__path__ = [{str(package)!r}]\n"
)
PY
# The map's glyphs (build/glyphs): ranges already written are kept, so a rerun takes no time.
python3 api/service/glyphs.py
echo "==> ready: modules in api/ravn" >&2
