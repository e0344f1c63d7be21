"""The one entry point: a parser with a subcommand per tool."""
from __future__ import annotations

import argparse

from landrecords import batch, export, plan, seed

COMMANDS = (plan, seed, export, batch)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python -m landrecords", description=__doc__)
    subparsers = parser.add_subparsers(dest="command", required=True, metavar="command")
    for command in COMMANDS:
        command.register(subparsers)
    return parser


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    return args.run(args)
