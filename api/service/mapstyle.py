"""What a map client needs to open the tiles without hand-written configuration: a TileJSON
document per layer (and per exported archive), a style document the viewer itself loads,
and the glyphs its labels are drawn with.

URLs in these documents are absolute, built from the request: the Host header the client
(or the reverse proxy, passing it on) sent, and the scheme uvicorn takes from
X-Forwarded-Proto only when the proxy is listed in FORWARDED_ALLOW_IPS. X-Forwarded-Host is
never read: any client could set it.
"""
from __future__ import annotations

import os
import time
from typing import Any

from fastapi import APIRouter, HTTPException, Query, Request
from fastapi.responses import JSONResponse, Response
from starlette.concurrency import run_in_threadpool
from sqlalchemy import text

from service import archive
from service import glyphs
from database import get_engine
from logger import get_logger
from ravn import tessera

log = get_logger()
router = APIRouter(tags=["Map clients"])

TILEJSON = "3.0.0"
MAX_ZOOM = 20  # the router answers tiles up to this zoom
# Names the data's source on every map; a deployment names its registry in MAP_ATTRIBUTION.
ATTRIBUTION = os.environ.get("MAP_ATTRIBUTION") or "Parcels, beacons and roads: the land registry's cadastral records"
GLYPH_TYPE = "application/x-protobuf"

LAND_USE_COLOURS = {
    "Residential": "#f4e3a1", "Commercial": "#f2a7a7", "Industrial": "#c9b3d9", "Institutional": "#a9c8e8",
    "Mixed Use": "#f5c58a", "Open Space": "#b5dba0", "Religious": "#d8c3a5", "Lane": "#e0e0e0",
}
OTHER_LAND_USE = "#eeeeee"

FONT = ["Liberation Sans Regular"]
FONT_BOLD = ["Liberation Sans Bold"]
FONT_ITALIC = ["Liberation Sans Italic"]

# Zooms the style shows a layer's detail from, where the router's own minimum is too early
# for a readable map (beacons from z12 cover the map in red).
BEACONS_FROM = 16
PLOT_LABELS_FROM = 17
BEACON_LABELS_FROM = 18
ROAD_LABELS_FROM = 14
# Until this zoom the TileJSON's data extent is reused instead of asking the database again.
EXTENT_SECONDS = 300.0

_extents: dict[str, tuple[float, dict]] = {}


def base_url(request: Request) -> str:
    return str(request.base_url).rstrip("/")


def _unquote(column: str) -> str:
    return column.strip('"')


def _catalogue_entry(layer: str) -> dict:
    entry = tessera.LAYER_CONFIG.get(layer)
    if entry is None:
        raise HTTPException(status_code=404, detail=f"Layer '{layer}' not found")
    return entry


async def _layer_extent(layer: str, entry: dict) -> dict:
    """The layer's data: its bounds in degrees and the types of its fields, from the database."""
    cached = _extents.get(layer)
    if cached and time.monotonic() - cached[0] < EXTENT_SECONDS:
        return cached[1]
    schema, table = (_unquote(p) for p in entry["table"].split("."))
    # Identifiers come from the catalogue, never from the request.
    extent_sql = text(
        f"SELECT ST_XMin(e) AS west, ST_YMin(e) AS south, ST_XMax(e) AS east, ST_YMax(e) AS north FROM "
        f"(SELECT ST_Transform(ST_SetSRID(ST_Extent({entry['geom_col']})::geometry, 3857), 4326) AS e "
        f"FROM {entry['table']}) s")
    types_sql = text("SELECT column_name, data_type FROM information_schema.columns "
                     "WHERE table_schema = :schema AND table_name = :table")
    async with get_engine().connect() as conn:
        box = (await conn.execute(extent_sql)).mappings().first()
        types: dict[str, str] = dict((await conn.execute(types_sql, {"schema": schema, "table": table})).all())
    bounds = None
    if box is not None and box["west"] is not None:
        bounds = [round(box[k], 6) for k in ("west", "south", "east", "north")]
    found = {"bounds": bounds, "types": types}
    _extents[layer] = (time.monotonic(), found)
    return found


def _field_type(sql_type: str | None) -> str:
    if sql_type in ("integer", "bigint", "smallint", "double precision", "real", "numeric"):
        return "Number"
    if sql_type == "boolean":
        return "Boolean"
    return "String"


def _center(bounds: list[float], zoom: int) -> list[float]:
    return [round((bounds[0] + bounds[2]) / 2, 6), round((bounds[1] + bounds[3]) / 2, 6), zoom]


