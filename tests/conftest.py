"""Shared set-up: the modules and the real services. Import paths come from pytest's
`pythonpath` setting (pyproject.toml): the repository and the host folder."""
from __future__ import annotations

import os

import pytest

from tests.support import services as _services

# The host stand-ins read DATABASE_URL: every test talks to the test database.
os.environ.setdefault("DATABASE_URL", _services.database_url(test=True))

# Fixtures that start or reach PostgreSQL or Redis. A test using one belongs to the integration tier
# whether or not it says so: the fast tier runs before the services are started.
SERVICE_FIXTURES = frozenset({"services", "database_url", "private_pg", "redis_server"})


@pytest.hookimpl(tryfirst=True)  # before -m deselects
def pytest_collection_modifyitems(config, items):
    for item in items:
        if SERVICE_FIXTURES.intersection(getattr(item, "fixturenames", ())):
            item.add_marker(pytest.mark.integration)


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
