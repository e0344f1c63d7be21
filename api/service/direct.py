"""Cached tiles without FastAPI's per-request parameter solving.

A map asks for tiles far more than for anything else, and on a cached tile FastAPI's own
work (walking the routes, validating each path parameter through its field model,
solving the session dependency) costs more than the router and Redis together. A
`DirectRoute` serves the requests of one GET route whose parameters are all plain: path
parameters typed `int` or `str`, the `Request`, and the host's `get_db` session. It sits
just before that route and takes only requests whose answer it gives exactly as FastAPI
would: digits where an `int` is declared (anything else falls through to the route, whose
validation answers 422 as before), no dependency overrides, no root path, the session
scope present. Errors the endpoint raises go to the application's exception handlers, as
they do from the route. The route itself stays, for everything else and for the schema."""
from __future__ import annotations

import inspect
import re
from typing import Callable

from fastapi import params
from fastapi.routing import APIRoute
from starlette.requests import Request
from starlette.responses import Response
from starlette.routing import BaseRoute, Match, NoMatchFound
from starlette.types import Receive, Scope, Send

from database import SESSIONS, get_db

# An int path parameter the fast path converts itself; longer digit strings (and any
# other text) go to the route, whose validation decides.
_INT = "[0-9]{1,18}"
_PARAMETER = re.compile(r"{([A-Za-z_][A-Za-z0-9_]*)}")


def _plan(route: APIRoute) -> tuple[re.Pattern, tuple, str | None, str | None] | None:
    """The route's path as a pattern, its int parameters, and the names that take the
    request and the session; None when the route is not plain enough to serve directly."""
    if route.methods != {"GET"} or route.dependencies:
        return None
    in_path = _PARAMETER.findall(route.path_format)
    integers, request_name, session_name, typed = [], None, None, {}
    for name, parameter in inspect.signature(route.endpoint, eval_str=True).parameters.items():
        default, annotation = parameter.default, parameter.annotation
        if isinstance(default, params.Depends):
            if default.dependency is not get_db or session_name:
                return None
            session_name = name
        elif isinstance(annotation, type) and issubclass(annotation, Request) and default is inspect.Parameter.empty:
            request_name = name
        elif name in in_path and annotation in (int, str) and default is inspect.Parameter.empty:
            typed[name] = annotation
            if annotation is int:
                integers.append(name)
        else:
            return None
    if set(typed) != set(in_path) or len(in_path) != len(set(in_path)):
        return None
    pattern, end = "", 0
    for found in _PARAMETER.finditer(route.path_format):
        kind = _INT if typed[found.group(1)] is int else "[^/]+"
        pattern += re.escape(route.path_format[end:found.start()]) + f"(?P<{found.group(1)}>{kind})"
        end = found.end()
    pattern += re.escape(route.path_format[end:])
    return re.compile(pattern), tuple(integers), request_name, session_name


class DirectRoute(BaseRoute):
    """Serves the plain requests of one GET route (see the module's text)."""

    def __init__(self, route: APIRoute, overrides: Callable[[], dict]) -> None:
        plan = _plan(route)
        if plan is None:
            raise ValueError(f"route {route.path} has parameters that only FastAPI can solve")
        self.route, self.endpoint, self.overrides = route, route.endpoint, overrides
        self.pattern, self.integers, self.request_name, self.session_name = plan

    def matches(self, scope: Scope) -> tuple[Match, Scope]:
        if (scope["type"] != "http" or scope["method"] != "GET" or scope.get("root_path")
                or SESSIONS not in scope or "fastapi.telemetry" in scope or self.overrides()):
            return Match.NONE, {}
        found = self.pattern.fullmatch(scope["path"])
        if found is None:
            return Match.NONE, {}
        # As Starlette leaves them: text, merged with any of an enclosing mount, converted only for the call.
        path_params = {**scope.get("path_params", {}), **found.groupdict()}
        return Match.FULL, {"endpoint": self.endpoint, "route": self.route, "path_params": path_params}

    def url_path_for(self, name: str, /, **path_params):
        raise NoMatchFound(name, path_params)  # URLs are the route's, which comes next

    async def handle(self, scope: Scope, receive: Receive, send: Send) -> None:
        path_params = scope["path_params"]
        values: dict = {name: path_params[name] for name in self.pattern.groupindex}
        for name in self.integers:
            values[name] = int(values[name])
        request = Request(scope, receive, send)
        if self.request_name:
            values[self.request_name] = request
        if self.session_name:
            values[self.session_name] = await get_db(request)
        response = await self.endpoint(**values)
        if not isinstance(response, Response):
            raise TypeError(f"{self.route.path} answered {type(response).__name__}, not a Response")
        await response(scope, receive, send)


def serve_directly(application, route: BaseRoute) -> bool:
    """Puts a DirectRoute for `route` at the end of the application's routes (so just
    before the route when it is included next); False, and nothing added, when the
    route's parameters need FastAPI."""
    if not isinstance(route, APIRoute):
        return False
    try:
        direct = DirectRoute(route, lambda: application.dependency_overrides)
    except ValueError:
        return False
    application.router.routes.append(direct)
    return True
