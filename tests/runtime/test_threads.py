"""Frames of several threads, each running its own coroutines, interleaved at Python
calls that let the other thread run: each frame's locals stay its own and visible
to the collector, as they are for the same code written in Python."""
from __future__ import annotations

import gc
import threading
import weakref

import _rtprobe as rtp
import pytest

from tests.runtime.awaitables import Suspend

HAND_OFF = 30  # seconds; only a hang would ever reach it


async def native_call_then_hold(before, make, awaitable):
    before()
    kept = make()
    await awaitable
    return kept


class Holder:
    """Kept by a frame's local, and pointing back at the frame's coroutine."""


def wait(event):
    assert event.wait(HAND_OFF), "the other thread never got there"


@pytest.mark.parametrize("impl", [rtp.call_then_hold, native_call_then_hold], ids=["cxx", "python"])
def test_frames_of_two_threads_keep_their_own_locals(impl):
    # A's frame is mid-run when B's starts; A makes its local, suspends and lets B go on.
    # Frames of the two threads do not nest, so each must know its own running frame.
    a_inside, b_inside, a_suspended = threading.Event(), threading.Event(), threading.Event()
    holders = {"a": Holder(), "b": Holder()}
    coroutines = {}
    errors = []

    def before_a():
        a_inside.set()
        wait(b_inside)

    def before_b():
        b_inside.set()
        wait(a_suspended)

    for name, before in (("a", before_a), ("b", before_b)):
        holder = holders[name]
        coroutines[name] = impl(before, lambda holder=holder: holder, Suspend())
        holder.coroutine = coroutines[name]

    def run(name, first=None, last=None):
        try:
            if first:
                wait(first)
            coroutines[name].send(None)  # noqa: F821 - deleted only once the threads have ended
        except BaseException as exc:  # noqa: BLE001 - reported by the main thread
            errors.append(exc)
        finally:
            if last:
                last.set()

    threads = [threading.Thread(target=run, args=("a", None, a_suspended)),
               threading.Thread(target=run, args=("b", a_inside))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(HAND_OFF)
    assert not errors and not any(thread.is_alive() for thread in threads)

    refs = [weakref.ref(holder) for holder in holders.values()]
    del holder, holders, coroutines
    gc.collect()
    collected = [ref() is None for ref in refs]
    for ref in refs:  # whatever the collector missed is closed here, its frame freed
        if ref() is not None:
            ref().coroutine.close()
    # With no frame running, a local joins none: nothing may be left pointing at a
    # frame that is gone (AddressSanitizer reports the read if something is).
    assert rtp.local_outside_frame() is None
    assert collected == [True, True]
