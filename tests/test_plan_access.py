"""Plan downloads as the registry runs them: staff token, plans per client per
minute, a bounded queue, and the issue log that can vouch for a PDF later."""
from __future__ import annotations

import hashlib

import httpx
import pytest

from tests.fakes import FakeRedis

pytestmark = pytest.mark.integration
TOKEN = "registry-staff-token"
STAFF = {"Authorization": f"Bearer {TOKEN}"}


@pytest.fixture
def app(services, tessera, monkeypatch):
    from service import app as main

    monkeypatch.setenv("PLAN_TOKEN", TOKEN)
    monkeypatch.setenv("PLAN_RATE_PER_MINUTE", "100")
    monkeypatch.setenv("PLAN_QUEUE_LIMIT", "4")
    redis = FakeRedis()
    monkeypatch.setattr(tessera, "redis_client", redis)
    yield main, redis
    # No server lifespan runs here to stop the drawing processes: stop them, or they outlive the test run.
    main.plan_renderer.shutdown()


async def get(main, path, headers=STAFF):
    transport = httpx.ASGITransport(app=main.app, client=("10.20.30.40", 5000))
    async with httpx.AsyncClient(transport=transport, base_url="http://registry") as client:
        return await client.get(path, headers=headers, timeout=60)


async def test_plans_need_the_staff_token(app, monkeypatch):
    main, _ = app
    for headers in ({}, {"Authorization": "Bearer nope"}):
        refused = await get(main, "/plans/5/siteplan.pdf", headers)
        assert refused.status_code == 401 and refused.json() == {"detail": "Plan downloads needs a valid bearer token"}
    monkeypatch.setenv("PLAN_TOKEN", "")
    closed = await get(main, "/plans/5/siteplan.pdf")
    assert closed.status_code == 401 and closed.json() == {"detail": "Plan downloads is disabled: no PLAN_TOKEN is configured"}


async def test_issued_plans_are_on_the_register(app):
    main, redis = app
    plan = await get(main, "/plans/5/siteplan.pdf")
    assert plan.status_code == 200
    sha256 = hashlib.sha256(plan.content).hexdigest()
    assert plan.headers["x-document-sha256"] == sha256
    answer = await get(main, f"/plans/issued/{sha256.upper()}")
    assert answer.status_code == 200
    last = answer.json()["issues"][-1]
    assert (last["client"], last["parcel_id"], last["document"], last["particulars"], last["bytes"]) == (
        "10.20.30.40", 5, "site", {}, len(plan.content))
    unknown = await get(main, "/plans/issued/" + "0" * 64)
    assert unknown.status_code == 404
    assert (await get(main, "/plans/issued/not-a-digest")).status_code == 422
    assert redis.store["rate_limit:plans:10.20.30.40"] == 4 and redis.ttls["rate_limit:plans:10.20.30.40"] == 60


async def test_a_plan_the_register_cannot_hold_is_not_handed_out(app, monkeypatch):
    main, _ = app
    from service.plans import issue_log

    async def broken(*args, **kwargs):
        raise ConnectionResetError("lost the database")

    monkeypatch.setattr(issue_log, "record", broken)
    withheld = await get(main, "/plans/5/siteplan.pdf")
    assert withheld.status_code == 503 and withheld.json() == {
        "detail": "The plan could not be recorded in the issue log"}


async def test_plans_per_minute_and_the_queue_are_bounded(app, monkeypatch):
    main, redis = app
    monkeypatch.setenv("PLAN_RATE_PER_MINUTE", "2")
    redis.store["rate_limit:plans:10.20.30.40"] = 2  # two plans this minute already
    refused = await get(main, "/plans/5/siteplan.pdf")
    assert refused.status_code == 429 and refused.headers["retry-after"] == "60"
    monkeypatch.setenv("PLAN_RATE_PER_MINUTE", "100")
    monkeypatch.setenv("PLAN_QUEUE_LIMIT", "0")
    busy = await get(main, "/plans/5/siteplan.pdf")
    assert busy.status_code == 503 and busy.json() == {"detail": "Too many plans in progress; try again shortly"}
    # A cache outage does not stop the registry's work.
    monkeypatch.setenv("PLAN_QUEUE_LIMIT", "4")
    redis.fail = ConnectionError("Redis down")
    assert (await get(main, "/plans/5/siteplan.pdf")).status_code == 200
