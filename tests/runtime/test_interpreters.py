"""A sub-interpreter that tries the modules first leaves the main interpreter's import intact.

Run in a fresh interpreter: an extension module is loaded once per process."""
from __future__ import annotations

import json
import subprocess
import sys
import textwrap
from pathlib import Path

NATIVE_DIR = Path(__file__).resolve().parents[1] / "native"

SCRIPT = textwrap.dedent("""
    import json, sys
    sys.path.insert(0, {native!r})
    import _xxsubinterpreters as interpreters

    interpreter = interpreters.create()
    interpreters.run_string(interpreter, '''
    import json, sys
    sys.path.insert(0, {native!r})
    try:
        import _rtprobe
    except ImportError as error:
        print(json.dumps(["sub-interpreter", type(error).__name__, str(error)]))
    else:
        print(json.dumps(["sub-interpreter", "imported", _rtprobe.call_hook.__name__]))
    ''')
    interpreters.destroy(interpreter)

    import asyncio, builtins, collections.abc
    import _rtprobe
    builtins.hook = lambda: "builtin hook"
    coroutine = _rtprobe.await_value(asyncio.sleep(0, "awaited"))
    print(json.dumps(["main", _rtprobe.call_hook(), isinstance(coroutine, collections.abc.Coroutine),
                      asyncio.run(coroutine)]))
""")


def test_a_sub_interpreter_importing_first_cannot_break_the_main_interpreter():
    done = subprocess.run([sys.executable, "-c", SCRIPT.format(native=str(NATIVE_DIR))],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    sub, main = [json.loads(line) for line in done.stdout.splitlines()]
    assert sub == ["sub-interpreter", "ImportError",
                   "_rtprobe cannot be imported in a sub-interpreter: the ravn modules run in the main interpreter only"]
    assert main == ["main", "builtin hook", True, "awaited"]