@router.get("/gis/{layer}/tiles.json")
async def layer_tilejson(layer: str, request: Request) -> JSONResponse:
    """TileJSON 3.0.0 of one layer: its tile URL template, zooms, fields and the data's extent."""
    entry = _catalogue_entry(layer)
    data = await _layer_extent(layer, entry)
    minzoom = max(1, int(entry.get("min_zoom", 0)))  # the router answers no tile at z0
    fields = {_unquote(c): _field_type(data["types"].get(_unquote(c))) for c in entry["properties"]}
    # The router also writes the row's id as an attribute of this name.
    fields["feature_id"] = _field_type(data["types"].get(_unquote(entry["id_col"])))
    bounds = data["bounds"] or [-180.0, -85.051129, 180.0, 85.051129]
    document = {
        "tilejson": TILEJSON,
        "name": layer,
        "description": f"The {layer} layer of the land records, as vector tiles",
        "version": "1.0.0",
        "attribution": ATTRIBUTION,
        "scheme": "xyz",
        "tiles": [f"{base_url(request)}/gis/{layer}/{{z}}/{{x}}/{{y}}.pbf"],
        "minzoom": minzoom,
        "maxzoom": MAX_ZOOM,
        "bounds": bounds,
        "center": _center(bounds, max(minzoom, min(MAX_ZOOM, 14))),
        "vector_layers": [{"id": layer, "fields": fields, "minzoom": minzoom, "maxzoom": MAX_ZOOM}],
    }
    return JSONResponse(document, headers={"Cache-Control": "public, max-age=300"})


def _number_list(value: Any, count: int) -> list[float] | None:
    if isinstance(value, list):
        parts = value
    elif isinstance(value, str):
        parts = value.split(",")
    else:
        return None
    try:
        numbers = [float(p) for p in parts]
    except (TypeError, ValueError):
        return None
    return numbers if len(numbers) == count else None


@router.get("/archive/{name}/tiles.json")
async def archive_tilejson(name: str, request: Request) -> JSONResponse:
    """TileJSON 3.0.0 of an exported archive: one tile set holding every layer."""
    entries = archive._metadata(name)
    minzoom = int(entries.get("minzoom", 0))
    maxzoom = int(entries.get("maxzoom", MAX_ZOOM))
    bounds = _number_list(entries.get("bounds"), 4) or [-180.0, -85.051129, 180.0, 85.051129]
    center = _number_list(entries.get("center"), 3) or _center(bounds, minzoom)
    layers = []
    for layer in entries.get("vector_layers") or []:
        if isinstance(layer, dict) and "id" in layer:
            described = {"id": layer["id"], "fields": layer.get("fields") or {}}
            for key in ("description", "minzoom", "maxzoom"):
                if key in layer:
                    described[key] = int(layer[key]) if key != "description" else layer[key]
            layers.append(described)
    document = {
        "tilejson": TILEJSON,
        "name": entries.get("name", name),
        "description": entries.get("description", f"Exported archive {name}"),
        "version": str(entries.get("version", "1.0.0")),
        "attribution": entries.get("attribution", ATTRIBUTION),
        "scheme": "xyz",
        "tiles": [f"{base_url(request)}/archive/{name}/{{z}}/{{x}}/{{y}}.pbf"],
        "minzoom": minzoom,
        "maxzoom": maxzoom,
        "bounds": bounds,
        "center": [center[0], center[1], int(center[2])],
        "vector_layers": layers,
    }
    return JSONResponse(document)


# --- the style -----------------------------------------------------------------------------------

def _land_use_fill() -> list:
    fill: list = ["match", ["get", "GENERAL_LU"]]
    for use, colour in LAND_USE_COLOURS.items():
        fill += [use, colour]
    return fill + [OTHER_LAND_USE]


# From z16 the router clips polygons only a pixel or two outside the tile, and a line layer
# draws the clipped edge too: outlines get thinner there and lose their halo, so that no
# tile border shows through.
NARROW_FROM = 16
NARROW_WIDTH = 1.5


def _narrowing(width: float, narrow: float) -> list:
    return ["interpolate", ["linear"], ["zoom"], NARROW_FROM - 1, width, NARROW_FROM, narrow]


def _halo_line(id_: str, source: str, layer: str, minzoom: int, width: float) -> dict:
    # A pale casing under an outline keeps it legible over parcels and roads at low zooms.
    return {"id": id_, "type": "line", "source": source, "source-layer": layer, "minzoom": minzoom,
            "maxzoom": NARROW_FROM, "layout": {"line-join": "round"},
            "paint": {"line-color": "#ffffff", "line-width": _narrowing(width, 0), "line-opacity": 0.85}}


