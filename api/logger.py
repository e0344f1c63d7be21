from __future__ import annotations

import logging
import os
import sys

_FORMAT = "%(asctime)s %(levelname)s %(name)s: %(message)s"


def get_logger(name: str = "landrecords") -> logging.Logger:
    # The host's own logger: not "ravn", whose children are the modules' loggers
    # ("ravn.tessera"), which would then stop reaching the root handlers.
    logger = logging.getLogger(name)
    if not any(getattr(h, "_ravn", False) for h in logger.handlers):
        handler = logging.StreamHandler(sys.stderr)
        handler.setFormatter(logging.Formatter(_FORMAT))
        handler._ravn = True  # type: ignore[attr-defined]
        logger.addHandler(handler)
        logger.setLevel(os.environ.get("LOG_LEVEL", "INFO").upper())
        # Our handler already prints it; the server's root handlers would repeat it.
        logger.propagate = False
    return logger
