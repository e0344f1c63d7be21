"""The tools' log: one stream (stderr, through the host's logger) that stays above progress bars."""
from __future__ import annotations

import contextlib
import io
import logging
import logging.handlers
import os
import sys
from collections.abc import Callable, Iterator

from tqdm import tqdm


def tool_logger() -> logging.Logger:
    from logger import get_logger

    # The host's logger carries the handler and LOG_LEVEL; the tools log as a child of it.
    return get_logger().getChild("tools")


def drawing_print(line: str) -> str:
    from service.plans.documents import scale_line

    return scale_line(line)


@contextlib.contextmanager
def stdout_to_log(prefix: str, level: int = logging.INFO,
                  meaning: Callable[[str], str] = str) -> Iterator[None]:
    """Whatever is printed meanwhile (a module's start-up banner) goes to the log, not the output."""
    from service.printed import LoggedLines

    writer = LoggedLines(tool_logger(), lambda line: prefix + meaning(line.strip()), level)
    with contextlib.redirect_stdout(writer):
        try:
            yield
        finally:
            writer.close()


class _AboveBars(io.TextIOBase):
    def __init__(self, stream):
        self.stream = stream

    def write(self, text: str) -> int:
        # tqdm.write clears the bars, writes the line and draws them again below it.
        tqdm.write(text.rstrip("\n"), file=self.stream)
        return len(text)

    def flush(self) -> None:
        self.stream.flush()


@contextlib.contextmanager
def above_bars() -> Iterator[None]:
    """Log lines written while a progress bar is shown go above the bar, not into it."""
    tool_logger()  # the host's handler exists before it is wrapped, so none is added meanwhile
    swapped = []
    for log in (logging.getLogger(), logging.getLogger("landrecords")):
        for handler in log.handlers:
            if isinstance(handler, logging.StreamHandler) and handler.stream in (sys.stderr, sys.stdout):
                swapped.append((handler, handler.setStream(_AboveBars(handler.stream))))
    try:
        yield
    finally:
        for handler, stream in swapped:
            handler.setStream(stream)


def forward_from_process(queue) -> None:
    """Initializer of a drawing process: its log records and printed lines travel to the parent,
    which writes them above its progress bar instead of into it."""
    handler = logging.handlers.QueueHandler(queue)
    handler._ravn = True  # type: ignore[attr-defined]  # the host's get_logger() then adds no handler of its own
    log = logging.getLogger("landrecords")
    log.handlers[:] = [handler]
    log.propagate = False
    log.setLevel(os.environ.get("LOG_LEVEL", "INFO").upper())
    from service.printed import LoggedLines

    sys.stdout = LoggedLines(log.getChild("tools"), lambda line: drawing_print(line.strip()))


def listen_to_processes(queue) -> logging.handlers.QueueListener:
    """The parent's end of forward_from_process: records go through the host logger's own handlers."""
    parent = tool_logger().parent
    handlers = parent.handlers if parent is not None else []
    listener = logging.handlers.QueueListener(queue, *handlers, respect_handler_level=True)
    listener.start()
    return listener
