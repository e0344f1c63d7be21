"""`plan`: bad input answered in one line before anything is drawn, and no register row
for a file that was not written."""
from __future__ import annotations

import asyncio
import datetime
import re
import zoneinfo

import pytest
from dotenv import dotenv_values

from tests.support.services import REPO_ROOT
from tests.support.sql import sql

from .conftest import cli

pytestmark = [pytest.mark.integration, pytest.mark.e2e]


@pytest.fixture(scope="module")
def env(services, database_url):
    return {"DATABASE_URL": database_url}


def issue_rows(database_url) -> int:
    if sql(database_url, "SELECT to_regclass('registry.plan_issues')") == [(None,)]:
        return 0
    return sql(database_url, "SELECT count(*) FROM registry.plan_issues")[0][0]


def one_line_error(done, status):
    assert done.returncode == status, done.stderr
    lines = done.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("error: "), done.stderr
    assert "Traceback" not in done.stderr and done.stdout == ""
    return lines[0]


@pytest.mark.parametrize("target,message", [
    ("/no/such/dir/x.pdf", "no such folder"),
    ("{tmp}", "is a directory"),
    ("/proc/x.pdf", "cannot write"),
])
def test_unusable_output_is_refused_before_drawing(env, database_url, tmp_path, target, message):
    before = issue_rows(database_url)
    done = cli(env, "plan", "site", "--parcel", "3", "-o", target.format(tmp=tmp_path), check=False)
    assert message in one_line_error(done, 1)
    assert issue_rows(database_url) == before


@pytest.mark.parametrize("parcel,status", [("2147483648", 1), (str(10**40), 1), ("1_0", 2), ("+1", 2), ("-3", 2)])
def test_parcel_ids(env, tmp_path, parcel, status):
    done = cli(env, "plan", "site", "--parcel", parcel, "-o", str(tmp_path / "x.pdf"), check=False)
    one_line_error(done, status)
    assert list(tmp_path.iterdir()) == []


def test_existing_outputs_and_links_are_replaced_only_with_force(env, tmp_path):
    victim = tmp_path / "victim.txt"
    victim.write_text("not a plan")
    link = tmp_path / "link.pdf"
    link.symlink_to(victim)
    existing = tmp_path / "old.pdf"
    existing.write_bytes(b"an older plan")
    for target in (link, existing):
        assert "already exists" in one_line_error(cli(env, "plan", "site", "--parcel", "3", "-o", str(target),
                                                      check=False), 1)
    assert victim.read_text() == "not a plan" and existing.read_bytes() == b"an older plan"

    done = cli(env, "plan", "site", "--parcel", "3", "-o", str(link), "--force")
    assert not link.is_symlink() and link.read_bytes().startswith(b"%PDF")
    assert victim.read_text() == "not a plan"
    # What the map module prints is logged with its meaning; the output is the result alone.
    assert done.stdout.splitlines() == [f"{link}: site plan of parcel 3, {link.stat().st_size} bytes"]
    assert re.search(r"map scale 1:\d+$", done.stderr, re.MULTILINE), done.stderr
    # Every log line of the run is in the registry's time zone.
    zone = zoneinfo.ZoneInfo(dotenv_values(REPO_ROOT / "services.env")["TZ"])
    now = datetime.datetime.now(zone).replace(tzinfo=None)
    stamps = re.findall(r"^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)", done.stderr, re.MULTILINE)
    assert stamps
    for stamp in stamps:
        assert abs(datetime.datetime.fromisoformat(stamp) - now) < datetime.timedelta(minutes=10), done.stderr


def test_a_plan_the_register_cannot_take_leaves_no_file(env, database_url, tmp_path):
    from sqlalchemy import text
    from sqlalchemy.ext.asyncio import create_async_engine

    from service.plans import issue_log

    target = tmp_path / "plan.pdf"

    async def with_register_locked():
        engine = create_async_engine(database_url)
        try:
            async with engine.connect() as conn:
                for statement in issue_log.SCHEMA:
                    await conn.execute(text(statement))
                await conn.commit()
                transaction = await conn.begin()
                await conn.execute(text("LOCK TABLE registry.plan_issues IN ACCESS EXCLUSIVE MODE"))
                try:
                    return await asyncio.to_thread(cli, env, "plan", "site", "--parcel", "3", "-o", str(target),
                                                   check=False)
                finally:
                    await transaction.rollback()
        finally:
            await engine.dispose()

    done = asyncio.run(with_register_locked())
    assert done.returncode == 1 and "could not be recorded" in done.stderr, done.stderr
    assert "Traceback" not in done.stderr
    assert list(tmp_path.iterdir()) == []

