"""The router as FastAPI sees it: routes, parameters, precedence, validation."""
from __future__ import annotations

import asyncio
import inspect

import httpx
import pytest
from fastapi import FastAPI

ROUTES = [
    ("GET", "/gis/{layer_name}/{z}/{x}/{y}.pbf", "get_tile_xyz", "Serve vector tiles with proper zoom-out support."),
    ("GET", "/gis/{layer_name}/zoom-info/", "get_layer_zoom_info", "Get zoom level information for a layer."),
    ("GET", "/gis/{layer_name}/bbox/", "get_tile_bbox", "Serve vector tiles for custom bounding box."),
    ("GET", "/gis/{layer_name}/", "get_central_tile_info", "Get layer centroid and suggested tile coordinates."),
    ("GET", "/gis/layers/", "get_available_layers", "Get list of available layers and their configurations."),
    ("POST", "/gis/cache/invalidate/{layer_name}", "invalidate_cache_endpoint",
     "Manually invalidate cache for a specific layer.\n    Useful after bulk data updates or for testing."),
    ("GET", "/gis/health/", "health_check", "Health check endpoint for monitoring."),
]


@pytest.fixture(scope="module")
def app(tessera):
    app = FastAPI()
    app.include_router(tessera.tesseraApi)
    return app


def test_endpoints_are_coroutine_functions_with_their_docstrings(tessera):
    for _, _, name, doc in ROUTES:
        endpoint = getattr(tessera, name)
        assert asyncio.iscoroutinefunction(endpoint), name
        assert (endpoint.__name__, endpoint.__qualname__, endpoint.__module__, endpoint.__doc__) == (
            name, name, "ravn.tessera", doc)
    signature = inspect.signature(tessera.get_tile_bbox)
    assert list(signature.parameters) == ["layer_name", "minx", "miny", "maxx", "maxy", "srid", "max_features",
                                          "simplify", "request", "db"]
    assert signature.parameters["srid"].default.default == 4326
    assert signature.parameters["minx"].default.description == "Bounding box minimum X"
    assert signature.parameters["db"].default.dependency is tessera.get_db


def test_openapi_lists_the_seven_routes(app):
    spec = app.openapi()
    listed = {(method.upper(), path) for path, ops in spec["paths"].items() for method in ops}
    assert listed == {(method, path) for method, path, _, _ in ROUTES}
    bbox = spec["paths"]["/gis/{layer_name}/bbox/"]["get"]
    params = {p["name"]: p for p in bbox["parameters"]}
    assert list(params) == ["layer_name", "minx", "miny", "maxx", "maxy", "srid", "max_features", "simplify"]
    assert [params[n]["required"] for n in ("minx", "srid")] == [True, False]
    assert params["max_features"]["schema"]["default"] == 5000 and params["simplify"]["schema"]["default"] is True
    assert params["srid"]["description"] == "SRID of input bbox"
    xyz = spec["paths"]["/gis/{layer_name}/{z}/{x}/{y}.pbf"]["get"]
    assert [(p["name"], p["in"], p["schema"]["type"]) for p in xyz["parameters"]] == [
        ("layer_name", "path", "string"), ("z", "path", "integer"), ("x", "path", "integer"), ("y", "path", "integer")]


def first_match(router, method, path):
    """The route Starlette would pick: the first that fully matches."""
    from starlette.routing import Match

    scope = {"type": "http", "method": method, "path": path, "root_path": ""}
    for route in router.routes:
        match, child = route.matches(scope)
        if match == Match.FULL:
            return route.name, child.get("path_params")
    return None


async def test_static_paths_win_and_validation_rejects(app, tessera):
    router = tessera.tesseraApi
    assert first_match(router, "GET", "/gis/layers/") == ("get_available_layers", {})
    assert first_match(router, "GET", "/gis/health/") == ("health_check", {})
    assert first_match(router, "GET", "/gis/lgas/") == ("get_central_tile_info", {"layer_name": "lgas"})
    assert first_match(router, "GET", "/gis/plots/14/9000/8000.pbf") == (
        "get_tile_xyz", {"layer_name": "plots", "z": "14", "x": "9000", "y": "8000"})
    async with httpx.AsyncClient(transport=httpx.ASGITransport(app=app), base_url="http://t") as client:
        assert (await client.get("/gis/plots/14/abc/8000.pbf")).status_code == 422
        assert (await client.get("/gis/plots/bbox/?miny=1&maxx=2&maxy=3")).status_code == 422


async def test_bbox_defaults_reach_the_endpoint(app, tessera, fake_redis):
    from tests.fakes import FakeResult, FakeSession, row

    session = FakeSession(FakeResult(row=row(min_x=1.0, min_y=2.0, max_x=3.0, max_y=4.0)), FakeResult(b"tile"))
    app.dependency_overrides[tessera.get_db] = lambda: session
    try:
        async with httpx.AsyncClient(transport=httpx.ASGITransport(app=app), base_url="http://t") as client:
            response = await client.get("/gis/plots/bbox/?minx=7.5&miny=6.4&maxx=7.51&maxy=6.41")
    finally:
        app.dependency_overrides.clear()
    assert response.status_code == 200 and response.content == b"tile"
    assert session.statements[0][1]["input_srid"] == 4326
    assert "mvt_v8:bbox:plots:1:2:3:4:5000:True" in fake_redis.store
