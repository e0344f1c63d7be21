"""What FastAPI's handling of a session dependency costs per request: a minimal app in the
process, one route per way of handing out a session that is released after the answer.

    python bench/dependency_cost.py [--n 5000] [--repeats 5]

- none: no dependency (the floor);
- generator: an async generator dependency (context manager, cancel scope, exit stack);
- exit stack: a coroutine that pushes the release on FastAPI's per-request exit stack;
- middleware: a coroutine whose session an ASGI middleware releases (what api/database.py does)."""
from __future__ import annotations

import argparse
import asyncio
import time

from fastapi import Depends, FastAPI, Request, Response


class Session:
    """Stands in for an unused AsyncSession: nothing to close."""


IDLE = [Session() for _ in range(4)]


async def generator():
    session = IDLE.pop()
    try:
        yield session
    finally:
        IDLE.append(session)


async def _back(session):
    IDLE.append(session)


async def exit_stack(request: Request):
    session = IDLE.pop()
    request.scope["fastapi_inner_astack"].push_async_callback(_back, session)
    return session


async def scoped(request: Request):
    session = IDLE.pop()
    request.scope["bench.sessions"].append(session)
    return session


def released(app):
    async def middleware(scope, receive, send):
        held = scope["bench.sessions"] = []
        try:
            await app(scope, receive, send)
        finally:
            IDLE.extend(held)
    return middleware


def build():
    app = FastAPI()
    for name, dependency in (("generator", generator), ("exit-stack", exit_stack), ("middleware", scoped)):
        async def endpoint(layer: str, z: int, request: Request, db=Depends(dependency)):
            return Response(b"x" * 10, media_type="application/octet-stream")
        app.get(f"/{name}/{{layer}}/{{z}}", response_class=Response)(endpoint)

    async def bare(layer: str, z: int, request: Request):
        return Response(b"x" * 10, media_type="application/octet-stream")
    app.get("/none/{layer}/{z}", response_class=Response)(bare)
    return released(app)


async def per_request(app, path, n):
    scope = {"type": "http", "asgi": {"version": "3.0"}, "http_version": "1.1", "method": "GET", "scheme": "http",
             "path": path, "raw_path": path.encode(), "query_string": b"", "root_path": "",
             "headers": [(b"host", b"t")], "client": ("10.0.0.1", 1), "server": ("t", 80)}

    async def receive():
        return {"type": "http.request", "body": b"", "more_body": False}

    async def send(message):
        pass

    started = time.process_time()
    for _ in range(n):
        await app(dict(scope), receive, send)
    return (time.process_time() - started) / n * 1e6


async def measure(n, repeats):
    app = build()
    names = ("none", "generator", "exit-stack", "middleware")
    best = {name: float("inf") for name in names}
    for _ in range(repeats):
        for name in names:
            best[name] = min(best[name], await per_request(app, f"/{name}/plots/16", n))
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=5000)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    best = asyncio.run(measure(args.n, args.repeats))
    print(f"# FastAPI's handling of a session dependency, {args.n} requests, best of {args.repeats}")
    print("| dependency | CPU µs per request | over none |")
    print("|---|---:|---:|")
    for name, cost in best.items():
        print(f"| {name} | {cost:.1f} | {cost - best['none']:+.1f} |")


if __name__ == "__main__":
    main()
