"""The soak and the bench scripts' smoke runs: measurements, run by bench/run_all.py
(`python -m pytest bench/soak`), not by CI. They use the reliability tests' fixtures."""
from tests.reliability.conftest import data_tiles, pg, private_pg, redis_server, serve  # noqa: F401