def _name_label(id_: str, source: str, layer: str, minzoom: int, maxzoom: int, size: list, colour: str) -> dict:
    return {"id": id_, "type": "symbol", "source": source, "source-layer": layer, "minzoom": minzoom,
            "maxzoom": maxzoom,
            "layout": {"text-field": ["get", "name"], "text-font": FONT_BOLD, "text-size": size,
                       "text-transform": "uppercase", "text-letter-spacing": 0.08, "text-max-width": 8,
                       "symbol-placement": "point"},
            "paint": {"text-color": colour, "text-halo-color": "#ffffff", "text-halo-width": 2}}


def style_layers(zooms: dict[str, int], source_of) -> list[dict]:
    """The map's layers for the layers in `zooms` (name -> the tiles' first zoom), drawn from
    the sources `source_of(name)` names. Order: parcels, roads, administrative outlines with
    halos, beacons, then text (the map library places text last, with collision handling)."""
    out: list[dict] = [{"id": "background", "type": "background", "paint": {"background-color": "#fbfaf6"}}]
    labels: list[dict] = []

    def z(name: str, at_least: int = 0) -> int:
        return max(zooms[name], at_least)

    if "plots" in zooms:
        src = source_of("plots")
        out += [
            {"id": "plots-fill", "type": "fill", "source": src, "source-layer": "plots", "minzoom": z("plots"),
             "paint": {"fill-color": _land_use_fill(), "fill-opacity": 0.85}},
            {"id": "plots-outline", "type": "line", "source": src, "source-layer": "plots", "minzoom": z("plots"),
             "paint": {"line-color": "#7a5c3a",
                       "line-width": ["interpolate", ["linear"], ["zoom"], 12, 0.3, 16, 0.8, 19, 1.5],
                       # Faint while parcels are a few pixels wide, so that their colours read.
                       "line-opacity": ["interpolate", ["linear"], ["zoom"], 12, 0.25, 15, 1]}},
        ]
        labels.append({"id": "plots-label", "type": "symbol", "source": src, "source-layer": "plots",
                       "minzoom": z("plots", PLOT_LABELS_FROM),
                       "layout": {"text-field": ["to-string", ["get", "PLOT_NO"]], "text-font": FONT,
                                  "text-size": ["interpolate", ["linear"], ["zoom"], 17, 10, 20, 14],
                                  "symbol-placement": "point", "text-padding": 2},
                       "paint": {"text-color": "#4e342e", "text-halo-color": "#ffffff", "text-halo-width": 1.2}})
    if "roads" in zooms:
        src = source_of("roads")
        out.append({"id": "roads-line", "type": "line", "source": src, "source-layer": "roads",
                    "minzoom": z("roads"), "layout": {"line-cap": "round", "line-join": "round"},
                    "paint": {"line-color": "#8d6e63",
                              "line-width": ["interpolate", ["linear"], ["zoom"], 10, 0.6, 14, 1.5, 18, 6]}})
        labels.append({"id": "roads-label", "type": "symbol", "source": src, "source-layer": "roads",
                       "minzoom": z("roads", ROAD_LABELS_FROM),
                       "layout": {"text-field": ["get", "ROAD_NAME"], "text-font": FONT_ITALIC,
                                  "text-size": ["interpolate", ["linear"], ["zoom"], 14, 10, 18, 13],
                                  "symbol-placement": "line", "symbol-spacing": 300,
                                  "text-rotation-alignment": "map", "text-max-angle": 40},
                       "paint": {"text-color": "#4e342e", "text-halo-color": "#ffffff", "text-halo-width": 1.5}})
    admin = [("cadzones", "#00838f", 1.2, [2, 2], 4.0, "cadzones-label", [11, 14]),
             ("districts", "#1565c0", 1.8, [4, 2], 5.0, "districts-label", [12, 16]),
             ("lgas", "#6a1b9a", 2.5, None, 6.0, "lgas-label", [13, 18])]
    for name, colour, width, dash, halo, label_id, size in admin:
        if name not in zooms:
            continue
        src = source_of(name)
        out.append(_halo_line(f"{name}-halo", src, name, z(name), halo))
        outline = {"id": f"{name}-outline", "type": "line", "source": src, "source-layer": name,
                   "minzoom": z(name), "layout": {"line-join": "round"},
                   "paint": {"line-color": colour, "line-width": _narrowing(width, min(width, NARROW_WIDTH))}}
        if dash:
            outline["paint"]["line-dasharray"] = dash
        out.append(outline)
        # Names where the outlines show; past z17 the parcels' own labels take the room.
        labels.append(_name_label(label_id, src, name, z(name), 18,
                                  ["interpolate", ["linear"], ["zoom"], 8, size[0], 16, size[1]], colour))
    if "beacons" in zooms:
        src = source_of("beacons")
        out.append({"id": "beacons-circle", "type": "circle", "source": src, "source-layer": "beacons",
                    "minzoom": z("beacons", BEACONS_FROM),
                    "paint": {"circle-radius": ["interpolate", ["linear"], ["zoom"], 16, 1.5, 19, 4],
                              "circle-color": "#d32f2f", "circle-stroke-color": "#ffffff",
                              "circle-stroke-width": 0.5}})
        labels.append({"id": "beacons-label", "type": "symbol", "source": src, "source-layer": "beacons",
                       "minzoom": z("beacons", BEACON_LABELS_FROM),
                       "layout": {"text-field": ["get", "BEACON_NO"], "text-font": FONT, "text-size": 10,
                                  "text-anchor": "left", "text-offset": [0.6, 0], "text-optional": True},
                       "paint": {"text-color": "#b71c1c", "text-halo-color": "#ffffff", "text-halo-width": 1.2}})
    return out + labels


