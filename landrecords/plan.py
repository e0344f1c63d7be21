"""`plan deed|site --parcel ID [-o FILE]`: a parcel's deed plan or site plan as a PDF file.

The file appears complete or not at all: the PDF is written to a temporary file
beside the target and renamed over it.
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


def register(subparsers) -> None:
    parser = subparsers.add_parser("plan", help="write a parcel's deed plan or site plan to a PDF file")
    kinds = parser.add_subparsers(dest="kind", required=True, metavar="kind")
    site = kinds.add_parser("site", help="site plan")
    deed = kinds.add_parser("deed", help="deed plan (the tracing number comes from the parcel record)")
    for sub in (site, deed):
        sub.add_argument("--parcel", type=int, required=True, metavar="ID", help="parcel id")
        sub.add_argument("-o", "--output", type=Path, metavar="FILE",
                         help="PDF file to write (default: SitePlan_ID.pdf / DeedPlan_ID.pdf here)")
        sub.set_defaults(run=run)
    deed.add_argument("--person-name", required=True, help="name of the grantee")
    deed.add_argument("--district", required=True)
    deed.add_argument("--cadzone", required=True, help="cadastral zone")
    deed.add_argument("--file-no", required=True, help="registry file number")


async def render(args: argparse.Namespace) -> tuple[bytes, str]:
    import database
    from service.plans import issue_log
    from service.plans import documents as plans

    try:
        async with database.SessionLocal() as db:
            if args.kind == "site":
                answer = await plans.site_plan(db, args.parcel)
                pdf, filename, particulars = answer["file"].getvalue(), answer["filename"], {}
            else:
                pdf = await plans.deed_plan(db, args.parcel, args.person_name, args.district, args.cadzone,
                                            args.file_no)
                filename = plans.deed_plan_filename(args.parcel)
                particulars = {"person_name": args.person_name, "district": args.district,
                               "cadzone": args.cadzone, "file_no": args.file_no}
        # On the register before it is written out, as for a download.
        await issue_log.record(database.get_engine(), client=f"cli:{getpass.getuser()}", parcel_id=args.parcel,
                               document=args.kind, particulars=particulars, pdf=pdf)
        return pdf, filename
    finally:
        await database.dispose_engine()


def write_atomically(path: Path, data: bytes) -> None:
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


def run(args: argparse.Namespace) -> int:
    import database  # noqa: F401  (loads services.env, TZ included)
    from service.plans.documents import PlanError

    time.tzset()
    try:
        pdf, filename = asyncio.run(render(args))
    except PlanError as e:
        print(f"error: {e.detail}", file=sys.stderr)
        return 1
    target = args.output or Path(filename)
    write_atomically(target, pdf)
    print(f"{target}: {args.kind} plan of parcel {args.parcel}, {len(pdf)} bytes")
    return 0
