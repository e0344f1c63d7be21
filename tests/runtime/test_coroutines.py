"""C++ coroutines as Python coroutines: asyncio interplay, cancellation, exceptions, driving by hand, leaks."""
from __future__ import annotations

import asyncio
import collections.abc
import gc
import inspect
import os
import sys
import traceback
import tracemalloc
import warnings
import weakref

import _rtprobe as rtp
import pytest

from tests.runtime.awaitables import Absorb, Suspend, drive, failing, note, park, passthrough


class TestAwaitingFromCxx:
    @pytest.mark.asyncio
    async def test_python_coroutine_result_is_the_same_object(self):
        value = object()
        assert await rtp.await_value(passthrough(value)) is value

    @pytest.mark.asyncio
    async def test_future_resolved_later_by_the_loop(self):
        loop = asyncio.get_running_loop()
        fut = loop.create_future()
        value = object()
        loop.call_later(0.01, fut.set_result, value)
        assert await rtp.await_value(fut) is value

    @pytest.mark.asyncio
    async def test_future_failing_raises_its_exception(self):
        loop = asyncio.get_running_loop()
        fut = loop.create_future()
        err = LookupError("gone")
        loop.call_soon(fut.set_exception, err)
        with pytest.raises(LookupError) as info:
            await rtp.await_value(fut)
        assert info.value is err

    @pytest.mark.asyncio
    async def test_asyncio_sleep_really_waits(self):
        loop = asyncio.get_running_loop()
        value = object()
        started = loop.time()
        assert await rtp.await_value(asyncio.sleep(0.02, value)) is value
        assert loop.time() - started >= 0.015

    @pytest.mark.asyncio
    async def test_several_awaits_in_sequence(self):
        loop = asyncio.get_running_loop()
        fut = loop.create_future()
        loop.call_soon(fut.set_result, "future")
        results = await rtp.await_all([passthrough(1), fut, asyncio.sleep(0, "slept"), Suspend()])
        assert results == [1, "future", "slept", None]

    @pytest.mark.asyncio
    async def test_nested_cxx_coroutines(self):
        value = object()
        assert await rtp.await_value(rtp.await_value(rtp.await_value(passthrough(value)))) is value

    @pytest.mark.asyncio
    async def test_cxx_helper_coroutine_awaited_from_cxx(self):
        log = []
        assert await rtp.await_helper(passthrough("inner"), log) == "inner"
        assert log == ["helper destructor", "helper returned", "caller destructor"]

    @pytest.mark.asyncio
    async def test_non_awaitable_raises_python_type_error(self):
        with pytest.raises(TypeError, match=r"^object int can't be used in 'await' expression$"):
            await rtp.await_value(5)


class TestAsyncioAcceptsIt:
    def test_recognised_as_a_coroutine(self):
        coro = rtp.await_value(Suspend())
        try:
            assert asyncio.iscoroutine(coro)
            assert isinstance(coro, collections.abc.Coroutine)
            assert inspect.isawaitable(coro)
            assert (coro.__name__, coro.__qualname__) == ("await_value", "await_value")
        finally:
            coro.close()

    def test_asyncio_run_drives_it_and_cr_running_tracks_execution(self):
        holder = {}

        async def peek():
            await asyncio.sleep(0)
            return holder["coro"].cr_running

        coro = holder["coro"] = rtp.await_value(peek())
        assert coro.cr_running is False
        assert asyncio.run(coro) is True
        assert coro.cr_running is False

    @pytest.mark.asyncio
    async def test_wait_for_timeout_reaches_the_caller_after_cleanup(self):
        log = []
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(rtp.await_with_cleanup([asyncio.sleep(3600)], note(log, "cleanup"), log), 0.01)
        assert log == ["CancelledError", "cleanup", "finally", "destructor"]

    @pytest.mark.asyncio
    async def test_wait_for_timeout_caught_inside_cxx(self):
        # The text of a TimeoutError is empty, as Python prints it.
        result = await rtp.await_catching(asyncio.wait_for(asyncio.sleep(3600), 0.01), asyncio.TimeoutError)
        assert result == "caught "

    @pytest.mark.asyncio
    async def test_wait_for_in_time_returns_the_result(self):
        assert await asyncio.wait_for(rtp.await_value(asyncio.sleep(0, "quick")), 5) == "quick"

    @pytest.mark.asyncio
    async def test_gather_runs_cxx_coroutines_concurrently(self):
        # Each one waits for an event that only a later one sets: sequential running would deadlock.
        first, second = asyncio.Event(), asyncio.Event()

        async def release(event, value):
            event.set()
            return value

        results = await asyncio.wait_for(
            asyncio.gather(
                rtp.await_value(first.wait()),
                rtp.await_all([second.wait(), release(first, "a")]),
                rtp.await_value(release(second, "b")),
            ),
            5,
        )
        assert results == [True, [True, "a"], "b"]

    @pytest.mark.asyncio
    async def test_gather_return_exceptions_keeps_the_exception_object(self):
        err = ValueError("one of them")
        results = await asyncio.gather(rtp.await_value(passthrough(1)), rtp.await_value(failing(err)),
                                       return_exceptions=True)
        assert results[0] == 1 and results[1] is err

    @pytest.mark.asyncio
    async def test_create_task(self):
        coro = rtp.await_value(asyncio.sleep(0.01, "from task"))
        task = asyncio.create_task(coro)
        assert task.get_coro() is coro
        assert "await_value" in repr(task)
        assert await task == "from task"
        assert task.done() and not task.cancelled()


