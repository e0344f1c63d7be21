"""C++ async generators as Python async generators: iteration, asend/athrow/aclose, context managers, finalisation."""
from __future__ import annotations

import asyncio
import collections.abc
import contextlib
import gc
import sys
import traceback

import _rtprobe as rtp
import pytest

from tests.runtime.awaitables import drive, failing, park, settle

transaction = contextlib.asynccontextmanager(rtp.transaction)


class TestIteration:
    @pytest.mark.asyncio
    async def test_async_for_in_python(self):
        log = []
        assert [x async for x in rtp.count_to(3, log)] == [0, 1, 2]
        assert log == ["exhausted", "cleaned"]

    @pytest.mark.asyncio
    async def test_async_for_in_cxx_over_cxx_and_python_generators(self):
        async def python_numbers():
            for i in (10, 20, 30):
                await asyncio.sleep(0)
                yield i

        log = []
        assert await rtp.sum_async(rtp.count_to(5, log)) == 10
        assert log == ["exhausted", "cleaned"]
        assert await rtp.sum_async(python_numbers()) == 60

    @pytest.mark.asyncio
    async def test_async_for_in_cxx_propagates_errors_other_than_stop(self):
        err = ValueError("mid-stream")

        async def breaks():
            yield 1
            raise err

        with pytest.raises(ValueError) as info:
            await rtp.sum_async(breaks())
        assert info.value is err

    def test_recognised_as_an_async_generator(self):
        gen = rtp.count_to(1, [])
        assert isinstance(gen, collections.abc.AsyncGenerator)
        assert gen.__aiter__() is gen
        assert (gen.__name__, gen.__qualname__) == ("count_to", "count_to")

    def test_two_steps_at_once_are_refused(self):
        log = []
        gen = rtp.count_to(2, log)
        first = gen.__anext__()
        assert first.send(None) is None  # suspended inside the generator, at its sleep(0)
        assert gen.ag_running
        with pytest.raises(RuntimeError, match=r"^anext\(\): asynchronous generator is already running$"):
            gen.__anext__().send(None)
        with pytest.raises(StopIteration) as stop:
            first.send(None)
        assert stop.value.value == 0
        assert drive(gen.aclose()) is None
        assert log == ["closing with GeneratorExit", "cleaned"]

    @pytest.mark.asyncio
    async def test_a_step_cannot_be_awaited_twice(self):
        gen = rtp.count_to(2, [])
        step = gen.asend(None)
        assert await step == 0
        with pytest.raises(RuntimeError, match=r"^cannot reuse already awaited __anext__\(\)/asend\(\)$"):
            await step
        await gen.aclose()


class TestAsendAthrowAclose:
    @pytest.mark.asyncio
    async def test_asend_delivers_values_to_co_yield(self):
        log = []
        gen = rtp.count_to(3, log)
        assert await gen.asend(None) == 0
        assert await gen.asend("x") == 1
        assert await gen.asend({"k": 1.0}) == 2
        assert log == ["sent x", "sent {'k': 1.0}"]
        with pytest.raises(StopAsyncIteration):
            await gen.asend(None)
        assert log[-2:] == ["exhausted", "cleaned"]

    @pytest.mark.asyncio
    async def test_asend_non_none_to_a_just_started_generator(self):
        gen = rtp.count_to(3, [])
        with pytest.raises(TypeError, match="^can't send non-None value to a just-started async generator$"):
            await gen.asend("too early")
        await gen.aclose()

    @pytest.mark.asyncio
    async def test_athrow_raises_at_co_yield_and_cleanup_awaits(self):
        log = []
        gen = rtp.count_to(3, log)
        assert await gen.__anext__() == 0
        err = ValueError("boom")
        with pytest.raises(ValueError) as info:
            await gen.athrow(err)
        assert info.value is err
        assert log == ["closing with ValueError", "cleaned"]
        with pytest.raises(StopAsyncIteration):
            await gen.__anext__()

    @pytest.mark.asyncio
    async def test_athrow_into_an_unstarted_generator_raises_at_once(self):
        log = []
        gen = rtp.count_to(3, log)
        err = ValueError("early")
        with pytest.raises(ValueError) as info:
            await gen.athrow(err)
        assert info.value is err and log == []
        assert [x async for x in gen] == []

    @pytest.mark.asyncio
    async def test_aclose_raises_generator_exit_and_runs_awaiting_cleanup(self):
        log = []
        gen = rtp.count_to(3, log)
        assert await gen.__anext__() == 0
        assert await gen.aclose() is None
        assert log == ["closing with GeneratorExit", "cleaned"]
        with pytest.raises(StopAsyncIteration):
            await gen.__anext__()
        assert await gen.aclose() is None

    @pytest.mark.asyncio
    async def test_aclose_of_an_unstarted_generator_runs_nothing(self):
        log = []
        gen = rtp.count_to(3, log)
        assert await gen.aclose() is None
        assert log == []
        with pytest.raises(StopAsyncIteration):
            await gen.__anext__()

    @pytest.mark.asyncio
    async def test_aclose_of_a_finished_generator(self):
        log = []
        gen = rtp.count_to(1, log)
        assert [x async for x in gen] == [0]
        assert await gen.aclose() is None
        assert log == ["exhausted", "cleaned"]

    @pytest.mark.asyncio
    async def test_yielding_during_aclose_is_runtime_error(self):
        gen = rtp.yield_in_aclose()
        assert await gen.__anext__() == "first"
        with pytest.raises(RuntimeError, match="^async generator ignored GeneratorExit$"):
            await gen.aclose()
        # Closing again raises GeneratorExit at the second yield, which ends the generator.
        assert await gen.aclose() is None
        with pytest.raises(StopAsyncIteration):
            await gen.__anext__()

    @pytest.mark.asyncio
    async def test_cancelling_a_task_inside_a_step(self):
        log = []
        gen = rtp.count_to(3, log)

        async def consume():
            async for _ in gen:
                await park()

        task = asyncio.create_task(consume())
        await asyncio.sleep(0)
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert log == []  # the consumer was cancelled, not the generator
        await gen.aclose()
        assert log == ["closing with GeneratorExit", "cleaned"]


