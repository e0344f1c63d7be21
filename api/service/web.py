"""What clients of a tile server expect from the host around the router: compression,
ETags, CORS, metrics, and API documentation that works without internet."""
from __future__ import annotations

import gzip
import hashlib
import os
from time import perf_counter
import importlib.util
from importlib.resources import files
from pathlib import Path

from fastapi import FastAPI, Request
from fastapi.openapi.docs import get_redoc_html, get_swagger_ui_html, get_swagger_ui_oauth2_redirect_html
from fastapi.responses import FileResponse, HTMLResponse, JSONResponse, Response
from fastapi.staticfiles import StaticFiles
from prometheus_client import CONTENT_TYPE_LATEST, CollectorRegistry, Counter, Gauge, Histogram, generate_latest
from starlette.middleware.cors import CORSMiddleware
from starlette.types import ASGIApp, Message, Receive, Scope, Send

TILE_TYPE = "application/vnd.mapbox-vector-tile"
# Answers worth compressing; PDFs and images are already packed.
COMPRESSIBLE = (TILE_TYPE, "application/json", "text/", "application/javascript")
COMPRESSIBLE_BYTES = tuple(t.encode() for t in COMPRESSIBLE)
TILE_TYPE_BYTES = TILE_TYPE.encode()
DOCS_ASSETS = "/docs-assets"
STATIC_DIR = Path(__file__).resolve().parent / "static"


class CompressedTiles:
    """The compressed body and ETags of the tiles answered lately, so that a cached tile
    is compressed and hashed once rather than on every hit.

    An entry is found by a fingerprint of the raw body (its length and three short
    slices) and used only if its raw body is byte for byte the one being answered: a
    tile that changed (an edit, an invalidation) simply misses, and nothing stale can
    be served. Bounded by the bytes held, least recently used out first."""

    SLICE = 32

    def __init__(self, level: int, max_bytes: int, max_entry: int = 2 << 20) -> None:
        self.level, self.max_bytes, self.max_entry = level, max_bytes, max_entry
        self.entries: dict[tuple, list] = {}  # fingerprint -> entry (see _entry)
        self.held = 0

    def _key(self, raw: bytes) -> tuple:
        n, k = len(raw), self.SLICE
        middle = n // 2
        return n, raw[:k], raw[middle:middle + k], raw[-k:]

    def _entry(self, raw: bytes) -> list:
        """[raw, gzip body, gzip ETag, plain ETag, bytes held, kept]; kept entries are most recent last."""
        key = self._key(raw)
        entries = self.entries
        found = entries.pop(key, None)
        if found is not None and found[0] != raw:
            self.held -= found[4]
            found = None
        if found is None:
            kept = len(raw) <= self.max_entry
            found = [raw, None, None, None, len(raw) if kept else 0, kept]
            self.held += found[4]
        if found[5]:
            entries[key] = found
        return found

    def gzip(self, raw: bytes) -> tuple[bytes, bytes]:
        found = self._entry(raw)
        if found[1] is None:
            body = gzip.compress(raw, compresslevel=self.level, mtime=0)
            found[1], found[2] = body, _etag(body)
            self._grow(found, len(body))
        return found[1], found[2]

    def plain_etag(self, raw: bytes) -> bytes:
        found = self._entry(raw)
        if found[3] is None:
            found[3] = _etag(raw)
        self._grow(found, 0)
        return found[3]

    def _grow(self, found: list, added: int) -> None:
        if not found[5]:
            return
        found[4] += added
        self.held += added
        entries = self.entries
        while self.held > self.max_bytes and entries:
            self.held -= entries.pop(next(iter(entries)))[4]


def _etag(body: bytes) -> bytes:
    return b'"' + hashlib.blake2b(body, digest_size=16).hexdigest().encode() + b'"'


def _with(headers: list, updates: dict, dropped: tuple = ()) -> list:
    """The raw headers with each of `updates` set as MutableHeaders sets it (the first
    occurrence takes the value, later ones go, a new one goes last) and `dropped` left out."""
    out = []
    placed = set()
    for header in headers:
        name = header[0]
        if name in updates:
            if name not in placed:
                placed.add(name)
                out.append((name, updates[name]))
        elif name not in dropped:
            out.append(header)
    for name, value in updates.items():
        if name not in placed:
            out.append((name, value))
    return out


