"""Plan downloads as the registry runs them: staff token, plans per client per
minute, a bounded queue, and the issue log that can vouch for a PDF later."""
from __future__ import annotations

import asyncio
import hashlib
import os
import re
import signal
import time

import httpx
import pytest

from tests.fakes import FakeRedis
from tests.support.sql import sql

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


async def get(main, path, headers=STAFF, params=None):
    transport = httpx.ASGITransport(app=main.app, client=("10.20.30.40", 5000))
    async with httpx.AsyncClient(transport=transport, base_url="http://registry") as client:
        return await client.get(path, headers=headers, params=params, timeout=60)


async def test_plans_need_the_staff_token(app, monkeypatch):
    main, _ = app
    for headers in ({}, {"Authorization": "Bearer nope"}):
        refused = await get(main, "/plans/5/siteplan.pdf", headers)
        assert refused.status_code == 401 and refused.json() == {"detail": "Plan downloads needs a valid bearer token"}
    monkeypatch.setenv("PLAN_TOKEN", "")
    closed = await get(main, "/plans/5/siteplan.pdf")
    assert closed.status_code == 401
    assert closed.json() == {"detail": "Plan downloads is disabled: no PLAN_TOKEN is configured"}


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
    # One plan counted against the plan rate; the lookups have a rate of their own.
    assert redis.store["rate_limit:plans:10.20.30.40"] == 1 and redis.ttls["rate_limit:plans:10.20.30.40"] == 60
    assert redis.ttls["rate_limit:issued:10.20.30.40"] == 60


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


# --- the register lookup and the plan gate ---------------------------------------------------

LOOKUP = "/plans/issued/" + "0" * 64


async def test_register_lookup_needs_no_token_and_stays_out_of_the_drawing_queue(app, monkeypatch):
    main, redis = app
    monkeypatch.setenv("PLAN_QUEUE_LIMIT", "0")  # every drawing slot taken
    monkeypatch.setenv("PLAN_RATE_PER_MINUTE", "1")
    monkeypatch.setenv("ISSUED_RATE_PER_MINUTE", "3")
    codes = [(await get(main, LOOKUP, headers={})).status_code for _ in range(4)]
    assert codes == [404, 404, 404, 429]
    assert "rate_limit:plans:10.20.30.40" not in redis.store


async def test_a_plan_the_queue_refuses_is_not_counted(app, monkeypatch):
    main, redis = app
    monkeypatch.setenv("PLAN_QUEUE_LIMIT", "0")
    for _ in range(3):
        assert (await get(main, "/plans/5/siteplan.pdf")).status_code == 503
    assert "rate_limit:plans:10.20.30.40" not in redis.store


@pytest.fixture
def real_redis(app, tessera, monkeypatch):
    """A redis-server of the test's own behind the host's limiters, with a short socket time-out."""
    import redis.asyncio

    from tests.support.services import TemporaryRedis

    server = TemporaryRedis().start()
    client = redis.asyncio.Redis(host=server.host, port=server.port, socket_timeout=1)
    monkeypatch.setattr(tessera, "redis_client", client)
    yield server
    server.close()


@pytest.mark.parametrize("path", ["/plans/5/siteplan.pdf", LOOKUP])
async def test_a_redis_stall_leaves_every_counter_with_a_lifetime(app, real_redis, path):
    """A count sent to a frozen Redis runs when it thaws, after the host gave up on it."""
    import redis

    main, _ = app
    import ravn.tessera

    await ravn.tessera.redis_client.ping()  # connected, as a serving worker is
    os.kill(real_redis._proc.pid, signal.SIGSTOP)
    try:
        stalled = await get(main, path)
    finally:
        os.kill(real_redis._proc.pid, signal.SIGCONT)
    assert stalled.status_code in (200, 404)  # a cache stall lets the request through
    checker = redis.Redis(host=real_redis.host, port=real_redis.port)
    try:
        deadline = time.monotonic() + 5
        while not checker.keys("rate_limit:*") and time.monotonic() < deadline:
            time.sleep(0.05)
        keys = checker.keys("rate_limit:*")
        assert keys and all(checker.ttl(key) > 0 for key in keys), {k: checker.ttl(k) for k in keys}
    finally:
        checker.close()


# --- parcel ids and deed particulars, refused before anything is drawn ------------------------

@pytest.fixture
def nothing_drawn(app, monkeypatch):
    main, _ = app
    from service.plans import routes as plans

    async def refuse(*args):
        raise AssertionError("a plan was drawn for a request that should have been refused")

    monkeypatch.setattr(plans.renderer, "render", refuse)
    return main


@pytest.mark.parametrize("document", ["siteplan.pdf", "deedplan.pdf"])
@pytest.mark.parametrize("plot_id,status", [
    ("2147483648", 404), (str(2**63), 404), ("1" + "0" * 40, 404), ("9" * 5000, 404),
    ("1_0", 422), ("+1", 422), ("-1", 422), ("5.0", 422), ("\u0665", 422), ("0x5", 422),
])
async def test_parcel_ids_outside_the_register_or_not_decimal(nothing_drawn, document, plot_id, status):
    answer = await get(nothing_drawn, f"/plans/{plot_id}/{document}",
                       params={"person_name": "A", "district": "D", "cadzone": "C", "file_no": "F"})
    assert answer.status_code == status, answer.text


