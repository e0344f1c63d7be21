"""`batch-plans site|deed`: plans for every parcel of a cadastral zone or of a list of parcel ids.

The PDFs go into a folder, or into one zip file when the output ends in .zip,
with index.csv (parcel_id, parcel_number, file_name, status, error). A parcel whose
plan cannot be made is listed with its error and the batch carries on. Deed plans
take their particulars from a CSV file with the columns parcel_id, person_name,
district, cadzone, file_no. Every plan written is recorded in the register of
issued plans, as with `plan`.
"""
from __future__ import annotations

import argparse
import asyncio
import concurrent.futures
import csv
import getpass
import io
import json
import multiprocessing
import re
import shutil
import sys
import time
import zipfile
from pathlib import Path

from landrecords.jobs import logs, outputs, progress
from landrecords.jobs.errors import UsageError

INDEX_FIELDS = ("parcel_id", "parcel_number", "file_name", "status", "error")
LARGEST_ID = 2**31 - 1  # the parcel table's integer key


def parcel_id(text: str) -> int:
    """A plain decimal id in the key's range (int() would also take '1_0' and '+1')."""
    text = text.strip()
    if not re.fullmatch(r"[0-9]+", text) or int(text) > LARGEST_ID:
        raise UsageError(f"parcel ids are whole numbers from 0 to {LARGEST_ID}, got {text!r}")
    return int(text)


