"""Per-client request limits of the host's own routes (plans, the plan register, search).

The tile router keeps its own limiter; the host's routes share this one. A counter
lives in Redis so that every worker and server sees the same count. INCR and
`EXPIRE ... NX` go in one MULTI: a count can never be left without a lifetime (a
stall between two separate commands would otherwise lock the client out for good).
"""
from __future__ import annotations

from fastapi import HTTPException

from logger import get_logger

log = get_logger()


async def count(redis, key: str, window_seconds: int) -> int:
    """Counts one request under `key` in a window of `window_seconds`; returns the count.
    Raises whatever the Redis client raises."""
    async with redis.pipeline(transaction=True) as pipe:
        pipe.incr(key)
        pipe.expire(key, window_seconds, nx=True)
        counted, _ = await pipe.execute()
    return int(counted)


async def enforce(redis, scope: str, client: str, limit: int, window_seconds: int, detail: str) -> None:
    """429 once `client` has made more than `limit` requests of `scope` in the window.
    A cache outage lets the request through: the registry's work does not stop for it."""
    try:
        seen = await count(redis, f"rate_limit:{scope}:{client}", window_seconds)
    except Exception as e:  # noqa: BLE001 - any cache failure admits the request
        log.warning("%s rate limit check failed: %s", scope.capitalize(), e)
        return
    if seen > limit:
        raise HTTPException(status_code=429, detail=detail, headers={"Retry-After": str(window_seconds)})