def _style(request: Request, name: str, sources: dict, zooms: dict[str, int], source_of, center, zoom) -> dict:
    base = base_url(request)
    return {
        "version": 8,
        "name": name,
        "metadata": {"ravn:layers": zooms},
        "center": center,
        "zoom": zoom,
        "sources": sources,
        "glyphs": f"{base}/glyphs/{{fontstack}}/{{range}}.pbf",
        "layers": style_layers(zooms, source_of),
    }


@router.get("/style.json")
async def style(request: Request, archive_name: str | None = Query(None, alias="archive")) -> JSONResponse:
    """A map style (version 8): the live layers, one source per layer from its TileJSON; with
    ?archive=NAME, the layers of that exported archive from its one tile set."""
    base = base_url(request)
    if archive_name is not None:
        entries = archive._metadata(archive_name)
        zooms = {}
        for layer in entries.get("vector_layers") or []:
            if isinstance(layer, dict) and "id" in layer:
                zooms[layer["id"]] = int(layer.get("minzoom", entries.get("minzoom", 0)))
        sources = {"archive": {"type": "vector", "url": f"{base}/archive/{archive_name}/tiles.json",
                               "attribution": ATTRIBUTION}}
        center = _number_list(entries.get("center"), 3)
        lng, lat = (center[0], center[1]) if center else (0.0, 0.0)
        minzoom = int(entries.get("minzoom", 0))
        maxzoom = int(entries.get("maxzoom", MAX_ZOOM))
        zoom = min(maxzoom, max(zooms.get("plots", minzoom), minzoom))
        document = _style(request, f"{entries.get('name', archive_name)} (offline archive)", sources, zooms,
                          lambda _: "archive", [lng, lat], zoom)
        return JSONResponse(document)
    zooms = {name: max(1, int(entry.get("min_zoom", 0))) for name, entry in tessera.LAYER_CONFIG.items()}
    sources = {name: {"type": "vector", "url": f"{base}/gis/{name}/tiles.json", "attribution": ATTRIBUTION}
               for name in zooms}
    center, zoom = [0.0, 0.0], 2
    if "plots" in zooms:
        try:
            bounds = (await _layer_extent("plots", tessera.LAYER_CONFIG["plots"]))["bounds"]
        except Exception as e:  # noqa: BLE001 - the style stays usable; only its opening view is lost
            log.warning("Style: the parcels' extent is unavailable: %s", e)
            bounds = None
        if bounds:
            center, zoom = _center(bounds, 16)[:2], 16
    return JSONResponse(_style(request, "Land records", sources, zooms, lambda n: n, center, zoom))


@router.get("/glyphs/{fontstack}/{range_}.pbf")
async def glyph_range(fontstack: str, range_: str) -> Response:
    """Glyphs of 256 code points for the map's text; a range the font has none in is an empty set."""
    start = glyphs.parse_range(range_)
    if start is None:
        raise HTTPException(status_code=404, detail=f"No glyph range '{range_}'")
    try:
        # A range not drawn at set-up takes a second or two: off the event loop.
        data = await run_in_threadpool(glyphs.glyph_range, fontstack, start)
    except KeyError:
        raise HTTPException(status_code=404, detail=f"No font stack '{fontstack}'") from None
    return Response(data, media_type=GLYPH_TYPE, headers={"Cache-Control": "public, max-age=86400"})
