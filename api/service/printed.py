"""A stand-in for sys.stdout that sends printed lines to a logger.

The drawing modules print a few things (the map's scale, a start-up banner) on
standard output; in a server log or a tool's output a bare "500" reads like an
HTTP status. Swapped in only where nothing else runs on the thread: a drawing
process for its whole life, or a tool around one synchronous call; never around
an await on a web worker, where other requests' output would be caught too.
"""
from __future__ import annotations

import contextlib
import io
import logging
import sys
from typing import Callable, Iterator


class LoggedLines(io.TextIOBase):
    """Logs each complete line written to it at `level`, after `describe(line)`."""

    def __init__(self, logger: logging.Logger, describe: Callable[[str], str] = str, level: int = logging.INFO):
        super().__init__()
        self._logger = logger
        self._describe = describe
        self._level = level
        self._partial = ""

    @property
    def encoding(self) -> str:  # type: ignore[override]
        return "utf-8"

    def writable(self) -> bool:
        return True

    def write(self, text: str) -> int:
        if not isinstance(text, str):
            raise TypeError(f"write() argument must be str, not {type(text).__name__}")
        lines = (self._partial + text).split("\n")
        self._partial = lines.pop()
        for line in lines:
            self._emit(line)
        return len(text)

    def _emit(self, line: str) -> None:
        line = line.rstrip("\r")
        if line.strip():
            self._logger.log(self._level, "%s", self._describe(line))

    def close(self) -> None:
        if self._partial:
            self._emit(self._partial)
            self._partial = ""
        super().close()


@contextlib.contextmanager
def stdout_to(writer: io.TextIOBase) -> Iterator[io.TextIOBase]:
    """sys.stdout is `writer` inside the block (synchronous code only)."""
    previous, sys.stdout = sys.stdout, writer
    try:
        yield writer
    finally:
        sys.stdout = previous
        writer.close()
