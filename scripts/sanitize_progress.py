"""Pytest plugin of scripts/sanitize.sh: keeps, in $RAVN_SANITIZE_PROGRESS, the test
that is running and the tallies so far, so that when a sanitizer report aborts the
process the script can still say where it stopped and how many tests had passed."""
from __future__ import annotations

import os
from pathlib import Path

_directory = Path(os.environ.get("RAVN_SANITIZE_PROGRESS", "."))
_tally = {"ran": 0, "passed": 0, "failed": 0, "skipped": 0}
_outcome: dict[str, str] = {}


def _write(name: str, text: str) -> None:
    # Whole files only: the process may abort at any moment.
    partial = _directory / f"{name}.partial"
    partial.write_text(text + "\n")
    os.replace(partial, _directory / name)


def pytest_runtest_logstart(nodeid, location):
    _write("running", nodeid)


def pytest_runtest_logreport(report):
    # A test failed if any phase failed; skipped if it was skipped; passed otherwise.
    if report.failed:
        _outcome[report.nodeid] = "failed"
    elif report.skipped and _outcome.get(report.nodeid) != "failed":
        _outcome[report.nodeid] = "skipped"
    else:
        _outcome.setdefault(report.nodeid, "passed")


def pytest_runtest_logfinish(nodeid, location):
    _tally["ran"] += 1
    _tally[_outcome.pop(nodeid, "passed")] += 1
    _write("tally", " ".join(str(_tally[key]) for key in ("ran", "passed", "failed", "skipped")))


def pytest_sessionfinish(session, exitstatus):
    _write("finished", str(exitstatus))