class TestContextManager:
    """A C++ async generator wrapped by contextlib.asynccontextmanager, as a transaction dependency is."""

    @pytest.mark.asyncio
    async def test_commit_path(self):
        log = []
        async with transaction(log) as session:
            assert isinstance(session, rtp.Session)
            log.append("body")
        assert log == ["body", "commit", "close"]

    @pytest.mark.asyncio
    async def test_exception_path_reraises_the_same_exception(self):
        log = []
        err = LookupError("row not found")
        with pytest.raises(LookupError) as info:
            async with transaction(log):
                raise err
        assert info.value is err
        assert "test_exception_path_reraises_the_same_exception" in [
            frame.name for frame in traceback.extract_tb(info.value.__traceback__)
        ]
        assert log == ["rollback after LookupError", "close"]

    @pytest.mark.asyncio
    async def test_cancellation_path(self):
        log = []

        async def request():
            async with transaction(log):
                log.append("body")
                await park()

        task = asyncio.create_task(request())
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert log == ["body", "rollback after CancelledError", "close"]

    @pytest.mark.asyncio
    async def test_async_with_in_cxx_commit_and_exception_paths(self):
        log = []
        await rtp.use_manager(transaction(log), asyncio.sleep(0), log)
        assert isinstance(log[0], rtp.Session)
        assert log[1:] == ["commit", "close", "after with"]

        log.clear()
        err = ValueError("bad input")
        with pytest.raises(ValueError) as info:
            await rtp.use_manager(transaction(log), failing(err), log)
        assert info.value is err
        assert log[1:] == ["rollback after ValueError", "close"]

    @pytest.mark.asyncio
    async def test_async_with_in_cxx_hands_the_exception_to_aexit_and_honours_suppression(self):
        seen = []

        class Suppressing:
            async def __aenter__(self):
                return "entered"

            async def __aexit__(self, exc_type, exc, tb):
                seen.append((exc_type, exc, tb is not None))
                return True

        err = KeyError("swallowed")
        log = []
        assert await rtp.use_manager(Suppressing(), failing(err), log) is None
        assert seen == [(KeyError, err, True)]
        assert log == ["entered", "after with"]


class TestFinalisation:
    def test_loop_shutdown_finalises_an_abandoned_generator(self):
        log, keep = [], []

        async def main():
            gen = rtp.count_to(5, log)
            keep.append(gen)
            assert await gen.__anext__() == 0

        asyncio.run(main())
        assert log == ["closing with GeneratorExit", "cleaned"]

    def test_dropped_generator_is_closed_by_the_loop(self):
        log = []

        async def main():
            gen = rtp.count_to(5, log)
            assert await gen.__anext__() == 0
            del gen
            await settle(lambda: "cleaned" in log)

        asyncio.run(main())
        assert log == ["closing with GeneratorExit", "cleaned"]


    def test_finaliser_hook_receives_the_dropped_generator_alive_and_gc_tracked(self):
        log, handed = [], []
        hooks = sys.get_asyncgen_hooks()
        sys.set_asyncgen_hooks(firstiter=None, finalizer=handed.append)
        try:
            gen = rtp.count_to(3, log)
            assert drive(gen.__anext__()) == 0  # the hooks are read at the first step
        finally:
            sys.set_asyncgen_hooks(*hooks)
        del gen
        assert len(handed) == 1 and log == []
        assert gc.is_tracked(handed[0])  # resurrected: cycles through it must stay collectable
        assert drive(handed.pop().aclose()) is None
        assert log == ["closing with GeneratorExit", "cleaned"]

class TestReferences:
    def test_argument_references_unchanged_after_many_generator_lifecycles(self):
        log = []

        async def main():
            for _ in range(1000):
                assert [x async for x in rtp.count_to(2, log)] == [0, 1]
                gen = rtp.count_to(3, log)
                await gen.asend(None)
                await gen.asend(log)
                with pytest.raises(KeyError):
                    await gen.athrow(KeyError(log))
                gen = rtp.count_to(3, log)
                await gen.__anext__()
                await gen.aclose()
                with pytest.raises(ValueError):
                    async with transaction(log):
                        raise ValueError(log)
                log.clear()

        gc.collect()
        before = sys.getrefcount(log)
        asyncio.run(main())
        gc.collect()
        assert sys.getrefcount(log) == before
