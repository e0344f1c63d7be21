"""The runtime's probe module: C++ building blocks of the shared runtime, built into tests/native."""
from __future__ import annotations

import sys
from pathlib import Path

NATIVE_DIR = Path(__file__).resolve().parents[1] / "native"
if str(NATIVE_DIR) not in sys.path:
    sys.path.insert(0, str(NATIVE_DIR))

import _rtprobe  # noqa: E402,F401  (a missing build fails here, once, not in every test)
