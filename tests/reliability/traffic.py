"""Paced HTTP clients, each from a loopback address of its own, recording every answer."""
from __future__ import annotations

import asyncio
import time
from dataclasses import dataclass

import httpx


@dataclass
class Answer:
    address: str
    path: str
    started: float  # time.monotonic()
    seconds: float
    status: int | str  # the HTTP status, or the name of the transport error


async def paced(base: str, address: str, paths: list[str], per_second: float, stop: asyncio.Event,
                answers: list[Answer], timeout: float = 30.0) -> None:
    """GETs `paths` round-robin at `per_second` until `stop` is set (a late answer does not
    make the next ones come faster than the pace allows in any one-second window)."""
    loop = asyncio.get_running_loop()
    interval = 1.0 / per_second
    transport = httpx.AsyncHTTPTransport(local_address=address)
    async with httpx.AsyncClient(base_url=base, transport=transport, timeout=timeout) as client:
        due = loop.time()
        i = 0
        while not stop.is_set():
            path = paths[i % len(paths)]
            started = time.monotonic()
            try:
                status: int | str = (await client.get(path)).status_code
            except httpx.HTTPError as error:
                status = type(error).__name__
            answers.append(Answer(address, path, started, time.monotonic() - started, status))
            i += 1
            due = max(due + interval, loop.time())
            try:
                await asyncio.wait_for(stop.wait(), timeout=max(0.0, due - loop.time()))
            except asyncio.TimeoutError:
                pass


async def burst(base: str, address: str, path: str, count: int, window: float = 0.8) -> list[int]:
    """`count` requests from `address` inside one rate-limit window (retried if they straddled two)."""
    transport = httpx.AsyncHTTPTransport(local_address=address)
    async with httpx.AsyncClient(base_url=base, transport=transport, timeout=30) as client:
        for _ in range(5):
            await asyncio.sleep(1.1)  # whatever this address counted before has expired
            started = time.monotonic()
            codes = [(await client.get(path)).status_code for _ in range(count)]
            if time.monotonic() - started < window:
                return codes
    raise AssertionError("could not send the burst inside one second")


async def health(base: str, path: str = "/gis/health/") -> dict:
    async with httpx.AsyncClient(base_url=base, timeout=10) as client:
        return (await client.get(path)).json()


async def wait_for_cache_status(base: str, wanted: str, within: float) -> float:
    """Seconds until the router's health probe reports `wanted` as its cache status."""
    started = time.monotonic()
    while True:
        if (await health(base))["cache_status"] == wanted:
            return time.monotonic() - started
        if time.monotonic() - started > within:
            raise AssertionError(f"cache status did not become {wanted!r} within {within} s")
        await asyncio.sleep(0.2)


def statuses(answers: list[Answer]) -> dict:
    counts: dict = {}
    for answer in answers:
        counts[answer.status] = counts.get(answer.status, 0) + 1
    return counts
