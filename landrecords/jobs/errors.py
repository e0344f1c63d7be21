"""Errors a command reports as one line on stderr instead of a traceback."""
from __future__ import annotations


class ToolError(Exception):
    status = 1


class UsageError(ToolError):
    """The command as typed cannot run: a bad value, a missing option, an output in the way."""

    status = 2


class Failure(ToolError):
    """The command was fine but could not be carried out: unwritable folder, failed units."""

    status = 1
