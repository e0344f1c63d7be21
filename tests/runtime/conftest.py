"""The runtime's probe module: C++ building blocks of the shared runtime, built into tests/native."""
from __future__ import annotations

import _rtprobe  # noqa: F401  (a missing build fails here, once, not in every test)