class HttpCaching:
    """Gzip for tiles and JSON, with a strong ETag on tiles and 304 for a matching If-None-Match.

    Compression is deterministic (no time stamp in the gzip header), so a tile's
    compressed body, and with it its ETag, is the same on every answer; the plain
    and the compressed body are different representations with different ETags.
    A tile's compressed body and ETags are kept (CompressedTiles); other answers
    are compressed as they come."""

    def __init__(self, app: ASGIApp, level: int, minimum_size: int, cache_bytes: int = 64 << 20) -> None:
        self.app, self.level, self.minimum_size = app, level, minimum_size
        self.tiles = CompressedTiles(level, cache_bytes)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        accept_encoding = if_none_match = None
        for name, value in scope["headers"]:
            if name == b"accept-encoding":
                if accept_encoding is None:
                    accept_encoding = value
            elif name == b"if-none-match":
                if if_none_match is None:
                    if_none_match = value
        accepts_gzip = self.level > 0 and accept_encoding is not None and b"gzip" in accept_encoding.lower()
        start: Message | None = None
        chunks: list[bytes] = []

        async def buffered(message: Message) -> None:
            nonlocal start
            if message["type"] == "http.response.start":
                for name, value in message.get("headers", ()):
                    if name == b"content-type":
                        if value.startswith(COMPRESSIBLE_BYTES):
                            start = message
                            return
                        break
            elif message["type"] == "http.response.body" and start is not None:
                chunks.append(message.get("body", b""))
                if not message.get("more_body", False):
                    await self._answer(send, start, b"".join(chunks), accepts_gzip, if_none_match)
                return
            await send(message)

        await self.app(scope, receive, buffered)

    async def _answer(self, send: Send, start: Message, body: bytes, accepts_gzip: bool,
                      if_none_match: bytes | None) -> None:
        headers = start.get("headers") or []
        content_type = b""
        vary: list[bytes] = []
        encoded = has_length = False
        for name, value in headers:
            if name == b"content-type":
                if not content_type:
                    content_type = value
            elif name == b"vary":
                vary.append(value)
            elif name == b"content-encoding":
                encoded = True
            elif name == b"content-length":
                has_length = True
        updates: dict[bytes, bytes] = {}
        if self.level > 0:
            updates[b"vary"] = b", ".join([*vary, b"Accept-Encoding"])
        tile = start["status"] == 200 and content_type.startswith(TILE_TYPE_BYTES)
        etag = None
        if accepts_gzip and len(body) >= self.minimum_size and not encoded:
            if tile:
                body, etag = self.tiles.gzip(body)
            else:
                body = gzip.compress(body, compresslevel=self.level, mtime=0)
            updates[b"content-encoding"] = b"gzip"
        elif tile:
            etag = self.tiles.plain_etag(body) if not encoded else _etag(body)
        if body or has_length:
            updates[b"content-length"] = str(len(body)).encode()
        if tile:
            assert etag is not None  # every tile path above sets it
            updates[b"etag"] = etag
            if if_none_match is not None and _matches(if_none_match, etag):
                for name in NOT_IN_304:
                    updates.pop(name, None)
                await send({**start, "status": 304, "headers": _with(headers, updates, NOT_IN_304)})
                await send({"type": "http.response.body", "body": b""})
                return
        start["headers"] = _with(headers, updates)
        await send(start)
        await send({"type": "http.response.body", "body": body})


NOT_IN_304 = (b"content-length", b"content-type", b"content-encoding")


def _matches(if_none_match: bytes | str, etag: bytes | str) -> bool:
    # If-None-Match compares weakly: W/"x" matches "x".
    if isinstance(if_none_match, bytes):
        if_none_match = if_none_match.decode("latin-1")
    if isinstance(etag, bytes):
        etag = etag.decode("latin-1")
    tags = [t.strip().removeprefix("W/") for t in if_none_match.split(",")]
    return "*" in tags or etag in tags


# Methods a route can be asked for; anything else a client invents shares one label,
# or a client could grow the metrics without bound.
KNOWN_METHODS = frozenset({"GET", "HEAD", "POST", "PUT", "DELETE", "PATCH", "OPTIONS", "TRACE", "CONNECT"})
OTHER_METHOD = "other"


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
        self.tile_hits, self.tile_misses = self.tiles.labels("hit"), self.tiles.labels("miss")
        # (method, route, status) -> (counter, histogram): a label lookup formats and locks each time.
        self.series: dict[tuple, tuple] = {}
        ratio = Gauge("tile_cache_hit_ratio", "Share of 200 tile answers served from the cache",
                      registry=registry)
        ratio.set_function(self.hit_ratio)

    def hit_ratio(self) -> float:
        hits = self.tile_hits._value.get()
        total = hits + self.tile_misses._value.get()
        return hits / total if total else 0.0

    def _series(self, method: str, route: str, status: int) -> tuple:
        key = (method, route, status)
        found = self.series.get(key)
        if found is None:
            label = method if method in KNOWN_METHODS else OTHER_METHOD
            found = (self.requests.labels(label, route, str(status)), self.latency.labels(label, route))
            if method in KNOWN_METHODS:  # an invented method's key is not kept either
                self.series[key] = found
        return found

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        began = perf_counter()
        status = 500

        async def observed(message: Message) -> None:
            nonlocal status
            if message["type"] == "http.response.start":
                status = message["status"]
                if status == 200:
                    tile = hit = False
                    for name, value in message.get("headers", ()):
                        if name == b"content-type":
                            tile = value.startswith(TILE_TYPE_BYTES)
                        elif name == b"x-cache":
                            hit = value == b"HIT"
                    # A tile built just now carries no X-Cache; a bounding-box tile says MISS.
                    if tile:
                        (self.tile_hits if hit else self.tile_misses).inc()
            await send(message)

        try:
            await self.app(scope, receive, observed)
        finally:
            route = getattr(scope.get("route"), "path", None) or "unmatched"
            counter, histogram = self._series(scope["method"], route, status)
            counter.inc()
            histogram.observe(perf_counter() - began)


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
