"""The runtime's value operations, side by side with the Python expressions they stand for."""
from __future__ import annotations

import itertools
import math

import _rtprobe as rtp
import pytest


def python_unpack3(value):
    a, b, c = value
    return a, b, c


def outcome(call):
    try:
        return "ok", call()
    except Exception as error:  # noqa: BLE001 - type and text are what is compared
        return type(error), str(error)


@pytest.mark.parametrize("make", [lambda: [1, 2, 3], lambda: (1, 2), lambda: [1, 2, 3, 4], lambda: "abc", lambda: 5,
                                  lambda: None, lambda: iter(range(2)), lambda: itertools.count(),
                                  lambda: {"a": 1, "b": 2, "c": 3}],
                         ids=["three", "two", "four", "str", "int", "None", "short iterator", "endless", "dict"])
def test_unpack_takes_and_fails_as_python_does(make):
    assert outcome(lambda: rtp.unpack3(make())) == outcome(lambda: python_unpack3(make()))


@pytest.mark.parametrize("a, b", [(1, 2), (2, 1), (3, 3), (2 ** 70, 1), (1, 2 ** 70), (-(2 ** 70), 2 ** 70),
                                  (1, 1.5), (math.nan, 1), (True, 1), ("a", "b"), (1, "a")])
def test_comparisons_as_python_makes_them(a, b):
    python = [lambda: a < b, lambda: a <= b, lambda: a == b, lambda: a != b, lambda: a > b, lambda: a >= b]
    assert [outcome(lambda: rtp.compare_all(a, b))] == [outcome(lambda: [f() for f in python])]
