"""Cost of the C++/Python bridge against the same code written in Python.

Prints a table: each row times one operation done N times through the runtime
(C++ coroutine or function object) and through an equivalent Python coroutine or
function, in the same process and run, and gives the ratio.

    python bench/runtime_overhead.py [--n 200000]
"""
from __future__ import annotations

import argparse
import asyncio
import platform
import sys
import time
import types
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "native"))
import _rtprobe  # noqa: E402


async def py_await_value(awaitable):
    return await awaitable


async def py_leaf():
    return 1


def py_typed(count: int, label: str, anything=None):
    return (count, label, anything)


def best_pair(repeats, native, python):
    """Best CPU time of `repeats` rounds for each; the two take turns within a round, so a
    busy machine slows both alike, and time spent descheduled is not counted."""
    best = [float("inf"), float("inf")]
    for _ in range(repeats):
        for i, fn in enumerate((native, python)):
            started = time.process_time()
            fn()
            best[i] = min(best[i], time.process_time() - started)
    return best


def drive(coro):
    """Run a coroutine that never suspends, as the event loop's first step would."""
    try:
        coro.send(None)
    except StopIteration as done:
        return done.value
    raise RuntimeError("suspended")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=200_000)
    n = parser.parse_args().n

    rows = []

    def compare(label, native, python):
        t_native, t_python = best_pair(7, native, python)
        rows.append((label, t_native / n * 1e9, t_python / n * 1e9, t_native / t_python))

    compare("call with int/str checks",
            lambda: [_rtprobe.typed(3, "x") for _ in range(n)],
            lambda: [py_typed(3, "x") for _ in range(n)])
    compare("create + run coroutine awaiting a Python coroutine",
            lambda: [drive(_rtprobe.await_value(py_leaf())) for _ in range(n)],
            lambda: [drive(py_await_value(py_leaf())) for _ in range(n)])

    # One resumption: send() into a coroutine suspended at an await of a generator
    # that yields `steps` times; the per-send cost of delegating as `yield from` does.
    steps = 50

    @types.coroutine
    def ticks():
        for _ in range(steps):
            yield None
        return 1

    def resume_all(make):
        def run():
            for _ in range(n // steps):
                coro = make(ticks())
                try:
                    while True:
                        coro.send(None)
                except StopIteration:
                    pass
        return run

    compare("resume a coroutine suspended at an await (per send)",
            resume_all(_rtprobe.await_value), resume_all(py_await_value))

    async def through_loop(fn, k):
        for _ in range(k):
            await fn(asyncio.sleep(0))

    k = n // 10
    rows_loop = []
    for label, _ in (("await asyncio.sleep(0) on the event loop", None),):
        t_native, t_python = best_pair(5, lambda: asyncio.run(through_loop(_rtprobe.await_value, k)),
                                       lambda: asyncio.run(through_loop(py_await_value, k)))
        rows_loop.append((label, t_native / k * 1e9, t_python / k * 1e9, t_native / t_python))

    print(f"machine: {platform.machine()} {platform.processor() or ''} | Python {platform.python_version()} | n={n}")
    print(f"{'operation':<52} {'C++ ns':>10} {'Python ns':>10} {'ratio':>7}")
    for label, a, b, r in rows + rows_loop:
        print(f"{label:<52} {a:>10.0f} {b:>10.0f} {r:>7.2f}")


if __name__ == "__main__":
    main()
