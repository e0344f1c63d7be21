"""The build takes CPython 3.11 only: CMake refuses another interpreter, and the
runtime's headers refuse another interpreter's headers."""
from __future__ import annotations

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
# The compiler and CMake are not instrumented: no sanitizer runtime preloaded into them.
ENV = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}


@pytest.mark.skipif(not shutil.which("cmake"), reason="needs cmake")
@pytest.mark.parametrize("version, accepted", [("3.10.13", False), ("3.11.0", True), ("3.11.7", True),
                                               ("3.12.0", False), ("3.110.1", False)])
def test_configure_refuses_another_python(version, accepted):
    done = subprocess.run(["cmake", f"-DPython_VERSION={version}", "-P",
                           str(ROOT / "runtime" / "cmake" / "require_cpython_311.cmake")],
                          capture_output=True, text=True, env=ENV, timeout=60)
    assert (done.returncode == 0) == accepted, done.stderr
    assert ("CPython 3.11 only" in done.stderr) != accepted


@pytest.mark.skipif(not shutil.which(os.environ.get("CXX", "g++")), reason="needs a C++ compiler")
@pytest.mark.parametrize("version_hex, accepted", [(0x030A0DF0, False), (0x030B00F0, True), (0x030B07F0, True),
                                                   (0x030C00F0, False)])
def test_runtime_headers_refuse_another_python(tmp_path, version_hex, accepted):
    # A patchlevel.h of another interpreter, found before the real one.
    (tmp_path / "patchlevel.h").write_text(f"#define PY_VERSION_HEX {version_hex:#x}\n")
    source = tmp_path / "uses_runtime.cpp"
    source.write_text('#include "ravn/python_version.hpp"\n')
    done = subprocess.run([os.environ.get("CXX", "g++"), "-E", f"-I{tmp_path}", f"-I{ROOT / 'runtime' / 'include'}",
                           str(source), "-o", os.devnull], capture_output=True, text=True, env=ENV, timeout=60)
    assert (done.returncode == 0) == accepted, done.stderr
    assert ("CPython 3.11 only" in done.stderr) != accepted