class TestCancellation:
    @pytest.mark.asyncio
    @pytest.mark.parametrize("point", [0, 1, 2], ids=["first await", "second await", "third await"])
    async def test_cancel_at_each_await_point_runs_cleanup_in_order(self, point):
        loop = asyncio.get_running_loop()
        futures = [loop.create_future() for _ in range(3)]
        log = []
        task = asyncio.create_task(rtp.await_with_cleanup(futures, note(log, "cleanup"), log))
        await asyncio.sleep(0)
        for i in range(point):
            futures[i].set_result(i)
            await asyncio.sleep(0)
        assert log == [f"after {i}" for i in range(point)]

        task.cancel("shutting down")
        with pytest.raises(asyncio.CancelledError, match="^shutting down$"):
            await task
        assert task.cancelled()
        assert futures[point].cancelled()
        assert log == [f"after {i}" for i in range(point)] + ["CancelledError", "cleanup", "finally", "destructor"]

    @pytest.mark.asyncio
    async def test_cancel_while_awaiting_a_nested_cxx_coroutine(self):
        log = []
        inner = rtp.await_with_cleanup([park(log)], note(log, "inner cleanup"), log)
        task = asyncio.create_task(rtp.await_with_cleanup([inner], note(log, "outer cleanup"), log))
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert log == [
            "parked coroutine finally",
            "CancelledError", "inner cleanup", "finally", "destructor",
            "CancelledError", "outer cleanup", "finally", "destructor",
        ]

    @pytest.mark.asyncio
    async def test_cancel_while_awaiting_a_cxx_helper(self):
        log = []
        task = asyncio.create_task(rtp.await_helper(park(log), log))
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert log == ["parked coroutine finally", "helper destructor", "caller destructor"]

    @pytest.mark.asyncio
    async def test_cancellation_caught_by_class_in_cxx_ends_the_task_normally(self):
        task = asyncio.create_task(rtp.await_catching(park(), asyncio.CancelledError))
        await asyncio.sleep(0)
        task.cancel("stop")
        assert await task == "caught stop"
        assert not task.cancelled()


class TestExceptions:
    class Base(Exception):
        pass

    class Derived(Base):
        pass

    @pytest.mark.asyncio
    @pytest.mark.parametrize("cls", [Base, Derived, (KeyError, Base), Exception],
                             ids=["Base", "Derived", "tuple", "Exception"])
    async def test_caught_by_class_with_isinstance_semantics(self, cls):
        assert await rtp.await_catching(failing(self.Derived("deep")), cls) == "caught deep"

    @pytest.mark.asyncio
    async def test_non_matching_propagates_unchanged_with_its_traceback(self):
        err = self.Base("not mine")
        with pytest.raises(self.Base) as info:
            await rtp.await_value(rtp.await_catching(failing(err), self.Derived))
        assert info.value is err
        assert "failing" in [frame.name for frame in traceback.extract_tb(info.value.__traceback__)]

    @pytest.mark.asyncio
    async def test_exception_raised_in_cxx_is_seen_by_python(self):
        class Refused(Exception):
            def __init__(self, reason):
                super().__init__(reason)
                self.reason = reason

        with pytest.raises(Refused) as info:
            await rtp.raise_error(Refused, "no entry")
        assert info.value.reason == "no entry" and str(info.value) == "no entry"

    @pytest.mark.parametrize("cls", [StopIteration, StopAsyncIteration])
    def test_stop_iteration_leaving_the_body_becomes_runtime_error(self, cls):
        with pytest.raises(RuntimeError, match=f"^coroutine raised {cls.__name__}$") as info:
            drive(rtp.raise_error(cls, "leak"))
        assert type(info.value.__cause__) is cls

    @pytest.mark.parametrize("cls", [asyncio.CancelledError, KeyboardInterrupt, SystemExit, GeneratorExit])
    def test_except_exception_in_cxx_lets_base_exceptions_through(self, cls):
        err = cls()
        with pytest.raises(cls) as info:
            drive(rtp.await_except_exception(failing(err)))
        assert info.value is err

    def test_except_exception_in_cxx_catches_exceptions(self):
        assert drive(rtp.await_except_exception(failing(OSError("disk")))) == "caught"

    @pytest.mark.asyncio
    async def test_except_exception_in_cxx_does_not_stop_cancellation(self):
        task = asyncio.create_task(rtp.await_except_exception(park()))
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    def test_cleanup_failure_replaces_the_first_exception_and_chains_it(self):
        first, second = ValueError("first"), RuntimeError("cleanup failed")
        log = []
        with pytest.raises(RuntimeError) as info:
            drive(rtp.await_with_cleanup([failing(first)], failing(second), log))
        assert info.value is second and second.__context__ is first
        assert log == ["ValueError", "destructor"]