def register(subparsers) -> None:
    parser = subparsers.add_parser(
        "batch-plans", help="site or deed plans for a cadastral zone or a list of parcels",
        description=__doc__ + "\nProgress is kept in OUTPUT.state beside the output; an interrupted run started "
        "again with the same options resumes without redrawing finished plans. A zip output is assembled in "
        "OUTPUT.parts/ and written when the batch completes. An existing zip, or a folder that already holds "
        "files, is written over only with --force. The exit status is 1 when any plan failed (after the index "
        "is written).",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("kind", choices=("site", "deed"))
    which = parser.add_mutually_exclusive_group(required=True)
    which.add_argument("--zone", metavar="NAME", help="every parcel of this cadastral zone")
    which.add_argument("--parcels", metavar="ID,ID", help="parcel ids, comma-separated")
    which.add_argument("--parcels-file", type=Path, metavar="FILE", help="parcel ids, one a line")
    parser.add_argument("--particulars", type=Path, metavar="CSV",
                        help="deed plans: parcel_id, person_name, district, cadzone, file_no per parcel")
    parser.add_argument("-o", "--output", type=Path, required=True, metavar="DIR|FILE.zip")
    parser.add_argument("--workers", type=int, default=1, metavar="N",
                        help="plans drawn at once, each in a process of its own (default 1: in this process)")
    parser.add_argument("--restart", action="store_true", help="drop the progress of an earlier run and start over")
    parser.add_argument("--force", action="store_true", help="write over an existing zip or a folder's files")
    parser.set_defaults(run=run)


def read_particulars(path: Path | None) -> dict[int, dict]:
    if path is None:
        return {}
    with open(path, newline="", encoding="utf-8-sig") as file:
        rows = list(csv.DictReader(file))
    if rows and "parcel_id" not in rows[0]:
        raise UsageError(f"{path} has no parcel_id column")
    from service.plans.documents import DEED_FIELDS

    return {int(row["parcel_id"]): {name: row.get(name) for name in DEED_FIELDS} for row in rows}


def listed_ids(args: argparse.Namespace) -> list[int]:
    source = args.parcels if args.parcels else args.parcels_file.read_text()
    return list(dict.fromkeys(parcel_id(v) for v in source.replace(",", "\n").split() if v.strip()))


async def parcels(args: argparse.Namespace) -> list[tuple[int, str | None]]:
    import database
    from sqlalchemy import text

    async with database.SessionLocal() as db:
        if args.zone:
            rows = (await db.execute(text('SELECT "ID", "PLOT_NO" FROM "GIS"."PLOT" WHERE "CADZONE" = :zone '
                                          'ORDER BY "ID"'), {"zone": args.zone})).all()
            if not rows:
                raise UsageError(f"no parcels in cadastral zone {args.zone!r}")
            return [(row[0], row[1]) for row in rows]
        ids = listed_ids(args)
        query = text('SELECT "ID", "PLOT_NO" FROM "GIS"."PLOT" WHERE "ID" = ANY(:ids)')
        numbers: dict[int, str | None] = dict((await db.execute(query, {"ids": ids})).all())
        return [(i, numbers.get(i)) for i in ids]


class Drawer:
    """Draws in this process (one worker) or in spawned processes, as the web service does."""

    def __init__(self, workers: int):
        self.pool = self.listener = None
        if workers > 1:
            context = multiprocessing.get_context("spawn")
            queue = context.Queue()
            self.listener = logs.listen_to_processes(queue)
            self.pool = concurrent.futures.ProcessPoolExecutor(
                max_workers=workers, mp_context=context, initializer=logs.forward_from_process, initargs=(queue,))

    async def draw(self, kind: str, plot_id: int, fields: dict) -> tuple[bytes, str]:
        from service.plans import documents as plan_documents

        if self.pool is None:
            return await plan_documents.document(kind, plot_id, fields)
        return await asyncio.get_running_loop().run_in_executor(self.pool, plan_documents.render, kind, plot_id,
                                                                 fields)

    def close(self) -> None:
        if self.pool is not None:
            self.pool.shutdown(wait=True, cancel_futures=True)
        if self.listener is not None:
            self.listener.stop()


async def batch(args: argparse.Namespace, folder: Path, state_path: Path) -> tuple[list[dict], dict, bool]:
    import database
    from service.plans import issue_log
    from service.plans.documents import PlanError

    if args.kind == "deed" and args.particulars is None:
        raise UsageError("deed plans need --particulars CSV")
    particulars = read_particulars(args.particulars)
    todo_all = await parcels(args)
    job = {"tool": "batch-plans", "kind": args.kind, "parcels": [i for i, _ in todo_all]}
    state = progress.StateFile(state_path, job, restart=args.restart)
    rows = {row["parcel_id"]: row for row in map(json.loads, state.done)}
    todo = [(i, number) for i, number in todo_all if i not in rows]
    meter = progress.bar(len(todo_all), len(rows), "plan", f"{args.kind} plans")
    drawer = Drawer(max(1, args.workers))
    engine = database.get_engine()
    client = f"cli:{getpass.getuser()}"

    async def one(plot_id: int, number: str | None) -> None:
        row = {"parcel_id": plot_id, "parcel_number": number or "", "file_name": "", "status": "ok", "error": ""}
        fields = particulars.get(plot_id, {}) if args.kind == "deed" else {}
        try:
            if args.kind == "deed" and plot_id not in particulars:
                raise PlanError(422, f"No particulars for parcel {plot_id} in {args.particulars}")
            pdf, filename = await drawer.draw(args.kind, plot_id, fields)
            # On the register before it is written out, as for a download.
            await issue_log.record(engine, client=client, parcel_id=plot_id, document=args.kind,
                                   particulars={k: (v or "").strip() for k, v in fields.items()}, pdf=pdf)
            outputs.write_atomically(folder / filename, pdf)
            row["file_name"] = filename
        except PlanError as e:
            row.update(status=f"error {e.status_code}", error=e.detail)
        except Exception as e:  # noqa: BLE001 - one parcel's failure is reported in the index; the batch goes on
            row.update(status="error", error=f"{type(e).__name__}: {e}")
        rows[plot_id] = row
        state.mark(json.dumps(row))
        meter.update()

    finished = False
    queue = list(reversed(todo))

    async def worker() -> None:
        while queue:
            await one(*queue.pop())

    try:
        with logs.above_bars():
            await asyncio.gather(*(worker() for _ in range(max(1, args.workers))))
        finished = True
    finally:
        meter.close()
        drawer.close()
        state.close(finished)
        await database.dispose_engine()
    ordered = [rows[i] for i, _ in todo_all if i in rows]
    counts = {"plans": sum(r["status"] == "ok" for r in ordered), "failed": sum(r["status"] != "ok" for r in ordered),
              "done before": state.resumed}
    return ordered, counts, finished


def index_text(rows: list[dict]) -> str:
    out = io.StringIO()
    writer = csv.DictWriter(out, fieldnames=INDEX_FIELDS, lineterminator="\n")
    writer.writeheader()
    writer.writerows(rows)
    return out.getvalue()


def check_output(args: argparse.Namespace, zipped: bool, folder: Path, state_path: Path) -> None:
    output: Path = args.output
    if zipped:
        outputs.check_file(output, args.force)
    elif output.exists() and not output.is_dir():
        raise UsageError(f"-o {output} is not a folder; name a folder, or a file ending in .zip")
    elif output.is_dir() and any(output.iterdir()) and not (args.force or state_path.exists()):
        raise UsageError(f"{output} already holds files; pass --force to write over them")
    outputs.check_folder(folder)


def run(args: argparse.Namespace) -> int:
    import database  # noqa: F401  (loads services.env, TZ included)

    time.tzset()
    output: Path = args.output
    zipped = output.suffix.lower() == ".zip"
    folder = Path(f"{output}.parts") if zipped else output
    state_path = Path(f"{output}.state")
    if not args.zone:
        listed_ids(args)  # a bad id is reported before anything is loaded
    check_output(args, zipped, folder, state_path)
    started = time.monotonic()
    try:
        # The output is the summary below; what the drawing prints meanwhile belongs to the log.
        with logs.stdout_to_log("", meaning=logs.drawing_print):
            rows, counts, finished = asyncio.run(batch(args, folder, state_path))
    except KeyboardInterrupt:
        print(f"interrupted: progress kept in {state_path}; run the same command again to resume", file=sys.stderr)
        return 130
    index = index_text(rows)
    if zipped:
        temporary = outputs.temporary_beside(output)
        try:
            with zipfile.ZipFile(temporary, "w", zipfile.ZIP_DEFLATED) as archive:
                for row in rows:
                    if row["file_name"]:
                        archive.write(folder / row["file_name"], row["file_name"])
                archive.writestr("index.csv", index)
            outputs.put_in_place(temporary, output)
        except BaseException:
            temporary.unlink(missing_ok=True)
            raise
        shutil.rmtree(folder)
    else:
        outputs.write_atomically(output / "index.csv", index.encode())
    elapsed = time.monotonic() - started
    counts["time"] = f"{elapsed:.1f} s ({counts['plans'] * 60 / elapsed if elapsed else 0:.1f} plans/min)"
    counts["output"] = str(output) + ("" if zipped else "/") + " with index.csv"
    failed = counts["failed"]
    progress.summary(f"{args.kind} plans complete" + (f", {failed} failed" if failed else ""), counts)
    for row in rows:
        if row["status"] != "ok":
            print(f"  parcel {row['parcel_id']}: {row['error']}", file=sys.stderr)
    return 0 if finished and not failed else 1
