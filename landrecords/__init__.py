"""Command-line tools of the land-records service: `python -m landrecords <command> ...`.

Each command is a module of this package with a `register(subparsers)` function, listed in
COMMANDS in `landrecords.cli`; what the commands share (areas, the resumable tile job,
progress, checked outputs, errors, the log) is in `landrecords.jobs`.
"""
from __future__ import annotations

import sys
import warnings
from pathlib import Path

# The tools run the host application's own code (database, models, plans), which lives in api/.
API_DIR = Path(__file__).resolve().parent.parent / "api"
if str(API_DIR) not in sys.path:
    sys.path.insert(0, str(API_DIR))

# shapely 2.2 deprecates a call the map module keeps (callers may patch it); not the user's concern.
warnings.filterwarnings("ignore", message=r"The 'shapely\.ops\.transform\(\)' function is deprecated",
                        category=DeprecationWarning)
