"""Generated requests for every route of the host application's OpenAPI document, against a
real server over the private services: no server error but the database-failure answers."""
from __future__ import annotations

import pytest
import schemathesis
from hypothesis import HealthCheck, settings

from tests.support.services import TemporaryRedis

from .conftest import Server, admin_headers

pytestmark = [pytest.mark.integration, pytest.mark.e2e]
# What a server may answer with 5xx: the database's own failure, or a dependency that is down.
DATABASE_FAILURES = {(500, "Database error"), (500, "Internal server error"), (503, None)}


@pytest.fixture(scope="module")
def fuzzed_server(private_pg):
    redis = TemporaryRedis().start()
    server = Server(private_pg, redis).start()
    yield server
    server.stop()
    log = server.log()
    server.close()
    redis.close()
    assert "Traceback" not in log, log[-4000:]


@pytest.fixture(scope="module")
def api_schema(fuzzed_server):
    return schemathesis.openapi.from_url(fuzzed_server.base + "/openapi.json")


schema = schemathesis.pytest.from_fixture("api_schema")


@schema.parametrize()
@settings(max_examples=40, deadline=None, suppress_health_check=list(HealthCheck))
def test_no_server_errors(case, fuzzed_server):
    response = case.call(base_url=fuzzed_server.base, headers=admin_headers(), timeout=40)
    if response.status_code >= 500:
        detail = response.json().get("detail") if "json" in response.headers.get("content-type", "") else None
        assert (response.status_code, detail) in DATABASE_FAILURES or (response.status_code, None) in \
            DATABASE_FAILURES, (f"{case.method} {case.formatted_path} {case.query}: "
                                f"{response.status_code} {response.text}")
