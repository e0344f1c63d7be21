"""What a plan request must satisfy before the database is asked or anything drawn.

Kept free of the drawing modules (slow to load, and chatty when they do), so that
the command line answers a bad argument at once, in one line.
"""
from __future__ import annotations

import unicodedata

DEED_FIELDS = ("person_name", "district", "cadzone", "file_no")
# Parcel ids are PostgreSQL integers: a larger one names no parcel.
PARCEL_ID_MAX = 2**31 - 1


class PlanError(Exception):
    """A plan that cannot be made, with the HTTP status that says why."""

    def __init__(self, status_code: int, detail: str):
        super().__init__(detail)
        self.status_code = status_code
        self.detail = detail

    def __reduce__(self):
        # It crosses from the drawing process to the worker that answers.
        return PlanError, (self.status_code, self.detail)


def parcel_id(text: str) -> int:
    """The parcel id in a path or on the command line: plain ASCII decimal digits only
    (int() would also take "+1", "1_0", " 1" and other scripts' digits). 422 for anything
    else, 404 for a number no parcel can have."""
    if not (text.isascii() and text.isdigit()):
        raise PlanError(422, f"Parcel id must be a decimal number, not {text[:40]!r}")
    digits = text.lstrip("0") or "0"
    if len(digits) > len(str(PARCEL_ID_MAX)) or int(digits) > PARCEL_ID_MAX:
        raise PlanError(404, f"Parcel {digits if len(digits) <= 40 else digits[:40] + '...'} not found")
    return int(digits)


def check_deed_fields(**fields: str | None) -> dict[str, str]:
    missing = [name for name in DEED_FIELDS if not (fields.get(name) or "").strip()]
    if missing:
        raise PlanError(422, "Missing deed plan field(s): " + ", ".join(missing))
    present = {name: fields[name] or "" for name in DEED_FIELDS}
    for name in DEED_FIELDS:
        # The register stores the particulars as jsonb, which refuses NUL; no control
        # character belongs on a certificate anyway.
        bad = next((c for c in present[name] if unicodedata.category(c) == "Cc"), None)
        if bad is not None:
            raise PlanError(422, f"Deed plan field {name} contains a control character (U+{ord(bad):04X})")
    return {name: present[name].strip() for name in DEED_FIELDS}