@pytest.mark.parametrize("field,value", [
    ("person_name", "Ada\x00eze"), ("district", "Zan\tijo"), ("cadzone", "A01\n"), ("file_no", "res\x1b/1"),
    ("person_name", "Ada\x85eze"), ("file_no", "res/1\x7f"),
])
async def test_control_characters_in_deed_fields(nothing_drawn, field, value):
    params = {"person_name": "Adaeze Okafor", "district": "District", "cadzone": "Z01", "file_no": "res/1/2"}
    answer = await get(nothing_drawn, "/plans/5/deedplan.pdf", params=dict(params, **{field: value}))
    assert answer.status_code == 422 and field in answer.json()["detail"]


# --- the recorded zone and district ----------------------------------------------------------

PLACE = ('SELECT z."name", d."name" FROM "GIS"."PLOT" p JOIN "GIS"."CadZones" z ON z."name" = p."CADZONE" '
         'JOIN "GIS"."Districts" d ON d."id" = z."district_id" WHERE p."ID" = :id')


@pytest.fixture
def zoneless(services, database_url):
    """A copy of parcel 5 without a cadastral zone, under a free id."""
    ((plot_id,),) = sql(database_url, 'SELECT max("ID") + 2000 FROM "GIS"."PLOT"')
    sql(database_url, 'INSERT INTO "GIS"."PLOT" SELECT :id, "PLOT_NO", "STATUS", "AREA_SYSTEM", "GENERAL_LU", NULL, '
        '"DETAIL_LU", "file_no", "ADDRESS", "SURVEYED_BY", "PLAN_LAYOUT_NO", "GEOMETRY" FROM "GIS"."PLOT" '
        'WHERE "ID" = 5', id=plot_id)
    yield plot_id
    sql(database_url, 'DELETE FROM "GIS"."PLOT" WHERE "ID" = :id', id=plot_id)


async def test_deed_plans_certify_only_the_recorded_zone_and_district(nothing_drawn, database_url, zoneless):
    ((zone, district),) = await asyncio.to_thread(sql, database_url, PLACE, id=5)
    right = {"person_name": "Adaeze Okafor", "district": district, "cadzone": zone, "file_no": "res/1/2"}
    for wrong in ({"district": "Nowhere"}, {"cadzone": zone + "9"}):
        answer = await get(nothing_drawn, "/plans/5/deedplan.pdf", params=dict(right, **wrong))
        assert answer.status_code == 422
        assert zone in answer.json()["detail"] and district in answer.json()["detail"]
    answer = await get(nothing_drawn, f"/plans/{zoneless}/deedplan.pdf", params=right)
    assert answer.status_code == 422 and "no recorded cadastral zone" in answer.json()["detail"]


async def test_a_zone_name_shared_by_two_districts_resolves_to_the_parcels_own(services, database_url):
    """Nothing makes a zone's name unique; the parcel's zone is the one that holds it."""
    from sqlalchemy import text
    from sqlalchemy.ext.asyncio import create_async_engine

    from service.plans.place import recorded_place

    engine = create_async_engine(database_url)
    try:
        async with engine.connect() as conn:
            own = await recorded_place(conn, 5)
            try:  # all in the connection's one transaction, rolled back
                # The namesake is stored before the parcel's own zone (the update moves that row
                # to the end of the table): a name-only lookup finds the namesake first. It takes
                # another zone's ground, so the spatial indexes' extents stay as they are.
                await conn.execute(text(
                    "INSERT INTO \"GIS\".\"Districts\" SELECT max(\"id\") + 1, 'Namesake', min(\"lga_id\"), "
                    '(SELECT "geometry" FROM "GIS"."Districts" ORDER BY "id" LIMIT 1) FROM "GIS"."Districts"'))
                await conn.execute(text(
                    'INSERT INTO "GIS"."CadZones" SELECT (SELECT max("id") + 1 FROM "GIS"."CadZones"), :zone, '
                    '(SELECT max("id") FROM "GIS"."Districts"), "geometry" FROM "GIS"."CadZones" '
                    'WHERE "name" <> :zone ORDER BY "id" LIMIT 1'), {"zone": own["cadzone"]})
                await conn.execute(text('UPDATE "GIS"."CadZones" SET "name" = "name" WHERE "name" = :zone '
                                        'AND "district_id" <> (SELECT max("id") FROM "GIS"."Districts")'),
                                   {"zone": own["cadzone"]})
                assert await recorded_place(conn, 5) == own
            finally:
                await conn.rollback()
    finally:
        await engine.dispose()


# --- the register under a lock ----------------------------------------------------------------

async def test_a_locked_register_withholds_the_plan_at_once(app, database_url):
    from sqlalchemy import text
    from sqlalchemy.ext.asyncio import create_async_engine

    main, _ = app
    assert (await get(main, "/plans/5/siteplan.pdf")).status_code == 200  # the register exists
    engine = create_async_engine(database_url)
    try:
        async with engine.connect() as conn:
            transaction = await conn.begin()
            await conn.execute(text("LOCK TABLE registry.plan_issues IN ACCESS EXCLUSIVE MODE"))
            try:
                withheld = await asyncio.wait_for(get(main, "/plans/5/siteplan.pdf"), timeout=45)
            finally:
                await transaction.rollback()
    finally:
        await engine.dispose()
    assert withheld.status_code == 503 and withheld.headers["retry-after"]
    assert withheld.headers["content-type"] == "application/json"


# --- what the map module prints ---------------------------------------------------------------

async def test_the_drawing_process_logs_the_map_scale_instead_of_printing_it(app, capfd):
    main, _ = app
    assert (await get(main, "/plans/5/siteplan.pdf")).status_code == 200
    main.plan_renderer.shutdown()  # its output is all written
    out, err = capfd.readouterr()
    assert not [line for line in out.splitlines() if line.strip().isdigit()], out
    assert re.search(r"map scale 1:\d+$", err, re.MULTILINE), err
