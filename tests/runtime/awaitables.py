"""Python awaitables and drivers that the runtime tests hand to C++ coroutines."""
from __future__ import annotations

import asyncio


class Suspend:
    """Yields each of `outgoing` in turn to whoever drives it; returns the values sent back."""

    def __init__(self, *outgoing):
        self.outgoing = outgoing or (None,)

    def __await__(self):
        received = []
        for value in self.outgoing:
            received.append((yield value))
        return received[0] if len(received) == 1 else tuple(received)


class Absorb:
    """Suspends once; an exception thrown in while suspended becomes its result."""

    def __await__(self):
        try:
            yield "waiting"
        except Exception as exc:  # noqa: BLE001 - the point is to absorb it
            return f"absorbed {type(exc).__name__}"
        return "not thrown"


async def passthrough(value):
    await asyncio.sleep(0)
    return value


async def failing(exc):
    await asyncio.sleep(0)
    raise exc


async def note(log, entry, *, suspend=True):
    """Logs `entry`, after a real suspension unless told not to."""
    if suspend:
        await asyncio.sleep(0)
    log.append(entry)


async def park(log=None, *, finally_entry="parked coroutine finally", until=None):
    """Waits (for an hour, or on `until`) until cancelled or closed; logs its own finally when given a log."""
    try:
        await (asyncio.sleep(3600) if until is None else until)
    finally:
        if log is not None:
            log.append(finally_entry)


def drive(awaitable):
    """Runs an awaitable without an event loop; it may only ever yield None (bare suspensions)."""
    iterator = awaitable.__await__()
    try:
        while True:
            yielded = iterator.send(None)
            if yielded is not None:
                raise AssertionError(f"yielded {yielded!r} to a loop-less driver")
    except StopIteration as stop:
        return stop.value


async def settle(condition, rounds=50):
    """Lets the event loop run until `condition()` holds (for work the loop schedules itself)."""
    for _ in range(rounds):
        if condition():
            return
        await asyncio.sleep(0)
    raise AssertionError("the event loop never got there")
