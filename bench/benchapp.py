"""The host application as the benchmarks serve it: the application itself, plus, under
the same middleware, the hit floor (/floor, bench/hitfloor.py) and the tile endpoint's
steps in plain Python (/py, bench/pyrouter.py) on the same Redis client, keys and
session dependency. Run as `uvicorn benchapp:app` with api/ and bench/ on the path;
the application never imports this."""
from __future__ import annotations

import inspect

from fastapi import APIRouter
from fastapi.responses import Response

import hitfloor
import pyrouter
from main import app
from ravn import tessera

try:
    from service import direct
except ImportError:  # a checkout from before the tile route was served directly (hostcost.py --baseline)
    direct = None


def python_router() -> APIRouter:
    """pyrouter.get_tile_xyz, routed as the native endpoint is: same path template,
    same signature (so FastAPI solves the same parameters and dependency), same cache."""
    pyrouter.LAYER_CONFIG = dict(tessera.LAYER_CONFIG)
    pyrouter.redis_client = tessera.redis_client
    pyrouter.cache = pyrouter.BinaryRedisCache(tessera.redis_client, namespace="mvt_v8")
    pyrouter.get_tile_xyz.__signature__ = inspect.signature(tessera.get_tile_xyz)
    router = APIRouter(prefix="/py")
    router.get("/{layer_name}/{z}/{x}/{y}.pbf", response_class=Response)(pyrouter.get_tile_xyz)
    return router


def _serves(entry, endpoint) -> bool:
    routes = getattr(getattr(entry, "original_router", None), "routes", None) or [entry]
    return any(getattr(r, "endpoint", None) is endpoint for r in routes)


# Right after the tile route in the application's list: the three are found after walking
# the same routes, and each is served directly where the tile route is (service.direct).
_routes = app.router.routes
_before = len(_routes)
for _router in (hitfloor.router, python_router()):
    for _route in _router.routes:
        if direct is not None:
            direct.serve_directly(app, _route)
    app.include_router(_router)
_added = _routes[_before:]
del _routes[_before:]
_after = max(i for i, entry in enumerate(_routes) if _serves(entry, tessera.get_tile_xyz)) + 1
_routes[_after:_after] = _added
