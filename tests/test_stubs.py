"""The type stubs against the modules: signatures that match, and a host that mypy --strict accepts."""
from __future__ import annotations

import ast
import asyncio
import inspect
import os
import subprocess
import sys
from pathlib import Path

import pytest
from fastapi import params

REPO_ROOT = Path(__file__).resolve().parents[1]
PACKAGE = REPO_ROOT / "api" / "ravn"
MODULES = ["tessera", "plots", "planwork"]

KINDS = {"posonlyargs": inspect.Parameter.POSITIONAL_ONLY, "args": inspect.Parameter.POSITIONAL_OR_KEYWORD,
         "kwonlyargs": inspect.Parameter.KEYWORD_ONLY}


def stub_tree(name: str) -> ast.Module:
    return ast.parse((PACKAGE / f"{name}.pyi").read_text())


def stub_parameters(node: ast.FunctionDef | ast.AsyncFunctionDef) -> list[tuple[str, inspect._ParameterKind, object]]:
    a = node.args
    positional = a.posonlyargs + a.args
    defaults = [inspect.Parameter.empty] * (len(positional) - len(a.defaults)) + list(a.defaults)
    out = []
    for group, kind in (("posonlyargs", KINDS["posonlyargs"]), ("args", KINDS["args"])):
        for arg in getattr(a, group):
            out.append((arg.arg, kind, defaults[positional.index(arg)]))
    if a.vararg:
        out.append((a.vararg.arg, inspect.Parameter.VAR_POSITIONAL, inspect.Parameter.empty))
    for arg, default in zip(a.kwonlyargs, a.kw_defaults, strict=False):
        out.append((arg.arg, inspect.Parameter.KEYWORD_ONLY,
                    default if default is not None else inspect.Parameter.empty))
    if a.kwarg:
        out.append((a.kwarg.arg, inspect.Parameter.VAR_KEYWORD, inspect.Parameter.empty))
    return out


def functions(name: str):
    """(qualified name, stub node) for every function and method in the stub."""
    for node in stub_tree(name).body:
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            yield node.name, node
        elif isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, (ast.FunctionDef, ast.AsyncFunctionDef)):
                    yield f"{node.name}.{item.name}", item


CASES = [pytest.param(module, qualname, id=f"{module}.{qualname}")
         for module in MODULES for qualname, _ in functions(module)]


@pytest.fixture(scope="module")
def ravn_modules(tessera):
    import ravn.planwork
    import ravn.plots

    return {"tessera": tessera, "plots": ravn.plots, "planwork": ravn.planwork}


@pytest.mark.parametrize("module, qualname", CASES)
def test_stub_signature_matches_the_module(ravn_modules, module, qualname):
    node = dict(functions(module))[qualname]
    real = ravn_modules[module]
    for part in qualname.split("."):
        real = inspect.getattr_static(real, part) if inspect.isclass(real) else getattr(real, part)
    assert asyncio.iscoroutinefunction(real) == isinstance(node, ast.AsyncFunctionDef)
    actual = list(inspect.signature(real).parameters.values())
    expected = stub_parameters(node)
    assert [(p.name, p.kind) for p in actual] == [(n, k) for n, k, _ in expected]
    for parameter, (_, _, default) in zip(actual, expected, strict=False):
        if default is inspect.Parameter.empty:
            assert parameter.default is inspect.Parameter.empty, parameter.name
        elif isinstance(default, ast.Constant) and default.value is Ellipsis:
            # `...` stands only for FastAPI's markers, which have no literal form.
            assert isinstance(parameter.default, (params.Depends, params.Param)), parameter.name
        else:
            value = ast.literal_eval(default)
            assert (parameter.default, type(parameter.default)) == (value, type(value)), parameter.name


@pytest.mark.parametrize("module", MODULES)
def test_stub_declares_every_function_and_class_of_the_module(ravn_modules, module):
    real = ravn_modules[module]
    own = {name for name, value in vars(real).items()
           if callable(value) and getattr(value, "__module__", None) == real.__name__ and not name.startswith("__")}
    # TypedDicts describe result shapes; they exist only in the stubs.
    declared = {node.name for node in stub_tree(module).body
                if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef))
                or isinstance(node, ast.ClassDef) and not any(ast.unparse(b) == "TypedDict" for b in node.bases)}
    assert own == declared
    variables = {node.target.id for node in stub_tree(module).body
                 if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name)}
    assert variables <= set(vars(real)), variables - set(vars(real))


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    return tmp_path_factory.mktemp("mypy-cache")


def run_mypy(source: Path, cache: Path) -> subprocess.CompletedProcess:
    env = dict(os.environ, MYPYPATH=str(REPO_ROOT / "api"))
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(cache),
                           str(source)], cwd=cache, env=env, capture_output=True, text=True, timeout=300)


def test_mypy_strict_accepts_a_host_written_against_the_stubs(mypy_cache):
    done = run_mypy(REPO_ROOT / "tests" / "typing" / "sample_host.py", mypy_cache)
    assert done.returncode == 0, done.stdout + done.stderr


CARELESS = [
    # The tier is None below the layer's minimum zoom.
    "a: int = tessera.get_zoom_config(3, 'plots')['tolerance']",
    # Roads are None, not [], when no road is near.
    "async def b(g: planwork.PlanImageGenerator) -> int: return len((await g.get_plot_with_nearby(g.db, 1))['roads'])",
    # The scale is the third item, an int.
    "c: str = plots.generate_plot([], 1, None)[2]",
    "async def d(g: planwork.PlanImageGenerator) -> bytes: "
    "return (await g.generate_deedplan_html(1, 'a', 'b', 'c', 'd')).read()",
]


def test_mypy_refuses_a_host_that_forgets_what_functions_return(tmp_path, mypy_cache):
    source = tmp_path / "careless_host.py"
    source.write_text("\n".join(["from ravn import planwork, plots, tessera", *CARELESS]) + "\n")
    done = run_mypy(source, mypy_cache)
    flagged = {int(line.split(":")[1]) for line in done.stdout.splitlines() if line.startswith(str(source))}
    assert flagged == set(range(2, 2 + len(CARELESS))), done.stdout + done.stderr
