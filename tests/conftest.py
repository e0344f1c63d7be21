"""Shared set-up: the host stand-ins first on sys.path, the modules, the real services."""
from __future__ import annotations

import os
import sys
from pathlib import Path

import pytest

REPO_ROOT = Path(__file__).resolve().parents[1]
API_DIR = REPO_ROOT / "api"
for path in (str(REPO_ROOT), str(API_DIR)):
    if path not in sys.path:
        sys.path.insert(0, path)

from tests.support import services as _services  # noqa: E402

# The host stand-ins read DATABASE_URL: every test talks to the test database.
os.environ.setdefault("DATABASE_URL", _services.database_url(test=True))


@pytest.fixture(scope="session")
def tessera():
    """The tile router module, imported once (an extension module cannot be reloaded)."""
    import ravn.tessera as module

    return module


@pytest.fixture(scope="session")
def services():
    """Local PostgreSQL/PostGIS and Redis, running, with the small sample dataset loaded."""
    _services.ensure_services()
    _services.load_test_dataset()
    return _services.settings()


@pytest.fixture(scope="session")
def database_url(services):
    return _services.database_url(test=True)
