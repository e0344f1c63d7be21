"""What clients of a tile server expect from the host around the router: compression,
ETags, CORS, metrics, and API documentation that works without internet."""
from __future__ import annotations

import gzip
import hashlib
import os
import time
import importlib.util
from importlib.resources import files
from pathlib import Path

from fastapi import FastAPI, Request
from fastapi.openapi.docs import get_redoc_html, get_swagger_ui_html, get_swagger_ui_oauth2_redirect_html
from fastapi.responses import FileResponse, HTMLResponse, JSONResponse, Response
from fastapi.staticfiles import StaticFiles
from prometheus_client import CONTENT_TYPE_LATEST, CollectorRegistry, Counter, Gauge, Histogram, generate_latest
from starlette.datastructures import Headers, MutableHeaders
from starlette.middleware.cors import CORSMiddleware
from starlette.types import ASGIApp, Message, Receive, Scope, Send

TILE_TYPE = "application/vnd.mapbox-vector-tile"
# Answers worth compressing; PDFs and images are already packed.
COMPRESSIBLE = (TILE_TYPE, "application/json", "text/", "application/javascript")
DOCS_ASSETS = "/docs-assets"
STATIC_DIR = Path(__file__).resolve().parent / "static"


class HttpCaching:
    """Gzip for tiles and JSON, with a strong ETag on tiles and 304 for a matching If-None-Match.

    Compression is deterministic (no time stamp in the gzip header), so a tile's
    compressed body, and with it its ETag, is the same on every answer; the plain
    and the compressed body are different representations with different ETags."""

    def __init__(self, app: ASGIApp, level: int, minimum_size: int) -> None:
        self.app, self.level, self.minimum_size = app, level, minimum_size

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        request = Headers(scope=scope)
        accepts_gzip = self.level > 0 and "gzip" in request.get("accept-encoding", "").lower()
        if_none_match = request.get("if-none-match")
        start: Message | None = None
        chunks: list[bytes] = []

        async def buffered(message: Message) -> None:
            nonlocal start
            if message["type"] == "http.response.start":
                content_type = Headers(raw=message.get("headers", [])).get("content-type", "")
                if content_type.startswith(COMPRESSIBLE):
                    start = message
                    return
            elif message["type"] == "http.response.body" and start is not None:
                chunks.append(message.get("body", b""))
                if not message.get("more_body", False):
                    await self._answer(send, start, b"".join(chunks), accepts_gzip, if_none_match)
                return
            await send(message)

        await self.app(scope, receive, buffered)

    async def _answer(self, send: Send, start: Message, body: bytes, accepts_gzip: bool,
                      if_none_match: str | None) -> None:
        headers = MutableHeaders(raw=start.setdefault("headers", []))
        if self.level > 0:
            headers.add_vary_header("Accept-Encoding")
        if accepts_gzip and len(body) >= self.minimum_size and "content-encoding" not in headers:
            body = gzip.compress(body, compresslevel=self.level, mtime=0)
            headers["Content-Encoding"] = "gzip"
        if body or "content-length" in headers:
            headers["Content-Length"] = str(len(body))
        if start["status"] == 200 and headers.get("content-type", "").startswith(TILE_TYPE):
            etag = '"' + hashlib.blake2b(body, digest_size=16).hexdigest() + '"'
            headers["ETag"] = etag
            if if_none_match is not None and _matches(if_none_match, etag):
                for name in ("content-length", "content-type", "content-encoding"):
                    del headers[name]
                await send({**start, "status": 304})
                await send({"type": "http.response.body", "body": b""})
                return
        await send(start)
        await send({"type": "http.response.body", "body": body})


def _matches(if_none_match: str, etag: str) -> bool:
    # If-None-Match compares weakly: W/"x" matches "x".
    tags = [t.strip().removeprefix("W/") for t in if_none_match.split(",")]
    return "*" in tags or etag in tags


class Metrics:
    """Request counts and latencies by route template (a tile path would make a series per tile),
    and tile-cache hits among the tiles answered with 200."""

    def __init__(self, app: ASGIApp, registry: CollectorRegistry) -> None:
        self.app = app
        self.requests = Counter("http_requests", "HTTP requests answered", ["method", "route", "status"],
                                registry=registry)
        self.latency = Histogram("http_request_duration_seconds", "Time to answer an HTTP request",
                                 ["method", "route"], registry=registry,
                                 buckets=(0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 15))
        self.tiles = Counter("tile_answers", "Tiles answered with 200, by whether they came from the cache",
                             ["cache"], registry=registry)
        ratio = Gauge("tile_cache_hit_ratio", "Share of 200 tile answers served from the cache",
                      registry=registry)
        ratio.set_function(self.hit_ratio)

    def hit_ratio(self) -> float:
        hits = self.tiles.labels("hit")._value.get()
        total = hits + self.tiles.labels("miss")._value.get()
        return hits / total if total else 0.0

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        began = time.perf_counter()
        status = 500

        async def observed(message: Message) -> None:
            nonlocal status
            if message["type"] == "http.response.start":
                status = message["status"]
                headers = Headers(raw=message.get("headers", []))
                if status == 200 and headers.get("content-type", "").startswith(TILE_TYPE):
                    # A tile built just now carries no X-Cache; a bounding-box tile says MISS.
                    self.tiles.labels("hit" if headers.get("x-cache") == "HIT" else "miss").inc()
            await send(message)

        try:
            await self.app(scope, receive, observed)
        finally:
            route = getattr(scope.get("route"), "path", None) or "unmatched"
            self.requests.labels(scope["method"], route, str(status)).inc()
            self.latency.labels(scope["method"], route).observe(time.perf_counter() - began)


