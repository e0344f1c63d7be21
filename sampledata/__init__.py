"""Deterministic synthetic cadastral data for development, tests and benchmarks.

    python -m sampledata --parcels 400 --seed 1 --database ravn_test

or from Python: ``sampledata.load("ravn_test", parcels=400, seed=1)``.
"""
from .generator import COLUMNS, Dataset, bearing_dms, generate
from .loader import LoadResult, load, load_async
from .settings import database_dsn, settings

__all__ = [
    "COLUMNS",
    "Dataset",
    "LoadResult",
    "bearing_dms",
    "database_dsn",
    "generate",
    "load",
    "load_async",
    "settings",
]
