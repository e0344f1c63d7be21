"""db_transaction: commit, or roll back and re-raise; always close."""
from __future__ import annotations

import asyncio
import contextlib
import inspect

import pytest

from tests.fakes import FakeSession


def test_is_an_async_generator_wrapped_by_asynccontextmanager(tessera):
    wrapped = tessera.db_transaction.__wrapped__
    assert inspect.isfunction(tessera.db_transaction)
    assert tessera.db_transaction.__doc__ == "Context manager for database transactions with proper cleanup."
    assert str(inspect.signature(wrapped)) == "(db: sqlalchemy.ext.asyncio.session.AsyncSession)"
    manager = tessera.db_transaction(FakeSession())
    assert isinstance(manager, contextlib.AbstractAsyncContextManager)


async def test_commit_then_close(tessera):
    session = FakeSession()
    async with tessera.db_transaction(session) as db:
        assert db is session
        session.events.append("body")
    assert session.events == ["body", "commit", "close"]


async def test_exception_rolls_back_and_is_reraised_unchanged(tessera):
    session = FakeSession()
    error = asyncio.TimeoutError()
    with pytest.raises(asyncio.TimeoutError) as caught:
        async with tessera.db_transaction(session):
            raise error
    assert caught.value is error and session.events == ["rollback", "close"]


async def test_failed_commit_rolls_back(tessera):
    session = FakeSession()

    async def commit():
        raise RuntimeError("commit failed")

    session.commit = commit
    with pytest.raises(RuntimeError, match="commit failed"):
        async with tessera.db_transaction(session):
            pass
    assert session.events == ["rollback", "close"]


async def test_cancellation_skips_the_rollback(tessera):
    session = FakeSession()
    started = asyncio.Event()

    async def body():
        async with tessera.db_transaction(session):
            started.set()
            await asyncio.sleep(10)

    task = asyncio.create_task(body())
    await started.wait()
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert session.events == ["close"]


async def test_clean_up_errors_replace_the_original(tessera):
    session = FakeSession()

    async def close():
        raise OSError("close failed")

    session.close = close
    with pytest.raises(OSError, match="close failed") as caught:
        async with tessera.db_transaction(session):
            raise ValueError("body")
    assert isinstance(caught.value.__context__, ValueError)
    assert session.events == ["rollback"]