class TestDrivingByHand:
    def test_send_forwards_values_to_the_awaited_iterator_and_returns_its_result(self):
        coro = rtp.await_value(Suspend("first out", "second out"))
        assert coro.send(None) == "first out"
        assert coro.send("first in") == "second out"
        with pytest.raises(StopIteration) as stop:
            coro.send("second in")
        assert stop.value.value == ("first in", "second in")

    def test_throw_goes_to_the_awaited_iterator_first(self):
        coro = rtp.await_value(Absorb())
        assert coro.send(None) == "waiting"
        with pytest.raises(StopIteration) as stop:
            coro.throw(ValueError("absorbed by the awaitable"))
        assert stop.value.value == "absorbed ValueError"

    @pytest.mark.parametrize("form", ["instance", "class", "class and value"])
    def test_throw_reaches_the_cxx_handler(self, form):
        coro = rtp.await_catching(Suspend(), ValueError)
        coro.send(None)
        args = {"instance": (ValueError("boom"),), "class": (ValueError,), "class and value": (ValueError, "boom")}
        with pytest.raises(StopIteration) as stop:
            coro.throw(*args[form])
        assert stop.value.value == ("caught " if form == "class" else "caught boom")

    def test_throw_not_matching_propagates_the_same_object(self):
        coro = rtp.await_catching(Suspend(), ValueError)
        coro.send(None)
        err = KeyError("other")
        with pytest.raises(KeyError) as info:
            coro.throw(err)
        assert info.value is err
        with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
            coro.send(None)

    def test_throw_into_a_coroutine_that_never_started(self):
        log = []
        coro = rtp.await_with_cleanup([Suspend()], Suspend(), log)
        err = ValueError("early")
        with pytest.raises(ValueError) as info:
            coro.throw(err)
        assert info.value is err
        assert log == []  # the body never ran: no handler, no clean-up, no locals
        with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
            coro.send(None)

    def test_close_raises_generator_exit_at_the_pending_await_and_runs_cleanup(self):
        log = []
        coro = rtp.await_with_cleanup([park(log, until=Suspend())], note(log, "cleanup", suspend=False), log)
        coro.send(None)
        assert coro.close() is None
        assert log == ["parked coroutine finally", "GeneratorExit", "cleanup", "finally", "destructor"]
        assert coro.close() is None
        with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
            coro.send(None)

    def test_close_before_start_runs_nothing_and_warns_nothing(self):
        log = []
        coro = rtp.await_with_cleanup([Suspend()], Suspend(), log)
        coro.close()
        del coro
        gc.collect()
        assert log == []

    def test_awaiting_again_during_close_is_runtime_error(self):
        log = []
        coro = rtp.await_with_cleanup([Suspend()], Suspend("suspends during clean-up"), log)
        coro.send(None)
        with pytest.raises(RuntimeError, match="^coroutine ignored GeneratorExit$"):
            coro.close()
        assert log == ["GeneratorExit"]
        # Closing again raises GeneratorExit at the clean-up's await, which ends the frame.
        assert coro.close() is None
        assert log == ["GeneratorExit", "destructor"]

    def test_dropping_a_suspended_coroutine_closes_it(self):
        log = []
        coro = rtp.await_with_cleanup([Suspend()], note(log, "cleanup", suspend=False), log)
        coro.send(None)
        del coro
        assert log == ["GeneratorExit", "cleanup", "finally", "destructor"]

    def test_cannot_reuse_an_awaited_coroutine(self):
        coro = rtp.await_value(passthrough("once"))
        assert drive(coro) == "once"
        with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
            drive(coro)

    def test_non_none_first_send_is_refused(self):
        coro = rtp.await_value(Suspend())
        with pytest.raises(TypeError, match="^can't send non-None value to a just-started coroutine$"):
            coro.send("too early")
        assert coro.send(None) is None  # still startable
        coro.close()

    def test_sending_into_a_running_coroutine_is_refused(self):
        holder = {}

        async def reenter():
            holder["coro"].send(None)

        coro = holder["coro"] = rtp.await_value(reenter())
        with pytest.raises(ValueError, match="^coroutine already executing$"):
            drive(coro)

    def test_never_awaited_warns_and_releases_its_arguments(self):
        awaitable = Suspend()
        released = weakref.ref(awaitable)
        coro = rtp.await_value(awaitable)
        del awaitable
        with pytest.warns(RuntimeWarning, match=r"^coroutine 'await_value' was never awaited$"):
            del coro
            gc.collect()
        assert released() is None


