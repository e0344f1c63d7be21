"""Resumable progress: a small append-only state file and a progress bar.

The first line of the state file is the job's description (JSON); every further
line is one finished unit. Lines are flushed as they are written, so an
interrupted run loses at most the units that were in flight.
"""
from __future__ import annotations

import json
import os
import sys
from pathlib import Path

from tqdm import tqdm

from landrecords.jobs.errors import UsageError


class StateFile:
    def __init__(self, path: Path, job: dict, restart: bool = False):
        self.path = path
        self.done: set[str] = set()
        header = json.dumps(job, sort_keys=True)
        if path.exists() and not restart:
            lines = path.read_text().splitlines()
            if lines and lines[0] != header:
                raise UsageError(f"{path} belongs to a different job ({lines[0]}); "
                                 "finish that one, or pass --restart to drop its progress")
            # A torn last line (killed mid-write) is not a finished unit.
            self.done = {line for line in lines[1:] if line.endswith("\t.")}
            self.done = {line[:-2] for line in self.done}
            self._file = open(path, "a")
            if not lines:
                self._write(header)
            elif not path.read_text().endswith("\n"):
                self._file.write("\n")
        else:
            self._file = open(path, "w")
            self._write(header)
        self.resumed = len(self.done)

    def _write(self, line: str) -> None:
        self._file.write(line + "\n")
        self._file.flush()

    def mark(self, unit: str) -> None:
        self.done.add(unit)
        self._write(unit + "\t.")

    def close(self, finished: bool) -> None:
        self._file.close()
        if finished:
            os.unlink(self.path)


def bar(total: int, initial: int, unit: str, desc: str) -> tqdm:
    # tqdm shows rate and ETA; on a pipe it still prints, at a slower pace.
    return tqdm(total=total, initial=initial, unit=unit, desc=desc, file=sys.stderr, dynamic_ncols=True,
                mininterval=0.5 if sys.stderr.isatty() else 5.0, smoothing=0.1)


def summary(title: str, counts: dict[str, object]) -> None:
    width = max(len(k) for k in counts)
    print(title)
    for key, value in counts.items():
        print(f"  {key:<{width}}  {value}")
