"""`plan deed|site --parcel ID [-o FILE] [--force]`: a parcel's deed plan or site plan as a PDF file.

The output is checked before anything is drawn. The file appears complete or not
at all, and only once it is on the register: the PDF is written to a temporary
file beside the target, recorded, then renamed over the target. An existing
output (a symbolic link included: it is replaced, never written through) is
overwritten only with --force.
"""
from __future__ import annotations

import argparse
import asyncio
import getpass
import os
import sys
import tempfile
import time
from pathlib import Path

USAGE, FAILURE = 2, 1


class CommandError(Exception):
    """A one-line error for the user, with the exit status it ends the command with."""

    def __init__(self, message: str, status: int = FAILURE):
        super().__init__(message)
        self.status = status


def register(subparsers) -> None:
    parser = subparsers.add_parser("plan", help="write a parcel's deed plan or site plan to a PDF file")
    kinds = parser.add_subparsers(dest="kind", required=True, metavar="kind")
    site = kinds.add_parser("site", help="site plan")
    deed = kinds.add_parser("deed", help="deed plan (the tracing number comes from the parcel record)")
    for sub in (site, deed):
        # Checked in run(), as the HTTP route checks it: plain decimal digits only.
        sub.add_argument("--parcel", required=True, metavar="ID", help="parcel id (decimal digits)")
        sub.add_argument("-o", "--output", type=Path, metavar="FILE",
                         help="PDF file to write (default: SitePlan_ID.pdf / DeedPlan_ID.pdf here)")
        sub.add_argument("--force", action="store_true", help="overwrite an existing output file")
        sub.set_defaults(run=run)
    deed.add_argument("--person-name", required=True, help="name of the grantee")
    deed.add_argument("--district", required=True, help="the parcel's recorded district")
    deed.add_argument("--cadzone", required=True, help="the parcel's recorded cadastral zone")
    deed.add_argument("--file-no", required=True, help="registry file number")


def default_name(kind: str, plot_id: int) -> str:
    return f"{'SitePlan' if kind == 'site' else 'DeedPlan'}_{plot_id}.pdf"


def check_output(path: Path, force: bool) -> None:
    """Raises CommandError unless a plan can be written at `path`."""
    if path.is_dir() and not path.is_symlink():
        raise CommandError(f"{path} is a directory; give a file name")
    if os.path.lexists(path) and not force:
        raise CommandError(f"{path} already exists; --force overwrites it")
    folder = path.parent
    if not folder.is_dir():
        raise CommandError(f"no such folder: {folder}")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise CommandError(f"cannot write in {folder}")


def temporary_beside(path: Path) -> Path:
    """An empty file in the target's folder (so the final rename stays on one file system)."""
    try:
        fd, name = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".part", dir=path.parent)
    except OSError as e:
        raise CommandError(f"cannot write in {path.parent}: {e.strerror}") from None
    os.close(fd)
    return Path(name)


def write_file(temporary: Path, data: bytes) -> None:
    try:
        with open(temporary, "wb") as file:
            file.write(data)
            file.flush()
            os.fsync(file.fileno())
        os.chmod(temporary, 0o644)
    except OSError as e:
        raise CommandError(f"cannot write {temporary}: {e.strerror}") from None


def write_atomically(path: Path, data: bytes) -> None:
    """`data` at `path`, complete or not at all (the batch tool writes its files so)."""
    path = path.resolve()
    fd, temporary = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".part", dir=path.parent)
    try:
        with os.fdopen(fd, "wb") as file:
            file.write(data)
            file.flush()
            os.fsync(file.fileno())
        os.chmod(temporary, 0o644)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


async def make_plan(args: argparse.Namespace, plot_id: int, temporary: Path, target: Path) -> int:
    """Draws the plan into `temporary` (beside `target`), records it, and renames it into place."""
    import database
    from service.plans import issue_log
    from service.plans import documents as plans

    try:
        async with database.SessionLocal() as db:
            if args.kind == "site":
                answer = await plans.site_plan(db, plot_id)
                pdf, particulars = answer["file"].getvalue(), {}
            else:
                particulars = plans.check_deed_fields(person_name=args.person_name, district=args.district,
                                                      cadzone=args.cadzone, file_no=args.file_no)
                pdf = await plans.deed_plan(db, plot_id, **particulars)
        write_file(temporary, pdf)
        try:
            await issue_log.record(database.get_engine(), client=f"cli:{getpass.getuser()}", parcel_id=plot_id,
                                   document=args.kind, particulars=particulars, pdf=pdf)
        except Exception as e:  # noqa: BLE001 - any failure to record withholds the file
            raise CommandError(f"the plan could not be recorded in the issue log ({type(e).__name__}: {e}); "
                               "no file written") from None
        try:
            os.replace(temporary, target)
        except OSError as e:
            raise CommandError(f"cannot write {target}: {e.strerror}") from None
        return len(pdf)
    finally:
        await database.dispose_engine()


def run(args: argparse.Namespace) -> int:
    # The package set the registry's time zone before any log line; the plan is dated in it too.
    import database  # noqa: F401  (loads services.env)
    time.tzset()
    from service.plans import checks as plans
    from sqlalchemy.exc import SQLAlchemyError

    try:
        try:
            plot_id = plans.parcel_id(args.parcel)
            if args.kind == "deed":
                plans.check_deed_fields(person_name=args.person_name, district=args.district,
                                        cadzone=args.cadzone, file_no=args.file_no)
        except plans.PlanError as e:
            raise CommandError(e.detail, USAGE if e.status_code == 422 else FAILURE) from None
        target = args.output or Path(default_name(args.kind, plot_id))
        check_output(target, args.force)
        temporary = temporary_beside(target)
        try:
            from service.plans.documents import printed_lines
            from service.printed import stdout_to

            # The map module prints its scale: into the log with its meaning, not a bare number.
            with stdout_to(printed_lines()):
                size = asyncio.run(make_plan(args, plot_id, temporary, target))
        finally:
            temporary.unlink(missing_ok=True)  # already gone once renamed into place
    except CommandError as e:
        print(f"error: {e}", file=sys.stderr)
        return e.status
    except plans.PlanError as e:
        print(f"error: {e.detail}", file=sys.stderr)
        return FAILURE
    except OSError as e:  # the database refused the connection, and the like
        print(f"error: {e}", file=sys.stderr)
        return FAILURE
    except SQLAlchemyError as e:
        print(f"error: database: {str(e).splitlines()[0]}", file=sys.stderr)
        return FAILURE
    print(f"{target}: {args.kind} plan of parcel {plot_id}, {size} bytes")
    return 0
