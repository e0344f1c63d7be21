"""Reference cycles through suspended or never-started C++ frames are collected,
and collecting a suspended frame runs its clean-up, as for Python coroutines."""
from __future__ import annotations

import asyncio
import gc
import weakref

import _rtprobe as rtp
import pytest

from tests.runtime.awaitables import Suspend


class Holder:
    """Something a frame owns that points back at the frame's coroutine."""


# The same frames written in Python, to check that both behave alike.
async def native_await_holding(keep, awaitable):
    await awaitable
    return keep


async def native_await_holding_local(box, awaitable, log):
    kept = box.pop()
    try:
        await awaitable
    except BaseException as exc:
        log.append(type(exc).__name__)
        raise
    finally:
        log.append("cleanup")
    return kept


async def native_yield_holding_local(box, log):
    kept = box.pop()
    try:
        yield kept
    finally:
        log.append("cleanup")


AWAIT_HOLDING = pytest.mark.parametrize("await_holding", [rtp.await_holding, native_await_holding],
                                        ids=["cxx", "python"])
async def native_await_helper_holding_local(box, awaitable, log):
    return await native_await_holding_local(box, awaitable, log)


AWAIT_HOLDING_LOCAL = pytest.mark.parametrize(
    "await_holding_local",
    [rtp.await_holding_local, rtp.await_helper_holding_local, native_await_holding_local,
     native_await_helper_holding_local],
    ids=["cxx", "cxx-helper-in-place", "python", "python-nested"])


def collected(ref):
    gc.collect()
    return ref() is None


@AWAIT_HOLDING
def test_cycle_through_a_parameter_of_a_suspended_frame(await_holding):
    holder = Holder()
    holder.coroutine = await_holding(holder, Suspend())
    holder.coroutine.send(None)
    ref = weakref.ref(holder)
    del holder
    assert collected(ref)


@AWAIT_HOLDING_LOCAL
def test_cycle_through_a_local_runs_the_frames_cleanup(await_holding_local):
    log = []
    holder = Holder()
    holder.coroutine = await_holding_local([holder], Suspend(), log)
    holder.coroutine.send(None)
    ref = weakref.ref(holder)
    del holder
    assert collected(ref)
    assert log == ["GeneratorExit", "cleanup"]


@AWAIT_HOLDING
def test_cycle_through_the_awaited_object(await_holding):
    class Waiting:
        def __await__(self):
            yield "waiting"

    waiting = Waiting()
    waiting.coroutine = await_holding(None, waiting)
    waiting.coroutine.send(None)
    ref = weakref.ref(waiting)
    del waiting
    assert collected(ref)


@AWAIT_HOLDING
def test_cycle_through_a_never_started_frame_warns_and_is_collected(await_holding):
    holder = Holder()
    holder.coroutine = await_holding(holder, Suspend())
    ref = weakref.ref(holder)
    del holder
    with pytest.warns(RuntimeWarning, match="was never awaited"):
        assert collected(ref)


def test_cycle_through_a_suspended_async_generator_runs_its_cleanup():
    def run(make):
        log = []
        holder = Holder()
        holder.generator = make([holder], log)
        with pytest.raises(StopIteration):
            holder.generator.__anext__().send(None)
        ref = weakref.ref(holder)
        del holder
        return collected(ref), log

    assert run(rtp.yield_holding_local) == run(native_yield_holding_local) == (True, ["cleanup"])


@AWAIT_HOLDING_LOCAL
def test_abandoned_task_and_its_future_are_collected(await_holding_local, caplog):
    log = []

    async def abandon():
        loop = asyncio.get_running_loop()
        future = loop.create_future()
        task = loop.create_task(await_holding_local([Holder()], future, log))
        await asyncio.sleep(0)  # the task now waits on the future
        return weakref.ref(task), weakref.ref(future)

    loop = asyncio.new_event_loop()
    try:
        task_ref, future_ref = loop.run_until_complete(abandon())
        assert collected(task_ref) and future_ref() is None
    finally:
        loop.close()
    assert log == ["GeneratorExit", "cleanup"]
    assert "Task was destroyed but it is pending!" in caplog.text


def test_a_frame_in_use_is_not_collected():
    holder = Holder()
    coroutine = rtp.await_holding_local([holder], Suspend(), [])
    coroutine.send(None)
    ref = weakref.ref(holder)
    del holder
    gc.collect()
    assert ref() is not None
    with pytest.raises(StopIteration) as done:
        coroutine.send(None)
    assert done.value.value is ref()