def cors_origins() -> list[str]:
    """CORS_ORIGINS: comma-separated origins allowed to call the service from a browser ("*" for any)."""
    return [o.strip() for o in os.environ.get("CORS_ORIGINS", "").split(",") if o.strip()]


def maplibre_assets() -> Path:
    """The web-map library's script and style, shipped by the `maplibre` package."""
    # find_spec locates the package without importing it (its import logs about optional bindings).
    spec = importlib.util.find_spec("maplibre")
    if spec is None or not spec.submodule_search_locations:
        raise RuntimeError("the viewer needs the maplibre package (pip install maplibre)")
    return Path(next(iter(spec.submodule_search_locations))) / "srcjs"


def install_viewer(app: FastAPI, index: dict) -> None:
    """The map viewer at /, its files under /static; `index` stays at /api, and at / for JSON clients."""
    app.mount("/static/maplibre", StaticFiles(directory=str(maplibre_assets())), name="maplibre")
    app.mount("/static", StaticFiles(directory=str(STATIC_DIR)), name="static")

    @app.get("/", include_in_schema=False, response_model=None)
    async def viewer(request: Request) -> Response:
        accept = request.headers.get("accept", "")
        if "application/json" in accept and "text/html" not in accept:
            return JSONResponse(index)
        return FileResponse(STATIC_DIR / "index.html", media_type="text/html")

    @app.get("/verify", include_in_schema=False)
    async def verify_page() -> FileResponse:
        return FileResponse(STATIC_DIR / "verify.html", media_type="text/html")

    @app.get("/favicon.ico", include_in_schema=False)
    async def favicon() -> FileResponse:
        return FileResponse(STATIC_DIR / "favicon.svg", media_type="image/svg+xml")

    @app.get("/api")
    async def api_index() -> dict:
        """Where the service's parts are."""
        return index


def install(app: FastAPI, *, gzip_level: int, gzip_minimum_size: int) -> CollectorRegistry:
    """Adds documentation, /metrics and the middleware; build the app with docs_url=None, redoc_url=None."""
    assets = files("fastapi_offline") / "static"
    app.mount(DOCS_ASSETS, StaticFiles(directory=str(assets)), name="docs-assets")

    @app.get("/docs", include_in_schema=False)
    async def swagger_ui() -> HTMLResponse:
        return get_swagger_ui_html(openapi_url=app.openapi_url or "/openapi.json", title=f"{app.title} - docs",
                                   swagger_js_url=f"{DOCS_ASSETS}/swagger-ui-bundle.js",
                                   swagger_css_url=f"{DOCS_ASSETS}/swagger-ui.css",
                                   swagger_favicon_url=f"{DOCS_ASSETS}/favicon.png",
                                   oauth2_redirect_url="/docs/oauth2-redirect")

    @app.get("/docs/oauth2-redirect", include_in_schema=False)
    async def swagger_ui_redirect() -> HTMLResponse:
        return get_swagger_ui_oauth2_redirect_html()

    @app.get("/redoc", include_in_schema=False)
    async def redoc() -> HTMLResponse:
        return get_redoc_html(openapi_url=app.openapi_url or "/openapi.json", title=f"{app.title} - ReDoc",
                              redoc_js_url=f"{DOCS_ASSETS}/redoc.standalone.js",
                              redoc_favicon_url=f"{DOCS_ASSETS}/favicon.png", with_google_fonts=False)

    registry = CollectorRegistry()

    @app.get("/metrics", include_in_schema=False)
    async def metrics(request: Request) -> Response:
        return Response(generate_latest(registry), media_type=CONTENT_TYPE_LATEST)

    # Added last, runs first: CORS answers preflights before anything is counted or compressed.
    app.add_middleware(HttpCaching, level=gzip_level, minimum_size=gzip_minimum_size)
    app.add_middleware(Metrics, registry=registry)
    if origins := cors_origins():
        app.add_middleware(CORSMiddleware, allow_origins=origins, allow_methods=["GET", "HEAD", "OPTIONS"],
                           allow_headers=["*"], expose_headers=["ETag", "X-Cache", "Cache-Control"])
    return registry
