"""An exception raised while another is being handled keeps it as __context__,
whether C++ raises it or Python code that a C++ handler calls."""
from __future__ import annotations

import sys

import _rtprobe as rtp
import pytest

from tests.runtime.awaitables import drive, failing, passthrough


async def native_replace_error(awaitable, replacement):
    try:
        return await awaitable
    except BaseException:
        raise replacement  # noqa: B904 - the implicit context is what is compared


async def native_handle_error(awaitable, handler):
    try:
        return await awaitable
    except BaseException as exc:
        return handler(exc)


async def native_use_manager(manager, body, log):
    async with manager as value:
        log.append(value)
        await body
    log.append("after with")


def both(cxx, native):
    return pytest.mark.parametrize("impl", [cxx, native], ids=["cxx", "python"])


@both(rtp.replace_error, native_replace_error)
def test_raise_in_a_handler_chains_the_handled_exception(impl):
    first, replacement = KeyError("first"), ValueError("replacement")
    with pytest.raises(ValueError) as info:
        drive(impl(failing(first), replacement))
    assert info.value is replacement
    assert replacement.__context__ is first and replacement.__cause__ is None


@both(rtp.replace_error, native_replace_error)
def test_reraising_the_handled_exception_does_not_chain_it_to_itself(impl):
    first = KeyError("first")
    with pytest.raises(KeyError) as info:
        drive(impl(failing(first), first))
    assert info.value.__context__ is None


@both(rtp.handle_error, native_handle_error)
def test_python_code_called_from_a_handler_sees_the_exception_as_handled(impl):
    first = KeyError("first")
    seen = []

    def handler(exc):
        seen.append(sys.exc_info()[1])
        raise RuntimeError("handler failed")

    with pytest.raises(RuntimeError) as info:
        drive(impl(failing(first), handler))
    assert seen == [first]
    assert info.value.__context__ is first


@both(rtp.handle_error, native_handle_error)
def test_handled_exception_ends_with_the_handler(impl):
    assert drive(impl(failing(KeyError("first")), lambda exc: sys.exc_info()[1] is exc)) is True
    assert sys.exc_info() == (None, None, None)


@both(rtp.handle_error, native_handle_error)
def test_a_handler_inside_a_python_handler_restores_the_outer_exception(impl):
    outer = LookupError("outer")
    try:
        raise outer
    except LookupError:
        drive(impl(failing(KeyError("inner")), lambda exc: None))
        assert sys.exc_info()[1] is outer


@both(rtp.use_manager, native_use_manager)
def test_failing_aexit_keeps_the_body_exception_as_context(impl):
    body_error = KeyError("body")
    seen = []

    class Manager:
        async def __aenter__(self):
            return "entered"

        async def __aexit__(self, *exc_info):
            seen.append(sys.exc_info()[1])
            raise OSError("exit failed")

    with pytest.raises(OSError) as info:
        drive(impl(Manager(), failing(body_error), []))
    assert seen == [body_error]
    assert info.value.__context__ is body_error


@both(rtp.use_manager, native_use_manager)
def test_suppressing_aexit_leaves_nothing_handled(impl):
    log = []

    class Manager:
        async def __aenter__(self):
            return "entered"

        async def __aexit__(self, *exc_info):
            return True

    drive(impl(Manager(), failing(KeyError("body")), log))
    assert log == ["entered", "after with"]
    assert sys.exc_info() == (None, None, None)


def test_cleanup_after_a_capture_runs_with_the_exception_handled():
    # try: await failing  except: ...  finally: await cleanup   (cleanup sees the first exception)
    first = KeyError("first")
    seen = []

    async def cleanup():
        seen.append(sys.exc_info()[1])
        await passthrough(None)
        seen.append(sys.exc_info()[1])
        raise OSError("cleanup failed")

    with pytest.raises(OSError) as info:
        drive(rtp.await_with_cleanup([failing(first)], cleanup(), []))
    assert seen == [first, first]
    assert info.value.__context__ is first
    assert sys.exc_info() == (None, None, None)


class NotAwaitedManager:
    """__aenter__ or __aexit__ returns something `await` cannot take."""

    def __init__(self, bad):
        self.bad = bad

    def __aenter__(self):
        return 5 if self.bad == "__aenter__" else Outcome("entered")

    def __aexit__(self, *exc_info):
        return 5 if self.bad == "__aexit__" else Outcome(None)


class Outcome:
    """Awaitable with no coroutine behind it (none is left un-awaited): returns a value or raises an exception."""

    def __init__(self, value):
        self.value = value

    def __await__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value
        yield


@both(rtp.use_manager, native_use_manager)
@pytest.mark.parametrize("method", ["__aenter__", "__aexit__"])
@pytest.mark.parametrize("body_raises", [False, True], ids=["body returns", "body raises"])
def test_non_awaitable_from_the_manager_in_pythons_words(impl, method, body_raises):
    body_error = KeyError("body")
    with pytest.raises(TypeError) as info:
        drive(impl(NotAwaitedManager(method), Outcome(body_error if body_raises else None), []))
    assert str(info.value) == f"'async with' received an object from {method} that does not implement __await__: int"
    assert info.value.__context__ is (body_error if body_raises and method == "__aexit__" else None)
