"""The edges of the coroutine protocol, side by side with the same code written in Python."""
from __future__ import annotations

import asyncio
import inspect
import types

import _rtprobe as rtp
import pytest

from tests.runtime.awaitables import Suspend


async def native_await_value(awaitable):
    return await awaitable


async def native_replace_error(awaitable, replacement):
    try:
        return await awaitable
    except BaseException:
        raise replacement  # noqa: B904 - the implicit context is what is compared


async def native_yield_then_replace(replacement):
    try:
        yield None
    except BaseException:
        raise replacement  # noqa: B904 - the implicit context is what is compared


def both(cxx, native):
    return pytest.mark.parametrize("impl", [cxx, native], ids=["cxx", "python"])


def finished(impl):
    coroutine = impl(Suspend())
    coroutine.send(None)
    with pytest.raises(StopIteration):
        coroutine.send(None)
    return coroutine


@both(rtp.await_value, native_await_value)
@pytest.mark.parametrize("resume", [
    lambda c: c.send(None),
    lambda c: c.throw(ValueError("late")),
    lambda c: c.throw(ValueError),
])
def test_a_finished_coroutine_cannot_be_resumed(impl, resume):
    coroutine = finished(impl)
    with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
        resume(coroutine)
    assert coroutine.close() is None


@both(rtp.await_value, native_await_value)
async def test_second_awaiter_is_refused_at_once(impl):
    loop = asyncio.get_running_loop()
    future = loop.create_future()
    shared = impl(future)
    first = asyncio.ensure_future(shared)
    await asyncio.sleep(0)  # the first task now drives it

    async def second():
        return await shared

    # At once: a second driver would wait on the same future (bounded here, so a regression fails, not hangs).
    with pytest.raises(RuntimeError, match="^coroutine is being awaited already$"):
        await asyncio.wait_for(second(), 1)
    # A C++ awaiter is refused the same way.
    with pytest.raises(RuntimeError, match="^coroutine is being awaited already$"):
        await asyncio.wait_for(rtp.await_value(shared), 1)
    future.set_result("only once")
    assert await first == "only once"


@both(rtp.await_value, native_await_value)
async def test_cxx_awaiting_a_coroutine_driven_elsewhere_is_refused(impl):
    future = asyncio.get_running_loop().create_future()
    inner = native_await_value(future)
    first = asyncio.ensure_future(impl(inner))
    await asyncio.sleep(0)
    with pytest.raises(RuntimeError, match="^coroutine is being awaited already$"):
        await asyncio.wait_for(impl(inner), 1)
    future.set_result(1)
    assert await first == 1


@both(rtp.replace_error, native_replace_error)
def test_stop_iteration_raised_during_close_becomes_runtime_error(impl):
    coroutine = impl(Suspend(), StopIteration("from the body"))
    coroutine.send(None)
    with pytest.raises(RuntimeError, match="^coroutine raised StopIteration$") as info:
        coroutine.close()
    assert isinstance(info.value.__cause__, StopIteration)


@both(rtp.replace_error, native_replace_error)
def test_other_errors_during_close_propagate(impl):
    coroutine = impl(Suspend(), OSError("closing failed"))
    coroutine.send(None)
    with pytest.raises(OSError, match="closing failed"):
        coroutine.close()


@both(rtp.yield_then_replace, native_yield_then_replace)
@pytest.mark.parametrize("replacement, message", [
    (StopIteration("s"), "async generator raised StopIteration"),
    (StopAsyncIteration("s"), "async generator raised StopAsyncIteration"),
])
def test_stop_raised_during_aclose_becomes_runtime_error(impl, replacement, message):
    generator = impl(replacement)
    with pytest.raises(StopIteration):
        generator.__anext__().send(None)
    with pytest.raises(RuntimeError, match=f"^{message}$"):
        generator.aclose().send(None)


@both(rtp.await_value, native_await_value)
def test_coroutine_names_are_strings_only(impl):
    coroutine = impl(Suspend())
    coroutine.__qualname__ = "renamed"
    assert "renamed" in repr(coroutine)
    for attribute in ("__name__", "__qualname__"):
        with pytest.raises(TypeError, match=f"^{attribute} must be set to a string object$"):
            setattr(coroutine, attribute, 1)
        with pytest.raises(TypeError, match=f"^{attribute} must be set to a string object$"):
            delattr(coroutine, attribute)
    coroutine.close()


class Inspect:
    """An awaitable that records the state of the coroutine awaiting it, then suspends once."""

    def __init__(self):
        self.coroutine = None
        self.seen = []

    def __await__(self):
        self.seen.append(inspect.getcoroutinestate(self.coroutine))
        yield
        self.seen.append(inspect.getcoroutinestate(self.coroutine))


@both(rtp.await_value, native_await_value)
def test_getcoroutinestate_follows_the_coroutine(impl):
    probe = Inspect()
    coroutine = probe.coroutine = impl(probe)
    states = [inspect.getcoroutinestate(coroutine)]
    frame = coroutine.cr_frame
    coroutine.send(None)
    states.append(inspect.getcoroutinestate(coroutine))
    with pytest.raises(StopIteration):
        coroutine.send(None)
    states.append(inspect.getcoroutinestate(coroutine))
    assert states == [inspect.CORO_CREATED, inspect.CORO_SUSPENDED, inspect.CORO_CLOSED]
    assert probe.seen == [inspect.CORO_RUNNING, inspect.CORO_RUNNING]
    assert isinstance(frame, types.FrameType) and isinstance(frame.f_lineno, int)
    assert frame.f_code.co_name == coroutine.__name__
    assert coroutine.cr_frame is None


@both(rtp.await_value, native_await_value)
def test_closed_before_it_ran_is_closed(impl):
    coroutine = impl(Suspend())
    coroutine.close()
    assert inspect.getcoroutinestate(coroutine) == inspect.CORO_CLOSED


@both(rtp.await_value, native_await_value)
async def test_a_task_of_it_has_a_repr(impl):
    task = asyncio.get_running_loop().create_task(impl(asyncio.sleep(0, "done")))
    assert "await_value" in repr(task)
    assert await task == "done"
    assert "await_value" in repr(task)
