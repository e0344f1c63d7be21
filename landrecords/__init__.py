"""Command-line tools of the land-records service: `python -m landrecords <command> ...`.

Each command is a module of this package with a `register(subparsers)` function, listed in
COMMANDS in `landrecords.cli`; what the commands share (areas, the resumable tile job,
progress, checked outputs, errors, the log) is in `landrecords.jobs`.
"""
from __future__ import annotations

import os
import sys
import time
import warnings
from pathlib import Path

# The tools run the host application's own code (database, models, plans), which lives in api/.
API_DIR = Path(__file__).resolve().parent.parent / "api"
if str(API_DIR) not in sys.path:
    sys.path.insert(0, str(API_DIR))

# The registry's time zone (services.env's, unless the environment sets one) from the start,
# so that every log line of a run, the first included, is in the zone the plans are dated in.
if "TZ" not in os.environ:
    from dotenv import dotenv_values

    _zone = dotenv_values(API_DIR.parent / "services.env").get("TZ")
    if _zone:
        os.environ["TZ"] = _zone
time.tzset()

# shapely 2.2 deprecates a call the map module keeps (callers may patch it); not the user's concern.
warnings.filterwarnings("ignore", message=r"The 'shapely\.ops\.transform\(\)' function is deprecated",
                        category=DeprecationWarning)
