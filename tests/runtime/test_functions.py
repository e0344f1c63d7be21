"""Runtime function objects: signatures, names, argument binding and checks, methods, module-global lookup."""

# Real annotation objects are compared below, so no postponed evaluation of annotations here.
import asyncio
import builtins
import copy
import gc
import inspect
import math
import pickle
import sys
import types
import typing
from decimal import Decimal
from fractions import Fraction
from typing import Optional

import _rtprobe as rtp
import pytest


# Python definitions with the probe functions' signatures: what the C++ objects must match.
def collect(a, b, c, *, key, flag: Optional[int] = rtp.DEFAULT):
    pass


def typed(count: int, label: str, anything=None) -> tuple:
    pass


def call_hook():
    pass


class Box:
    def describe(self, label: str, extra=None):
        pass


def _type_error(function, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        function(*args, **kwargs)
    return str(info.value)


class TestSignature:
    @pytest.mark.parametrize(
        ("function", "reference"),
        [(rtp.collect, collect), (rtp.typed, typed), (rtp.call_hook, call_hook), (rtp.Box.describe, Box.describe)],
        ids=["collect", "typed", "call_hook", "Box.describe"],
    )
    def test_signature_equals_the_python_definitions(self, function, reference):
        assert inspect.signature(function) == inspect.signature(reference)

    def test_parameters_carry_the_real_objects(self):
        sig = inspect.signature(rtp.collect)
        assert [(p.name, p.kind) for p in sig.parameters.values()] == [
            ("a", inspect.Parameter.POSITIONAL_OR_KEYWORD),
            ("b", inspect.Parameter.POSITIONAL_OR_KEYWORD),
            ("c", inspect.Parameter.POSITIONAL_OR_KEYWORD),
            ("key", inspect.Parameter.KEYWORD_ONLY),
            ("flag", inspect.Parameter.KEYWORD_ONLY),
        ]
        assert sig.parameters["flag"].default is rtp.DEFAULT
        assert sig.parameters["flag"].annotation == Optional[int]
        assert sig.parameters["key"].default is inspect.Parameter.empty
        assert sig.return_annotation is inspect.Signature.empty

        sig = inspect.signature(rtp.typed)
        assert sig.parameters["count"].annotation is int
        assert sig.parameters["label"].annotation is str
        assert sig.parameters["anything"].annotation is inspect.Parameter.empty
        assert sig.return_annotation is tuple

    def test_function_attributes_match_python(self):
        assert rtp.typed.__defaults__ == typed.__defaults__
        assert rtp.collect.__kwdefaults__ == collect.__kwdefaults__
        assert rtp.typed.__annotations__ == typed.__annotations__
        assert typing.get_type_hints(rtp.collect) == typing.get_type_hints(collect)
        assert rtp.typed.__globals__ is vars(rtp)

    def test_bound_method_signature_drops_self(self):
        assert list(inspect.signature(rtp.Box().describe).parameters) == ["label", "extra"]


class TestNames:
    def test_names_module_and_docstrings(self):
        assert (rtp.typed.__name__, rtp.typed.__qualname__, rtp.typed.__module__) == ("typed", "typed", "_rtprobe")
        assert rtp.typed.__doc__ == "Checks its arguments."
        assert rtp.collect.__doc__ is None
        describe = rtp.Box.describe
        assert (describe.__name__, describe.__qualname__, describe.__doc__) == ("describe", "Box.describe", "Describe.")
        assert rtp.Box.__module__ == "_rtprobe"
        assert rtp.Box.__doc__ == "A class whose method is a runtime function."
        assert repr(rtp.typed).startswith("<function typed at 0x")

    def test_coroutine_functions_are_recognised(self):
        assert asyncio.iscoroutinefunction(rtp.await_value)
        assert not asyncio.iscoroutinefunction(rtp.typed)
        assert not asyncio.iscoroutinefunction(rtp.count_to)
        assert inspect.isroutine(rtp.await_value) and inspect.isroutine(rtp.typed)

    def test_function_attributes_can_be_set(self):
        rtp.typed.marker = "set"
        try:
            assert rtp.typed.__dict__["marker"] == "set"
        finally:
            del rtp.typed.marker


class TestBinding:
    def test_three_missing_arguments_in_python_wording(self):
        assert _type_error(rtp.collect) == "collect() missing 3 required positional arguments: 'a', 'b', and 'c'"

    @pytest.mark.parametrize(
        ("args", "kwargs"),
        [
            ((), {}),
            ((1,), {}),
            ((1, 2), {}),
            ((1,), {"key": 0}),
            ((1, 2, 3), {}),
            ((1, 2, 3, 4), {}),
            ((1, 2, 3, 4, 5), {"key": 0}),
            ((1, 2, 3), {"key": 0, "bogus": 1}),
            ((1, 2, 3), {"key": 0, "a": 1}),
            ((1, 2, 3, 4), {"bogus": 1}),
            ((1, 2, 3, 4), {"a": 1}),
        ],
        ids=[
            "missing 3", "missing 2", "missing 1", "missing 2 with keyword", "missing keyword-only",
            "surplus", "surplus with keyword-only", "unexpected keyword", "multiple values",
            "unexpected keyword before surplus", "multiple values before surplus",
        ],
    )
    def test_type_errors_match_python(self, args, kwargs):
        assert _type_error(rtp.collect, *args, **kwargs) == _type_error(collect, *args, **kwargs)

    @pytest.mark.parametrize(
        ("args", "kwargs"),
        [((), {}), ((1, "x", 3, 4), {}), ((1,), {"label": "x", "count": 2}), ((1, "x"), {"other": 1})],
        ids=["missing 2", "surplus with defaults", "multiple values", "unexpected keyword"],
    )
    def test_type_errors_with_defaults_match_python(self, args, kwargs):
        assert _type_error(rtp.typed, *args, **kwargs) == _type_error(typed, *args, **kwargs)

    def test_no_parameters(self):
        assert _type_error(rtp.call_hook, 1) == _type_error(call_hook, 1)
        assert _type_error(rtp.call_hook, x=1) == _type_error(call_hook, x=1)

    @pytest.mark.parametrize(("args", "kwargs"), [((), {}), (("x", 1, 2), {}), (("x",), {"self": 1})],
                             ids=["missing", "surplus", "self again"])
    def test_bound_method_errors_match_python(self, args, kwargs):
        assert _type_error(rtp.Box().describe, *args, **kwargs) == _type_error(Box().describe, *args, **kwargs)

    def test_positional_keyword_and_default_binding(self):
        assert rtp.collect(1, 2, 3, key=4) == (1, 2, 3, 4, rtp.DEFAULT)
        assert rtp.collect(c=3, b=2, a=1, flag=5, key=4) == (1, 2, 3, 4, 5)
        assert rtp.collect(*[1, 2], **{"c": 3, "key": 4}) == (1, 2, 3, 4, rtp.DEFAULT)

    def test_bound_method(self):
        box = rtp.Box()
        assert type(box.describe) is types.MethodType
        assert box.describe("x") == (box, "x", None)
        assert box.describe(label="y", extra=1) == (box, "y", 1)
        assert rtp.Box.describe(box, "z") == (box, "z", None)
        assert rtp.Box.__dict__["describe"].__get__(None, rtp.Box) is rtp.Box.__dict__["describe"]


class TestArgumentChecks:
    @pytest.mark.parametrize("value", [7, -(2**80), True], ids=["int", "big int", "bool"])
    def test_int_parameter_takes_an_int_as_it_is(self, value):
        assert rtp.typed(value, "x")[0] is value

    @pytest.mark.parametrize(
        "value",
        [3.99, -3.99, 1e20, Fraction(7, 2), Decimal("-5.5"), math.inf, math.nan],
        ids=["float", "negative float", "large float", "Fraction", "Decimal", "inf", "nan"],
    )
    def test_int_parameter_converts_other_numbers_as_int_does(self, value):
        try:
            expected = int(value)
        except (OverflowError, ValueError) as exc:
            with pytest.raises(type(exc), match=f"^{exc}$"):
                rtp.typed(value, "x")
        else:
            converted = rtp.typed(value, "x")[0]
            assert type(converted) is int and converted == expected

    @pytest.mark.parametrize(
        ("value", "type_name"), [("3", "str"), (None, "NoneType"), (b"3", "bytes"), ([3], "list")]
    )
    def test_int_parameter_rejects_non_numbers(self, value, type_name):
        message = f"Argument 'count' has incorrect type (expected int, got {type_name})"
        assert _type_error(rtp.typed, value, "x") == message
        assert _type_error(rtp.typed, count=value, label="x") == message

    @pytest.mark.parametrize(("value", "type_name"), [(1, "int"), (None, "NoneType"), (b"x", "bytes")])
    def test_str_parameter_rejects_non_str(self, value, type_name):
        assert _type_error(rtp.typed, 1, value) == (
            f"Argument 'label' has incorrect type (expected str, got {type_name})")
        assert _type_error(rtp.Box().describe, value) == (
            f"Argument 'label' has incorrect type (expected str, got {type_name})"
        )

    def test_str_parameter_takes_the_same_str(self):
        label = "".join(["la", "bel"])
        assert rtp.typed(1, label)[1] is label

    def test_unannotated_parameter_is_not_checked(self):
        anything = object()
        assert rtp.typed(1, "x", anything)[2] is anything

    def test_checks_run_before_a_generator_or_coroutine_exists(self):
        with pytest.raises(TypeError, match=r"^Argument 'n' has incorrect type \(expected int, got str\)$"):
            rtp.count_to("3", [])
        with pytest.raises(TypeError, match=r"^await_value\(\) missing 1 required positional argument"):
            rtp.await_value()  # no coroutine object made, so no never-awaited warning either


class TestModuleGlobals:
    def test_unknown_global_is_name_error(self):
        with pytest.raises(NameError, match="^name 'hook' is not defined$"):
            rtp.call_hook()

    def test_patched_global_takes_effect_on_the_next_call(self, monkeypatch):
        monkeypatch.setattr(rtp, "hook", lambda: "first", raising=False)
        assert rtp.call_hook() == "first"
        monkeypatch.setattr(rtp, "hook", lambda: "second")
        assert rtp.call_hook() == "second"

    def test_builtins_are_the_fallback_and_module_globals_shadow_them(self, monkeypatch):
        monkeypatch.setattr(builtins, "hook", lambda: "builtin", raising=False)
        assert rtp.call_hook() == "builtin"
        monkeypatch.setattr(rtp, "hook", lambda: "module", raising=False)
        assert rtp.call_hook() == "module"

    @pytest.mark.asyncio
    async def test_global_looked_up_when_used_after_an_await(self, monkeypatch):
        monkeypatch.setattr(rtp, "hook", lambda: "before the await", raising=False)
        go = asyncio.Event()
        task = asyncio.create_task(rtp.call_hook_later(go.wait()))
        await asyncio.sleep(0)
        monkeypatch.setattr(rtp, "hook", lambda: "after the await")
        go.set()
        assert await task == "after the await"


class TestReferences:
    def test_argument_and_default_references_unchanged_after_many_calls(self):
        label, payload, number = "label", object(), 2.5
        objects = (label, payload, number, rtp.DEFAULT)
        gc.collect()
        before = [sys.getrefcount(o) for o in objects]
        for _ in range(20_000):
            rtp.typed(number, label, payload)
            rtp.typed(count=1, label=label, anything=payload)
            rtp.collect(payload, payload, payload, key=label)
            rtp.Box().describe(label, payload)
            with pytest.raises(TypeError):
                rtp.typed(label, label, payload)
            with pytest.raises(TypeError):
                rtp.typed(1, payload, payload)
            with pytest.raises(TypeError):
                rtp.collect(payload, payload, payload, payload, key=label)
            with pytest.raises(TypeError):
                rtp.collect(payload, payload, b=payload, key=label)
            with pytest.raises(TypeError):
                rtp.collect(payload, payload, payload, key=label, bogus=payload)
        gc.collect()
        assert [sys.getrefcount(o) for o in objects] == before


class TestNameAttributes:
    """__name__ and __qualname__ take only str, as on Python functions; deleting is refused."""

    @pytest.mark.parametrize("attribute", ["__name__", "__qualname__"])
    def test_non_str_and_deletion_are_refused(self, attribute):
        for target in (rtp.typed, typed):
            before = getattr(target, attribute)
            with pytest.raises(TypeError, match=f"^{attribute} must be set to a string object$"):
                setattr(target, attribute, 42)
            with pytest.raises(TypeError, match=f"^{attribute} must be set to a string object$"):
                delattr(target, attribute)
            assert getattr(target, attribute) == before

    def test_renamed_function_reports_its_new_names(self):
        script = (
            "import _rtprobe as rtp\n"
            "rtp.typed.__name__ = 'renamed'; rtp.typed.__qualname__ = 'Owner.renamed'\n"
            "assert 'Owner.renamed' in repr(rtp.typed)\n"
            "try: rtp.typed()\n"
            "except TypeError as e: print(e)\n"
            "c = rtp.await_value(None); print(c.__name__, c.__qualname__); c.close()\n"
        )
        assert run_isolated(script) == "Owner.renamed() missing 2 required positional arguments: " \
            "'count' and 'label'\n" \
                                       "await_value await_value\n"

    @pytest.mark.parametrize("statement", [
        "del rtp.await_value.__qualname__",
        "del rtp.typed.__name__",
        "rtp.typed.__qualname__ = None",
        "rtp.typed.__name__ = b'bytes'",
    ])
    def test_refused_changes_leave_calls_and_errors_intact(self, statement):
        # Run apart: a crash must fail this test, not end the test run.
        script = (
            "import _rtprobe as rtp\n"
            f"try: {statement}\n"
            "except TypeError: pass\n"
            "c = rtp.await_value(None); print(repr(c).split(' at ')[0]); c.close()\n"
            "try: rtp.typed('x', 'y')\n"
            "except TypeError as e: print(e)\n"
            "print(repr(rtp.typed).split(' at ')[0])\n"
        )
        assert run_isolated(script) == (
            "<coroutine object await_value\n"
            "Argument 'count' has incorrect type (expected int, got str)\n"
            "<function typed\n"
        )

    def test_annotations_take_a_dict_and_come_back_empty_after_deletion(self):
        with pytest.raises(TypeError, match="^__annotations__ must be set to a dict object$"):
            rtp.call_hook.__annotations__ = 1
        del rtp.call_hook.__annotations__
        assert rtp.call_hook.__annotations__ == {}


def run_isolated(script):
    import subprocess
    from pathlib import Path

    native = Path(rtp.__file__).resolve().parent
    done = subprocess.run([sys.executable, "-c", script], cwd=native, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, f"exit {done.returncode}: {done.stderr}"
    return done.stdout


class TestGlobalChangedDuringItsLookup:
    """A builtins key whose __eq__ patches the module while the name is being looked up."""

    @pytest.fixture
    def namespaces(self):
        python_globals = {"__builtins__": builtins}
        exec("def call_hook():\n    return hook()\n", python_globals)
        return {"cxx": (rtp.call_hook, rtp.__dict__), "python": (python_globals["call_hook"], python_globals)}

    @pytest.mark.parametrize("impl", ["cxx", "python"])
    def test_the_change_is_seen_by_the_next_call(self, namespaces, impl, monkeypatch):
        function, namespace = namespaces[impl]

        class Colliding:
            # Same hash as "hook" and already in builtins, so looking the name up there compares with it.
            def __hash__(self):
                return hash("hook")

            def __eq__(self, other):
                namespace["hook"] = lambda: "patched during the lookup"
                return False

        colliding = Colliding()
        builtins.__dict__[colliding] = None
        try:
            monkeypatch.setattr(builtins, "hook", lambda: "builtin", raising=False)
            monkeypatch.delitem(namespace, "hook", raising=False)
            assert function() == "builtin"
            assert function() == "patched during the lookup"
        finally:
            del builtins.__dict__[colliding]
            namespace.pop("hook", None)


class TestPickleAndCopy:
    @pytest.mark.parametrize("function, reference", [(rtp.call_hook, call_hook), (rtp.await_value, asyncio.sleep),
                                                     (rtp.Box.describe, Box.describe)],
                             ids=["function", "coroutine function", "method"])
    @pytest.mark.parametrize("protocol", [2, pickle.HIGHEST_PROTOCOL])
    def test_pickled_by_reference_as_python_functions_are(self, function, reference, protocol):
        assert pickle.loads(pickle.dumps(reference, protocol)) is reference
        assert pickle.loads(pickle.dumps(function, protocol)) is function

    @pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy])
    @pytest.mark.parametrize("function", [rtp.call_hook, rtp.Box.describe, call_hook], ids=["cxx", "method", "python"])
    def test_copies_are_the_function_itself(self, copier, function):
        assert copier(function) is function
        assert copier({"f": function})["f"] is function

    def test_a_function_its_module_no_longer_holds_fails_as_python_does(self, monkeypatch):
        functions = [rtp.call_hook, call_hook]
        monkeypatch.delattr(rtp, "call_hook")
        monkeypatch.delattr(sys.modules[__name__], "call_hook")
        for function in functions:
            with pytest.raises(pickle.PicklingError, match="attribute lookup call_hook on .* failed"):
                pickle.dumps(function)

    @pytest.mark.parametrize("name", ["get_tile_xyz", "generate_mvt_sql"])
    def test_tile_router_functions(self, tessera, name):
        function = getattr(tessera, name)
        assert pickle.loads(pickle.dumps(function)) is function
        assert copy.deepcopy(function) is function
