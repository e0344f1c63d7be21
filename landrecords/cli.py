"""The one entry point: the top-level parser, argument fix-ups, and errors as one line."""
from __future__ import annotations

import argparse
import re
import sys

from landrecords import batch, export, plan, seed
from landrecords.jobs.errors import ToolError

COMMANDS = (plan, seed, export, batch)
DESCRIPTION = """\
Tools for the people who run the land-records service: site and deed plans of parcels, one at a
time or a whole zone at once, and the map's tiles, warmed in the service's cache or exported to an
offline archive for viewing without the database.

Plans the tools issue are recorded in the register of issued plans, as downloads from the service
are. Long runs print how much there is to do, show their progress and resume where they stopped."""


class Parser(argparse.ArgumentParser):
    def error(self, message: str):
        # One line, as every other error of the tools; the usage is one --help away.
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(prog="python -m landrecords", description=DESCRIPTION,
                    formatter_class=argparse.RawDescriptionHelpFormatter,
                    epilog="Run `python -m landrecords COMMAND --help` for a command's options.")
    subparsers = parser.add_subparsers(dest="command", required=True, metavar="command")
    for command in COMMANDS:
        command.register(subparsers)
    return parser


NEGATIVE_VALUE = re.compile(r"-[0-9.]")


def join_negative_values(argv: list[str]) -> list[str]:
    """`--bbox -180,-85,180,85` as `--bbox=-180,...`: argparse takes a value starting with '-'
    followed by a comma for an option of its own."""
    joined: list[str] = []
    values = iter(argv)
    for arg in values:
        if arg == "--bbox":
            following = next(values, None)
            if following is not None and NEGATIVE_VALUE.match(following):
                joined.append(f"--bbox={following}")
                continue
            joined.append(arg)
            if following is not None:
                joined.append(following)
            continue
        joined.append(arg)
    return joined


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(join_negative_values(sys.argv[1:] if argv is None else argv))
    try:
        return args.run(args)
    except ToolError as e:
        print(f"error: {e}", file=sys.stderr)
        return e.status
    except OSError as e:
        where = f": {e.filename}" if e.filename else ""
        print(f"error: {e.strerror or e}{where}", file=sys.stderr)
        return 1
    except Exception as e:
        from sqlalchemy.exc import SQLAlchemyError

        if not isinstance(e, SQLAlchemyError):
            raise  # a fault of the tools: the traceback is what we need to see
        print(f"error: database: {str(getattr(e, 'orig', None) or e).splitlines()[0]}",
              file=sys.stderr)
        return 1
