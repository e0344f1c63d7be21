from __future__ import annotations

import logging
import os
import sys

_FORMAT = "%(asctime)s %(levelname)s %(name)s: %(message)s"


def get_logger(name: str = "ravn") -> logging.Logger:
    logger = logging.getLogger(name)
    if not any(getattr(h, "_ravn", False) for h in logger.handlers):
        handler = logging.StreamHandler(sys.stderr)
        handler.setFormatter(logging.Formatter(_FORMAT))
        handler._ravn = True
        logger.addHandler(handler)
        logger.setLevel(os.environ.get("LOG_LEVEL", "INFO").upper())
        # Our handler already prints it; the server's root handlers would repeat it.
        logger.propagate = False
    return logger