def _settled_refcount(obj):
    gc.collect()
    return sys.getrefcount(obj)


class TestReferencesAndMemory:
    def test_argument_references_unchanged_after_awaits_exceptions_and_closes(self):
        payload, log = object(), []
        before = _settled_refcount(payload), _settled_refcount(log)
        for _ in range(2000):
            assert drive(rtp.await_value(passthrough(payload))) is payload
            assert drive(rtp.await_catching(failing(KeyError(payload)), KeyError)).startswith("caught")
            with pytest.raises(ValueError):
                drive(rtp.await_value(rtp.await_catching(failing(ValueError(payload)), KeyError)))
            coro = rtp.await_with_cleanup([Suspend(payload)], note(log, payload, suspend=False), log)
            coro.send(None)
            coro.close()
            coro = rtp.await_catching(Suspend(payload), ValueError)
            coro.send(None)
            with pytest.raises(StopIteration):
                coro.throw(ValueError(payload))
            log.clear()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            for _ in range(2000):
                rtp.await_value(Suspend(payload))  # never awaited
        assert (_settled_refcount(payload), _settled_refcount(log)) == before

    def test_argument_references_unchanged_after_cancellations(self):
        payload, log = object(), []

        async def main():
            for _ in range(500):
                task = asyncio.create_task(
                    rtp.await_with_cleanup([rtp.await_value(park(log, finally_entry=payload))],
                                           note(log, payload), log))
                await asyncio.sleep(0)
                task.cancel(payload)
                with pytest.raises(asyncio.CancelledError):
                    await task
                log.clear()

        before = _settled_refcount(payload), _settled_refcount(log)
        asyncio.run(main())
        assert (_settled_refcount(payload), _settled_refcount(log)) == before

    def test_memory_flat_over_100000_coroutine_runs(self):
        def runs(n):
            for i in range(n):
                if i % 4 == 0:
                    drive(rtp.await_value(passthrough(i)))
                elif i % 4 == 1:
                    drive(rtp.await_catching(failing(KeyError(i)), KeyError))
                elif i % 4 == 2:
                    log = []
                    coro = rtp.await_with_cleanup([Suspend(i)], note(log, i, suspend=False), log)
                    coro.send(None)
                    coro.close()
                else:
                    coro = rtp.await_value(Suspend(i))
                    coro.send(None)
                    with pytest.raises(StopIteration):
                        coro.send(i)

        async def awaited(n):
            for i in range(n):
                await rtp.await_value(rtp.await_value(asyncio.sleep(0, i)))

        runs(10_000)  # warm the allocators and caches
        asyncio.run(awaited(1_000))
        gc.collect()
        rss_before = _resident_bytes()
        runs(60_000)
        asyncio.run(awaited(20_000))
        gc.collect()
        # A frame leaked per run would be megabytes of resident memory. Under
        # AddressSanitizer (scripts/sanitize.sh) resident memory grows anyway: its
        # quarantine holds freed blocks back to catch late uses.
        if "libasan" not in os.environ.get("LD_PRELOAD", ""):
            assert _resident_bytes() - rss_before < 8 * 1024 * 1024

        tracemalloc.start()
        try:
            before, _ = tracemalloc.get_traced_memory()
            runs(20_000)
            gc.collect()
            after, _ = tracemalloc.get_traced_memory()
        finally:
            tracemalloc.stop()
        # So would a Python object leaked per run.
        assert after - before < 256 * 1024


def _resident_bytes():
    import resource

    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize()
