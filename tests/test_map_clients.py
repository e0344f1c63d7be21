"""What other map clients read: TileJSON per layer and per archive, the style, its glyphs;
and the viewer's search and the parcel's recorded place."""
from __future__ import annotations

import json
import sqlite3

import httpx
import mapbox_vector_tile
import pytest
import pytest_asyncio
from sqlalchemy import text

from tests.tessera.live import live_redis, redis_server  # noqa: F401  (fixtures)

pytestmark = pytest.mark.integration
REQUIRED_TILEJSON = {"tilejson", "tiles", "vector_layers"}


@pytest_asyncio.fixture
async def client(tessera, live_redis, database_url, tmp_path, monkeypatch):  # noqa: F811
    import database
    from service import glyphs
    from service import app as main
    from service import mapstyle

    monkeypatch.setattr(glyphs, "OUT_DIR", tmp_path / "glyphs")
    monkeypatch.setattr(mapstyle, "_extents", {})
    monkeypatch.setenv("TILE_ARCHIVE_DIR", str(tmp_path / "archives"))
    try:
        async with httpx.AsyncClient(transport=httpx.ASGITransport(app=main.app), base_url="http://maps.test") as c:
            yield c
    finally:
        await database.dispose_engine()


async def scalar_rows(sql: str, **params):
    from database import get_engine

    async with get_engine().connect() as conn:
        return (await conn.execute(text(sql), params)).mappings().all()


# --- TileJSON ------------------------------------------------------------------------------------

def tile_of(lon: float, lat: float, z: int) -> tuple[int, int]:
    import math

    n = 2 ** z
    y = (1 - math.log(math.tan(math.radians(lat)) + 1 / math.cos(math.radians(lat))) / math.pi) / 2 * n
    return int((lon + 180) / 360 * n), int(y)


@pytest.mark.parametrize("layer", ["plots", "beacons", "roads", "cadzones", "districts", "lgas"])
async def test_layer_tilejson_describes_the_tiles_and_the_data(client, tessera, layer):
    answer = await client.get(f"/gis/{layer}/tiles.json")
    assert answer.status_code == 200
    doc = answer.json()
    assert REQUIRED_TILEJSON <= set(doc) and doc["tilejson"] == "3.0.0"
    assert doc["tiles"] == [f"http://maps.test/gis/{layer}/{{z}}/{{x}}/{{y}}.pbf"]
    assert doc["minzoom"] == max(1, tessera.LAYER_CONFIG[layer]["min_zoom"]) and doc["maxzoom"] == 20
    [described] = doc["vector_layers"]
    assert described["id"] == layer and (described["minzoom"], described["maxzoom"]) == (doc["minzoom"], 20)

    # The bounds are the data's, in degrees (west, south, east, north), the centre inside them.
    table, geom = tessera.LAYER_CONFIG[layer]["table"], tessera.LAYER_CONFIG[layer]["geom_col"]
    [box] = await scalar_rows(
        f"SELECT min(ST_XMin(g)) w, min(ST_YMin(g)) s, max(ST_XMax(g)) e, max(ST_YMax(g)) n "
        f"FROM (SELECT ST_Transform({geom}, 4326) g FROM {table}) t")
    assert doc["bounds"] == pytest.approx([box["w"], box["s"], box["e"], box["n"]], abs=1e-5)
    lon, lat, zoom = doc["center"]
    assert box["w"] <= lon <= box["e"] and box["s"] <= lat <= box["n"] and doc["minzoom"] <= zoom <= 20

    # Every attribute a real tile carries is a described field, with the right kind of value.
    z = 17
    x, y = tile_of(lon, lat, z)
    tile = await client.get(doc["tiles"][0].replace("http://maps.test", "").format(z=z, x=x, y=y))
    assert tile.status_code == 200, "the template expanded at the centre gives a tile"
    features = mapbox_vector_tile.decode(tile.content)[layer]["features"]
    assert features
    kinds = {"Number": (int, float), "String": (str,), "Boolean": (bool,)}
    for feature in features:
        for name, value in feature["properties"].items():
            assert name in described["fields"], f"{name} is in the tile but not in the TileJSON"
            assert isinstance(value, kinds[described["fields"][name]]), (name, value)


async def test_unknown_layer_has_no_tilejson(client):
    assert (await client.get("/gis/nosuch/tiles.json")).status_code == 404


async def test_forwarded_host_and_scheme_from_an_untrusted_client_are_ignored(client):
    # Only uvicorn's trusted-proxy handling may change the scheme; no client chooses the host.
    doc = (await client.get("/gis/plots/tiles.json", headers={
        "X-Forwarded-Host": "evil.example", "X-Forwarded-Proto": "https", "Forwarded": "host=evil.example"})).json()
    assert doc["tiles"][0].startswith("http://maps.test/")
    style = (await client.get("/style.json", headers={"X-Forwarded-Host": "evil.example"})).json()
    assert all(s["url"].startswith("http://maps.test/") for s in style["sources"].values())
    assert style["glyphs"].startswith("http://maps.test/")


def write_archive(path, tiles: dict[tuple[int, int, int], bytes], **metadata) -> None:
    db = sqlite3.connect(path)
    db.execute("CREATE TABLE metadata (name text, value text)")
    db.execute("CREATE TABLE tiles (zoom_level integer, tile_column integer, tile_row integer, tile_data blob)")
    db.executemany("INSERT INTO metadata VALUES (?, ?)", list(metadata.items()))
    db.executemany("INSERT INTO tiles VALUES (?, ?, ?, ?)",
                   [(z, x, (1 << z) - 1 - y, data) for (z, x, y), data in tiles.items()])
    db.commit()
    db.close()


async def test_archive_tilejson_and_style_come_from_its_metadata(client, tmp_path):
    folder = tmp_path / "archives"
    folder.mkdir()
    layers = [{"id": "plots", "fields": {"ID": "Number", "PLOT_NO": "String"}, "minzoom": 14, "maxzoom": 16},
              {"id": "roads", "fields": {"ROAD_NAME": "String"}, "minzoom": "14", "maxzoom": "16"}]
    write_archive(folder / "b05.mbtiles", {}, name="Zone B05", format="pbf", minzoom="14", maxzoom="16",
                  bounds="7.49,6.39,7.51,6.41", center="7.5,6.4,15", json=json.dumps({"vector_layers": layers}))
    doc = (await client.get("/archive/b05/tiles.json")).json()
    assert REQUIRED_TILEJSON <= set(doc) and doc["tilejson"] == "3.0.0"
    assert doc["tiles"] == ["http://maps.test/archive/b05/{z}/{x}/{y}.pbf"]
    assert (doc["minzoom"], doc["maxzoom"]) == (14, 16)
    assert doc["bounds"] == [7.49, 6.39, 7.51, 6.41] and doc["center"] == [7.5, 6.4, 15]
    assert [(v["id"], v["minzoom"]) for v in doc["vector_layers"]] == [("plots", 14), ("roads", 14)]

    style = (await client.get("/style.json", params={"archive": "b05"})).json()
    assert style["sources"] == {"archive": {"type": "vector", "url": "http://maps.test/archive/b05/tiles.json",
                                            "attribution": style["sources"]["archive"]["attribution"]}}
    drawn = {layer.get("source-layer") for layer in style["layers"]} - {None}
    assert drawn == {"plots", "roads"} and style["center"] == [7.5, 6.4]
    for missing in ("/archive/nosuch/tiles.json", "/style.json?archive=nosuch", "/archive/..%2Fx/tiles.json"):
        assert (await client.get(missing)).status_code == 404


# --- the style -----------------------------------------------------------------------------------

async def test_style_sources_layers_and_fonts_resolve(client):
    style = (await client.get("/style.json")).json()
    assert style["version"] == 8
    ids = [layer["id"] for layer in style["layers"]]
    assert len(ids) == len(set(ids))
    for name, source in style["sources"].items():
        assert source["type"] == "vector"
        tilejson = await client.get(source["url"].replace("http://maps.test", ""))
        assert tilejson.status_code == 200 and tilejson.json()["vector_layers"][0]["id"] == name
    fonts = set()
    for layer in style["layers"]:
        if layer["type"] != "background":
            assert layer["source"] in style["sources"]
            assert layer["source-layer"] == layer["source"], "one source per layer"
        if layer["type"] == "symbol":
            fonts.add(",".join(layer["layout"]["text-font"]))
    assert fonts
    for font in fonts:
        url = style["glyphs"].replace("http://maps.test", "").format(fontstack=font, range="0-255")
        assert glyph_ids(await client.get(url)) >= set(range(ord("0"), ord("9") + 1))


async def test_style_keeps_low_zooms_readable(client):
    layers = {layer["id"]: (i, layer) for i, layer in enumerate((await client.get("/style.json")).json()["layers"])}
    # Beacons from z16 although the router serves them from z12.
    assert layers["beacons-circle"][1]["minzoom"] == 16 and layers["beacons-label"][1]["minzoom"] >= 18
    assert layers["plots-label"][1]["minzoom"] >= 17
    # Administrative outlines above parcels and roads, each on a halo of its own; every one named.
    for name in ("cadzones", "districts", "lgas"):
        halo, outline = layers[f"{name}-halo"][0], layers[f"{name}-outline"][0]
        assert layers["plots-fill"][0] < layers["roads-line"][0] < halo < outline
        assert layers[f"{name}-label"][1]["minzoom"] <= layers[f"{name}-outline"][1]["minzoom"]
    # Text goes above every drawn feature.
    first_text = min(i for i, layer in layers.values() if layer["type"] == "symbol")
    assert all(layer["type"] == "symbol" for i, layer in layers.values() if i > first_text)


# --- glyphs --------------------------------------------------------------------------------------

def read_varint(data: bytes, at: int) -> tuple[int, int]:
    shift = value = 0
    while True:
        byte = data[at]
        value |= (byte & 0x7F) << shift
        at += 1
        if not byte & 0x80:
            return value, at
        shift += 7


def fields(data: bytes):
    at = 0
    while at < len(data):
        key, at = read_varint(data, at)
        if key & 7 == 0:
            value, at = read_varint(data, at)
        else:
            assert key & 7 == 2
            length, at = read_varint(data, at)
            value, at = data[at:at + length], at + length
        yield key >> 3, value


def decode_glyphs(data: bytes) -> tuple[str, str, dict[int, dict]]:
    [(one, stack)] = list(fields(data))
    assert one == 1
    name = rng = None
    glyphs: dict[int, dict] = {}
    for number, value in fields(stack):
        if number == 1:
            name = value.decode()
        elif number == 2:
            rng = value.decode()
        elif number == 3:
            g = dict(fields(value))
            for signed in (5, 6):  # zigzag
                g[signed] = (g[signed] >> 1) ^ -(g[signed] & 1)
            glyphs[g[1]] = {"bitmap": g.get(2, b""), "width": g[3], "height": g[4], "left": g[5], "top": g[6],
                            "advance": g[7]}
    return name, rng, glyphs


def glyph_ids(answer) -> set[int]:
    assert answer.status_code == 200 and answer.headers["content-type"] == "application/x-protobuf"
    return set(decode_glyphs(answer.content)[2])


async def test_glyph_range_holds_distance_fields_the_map_library_reads(client):
    answer = await client.get("/glyphs/Liberation Sans Regular,Open Sans Regular/0-255.pbf")
    name, rng, glyphs = decode_glyphs(answer.content)
    assert (name, rng) == ("Liberation Sans Regular", "0-255")
    assert set(range(0x20, 0x7F)) <= set(glyphs) and 0xE9 in glyphs  # é
    space = glyphs[0x20]
    assert space["bitmap"] == b"" and space["advance"] > 0
    for code, g in glyphs.items():
        if g["bitmap"]:
            assert len(g["bitmap"]) == (g["width"] + 6) * (g["height"] + 6), chr(code)
    # Tall letters reach higher than short ones, descenders lower: top is signed.
    x, cap, g = glyphs[ord("x")], glyphs[ord("X")], glyphs[ord("g")]
    assert cap["top"] > x["top"] and g["top"] - g["height"] < x["top"] - x["height"] and x["top"] < 0

    # Across the stem of "l": 192 marks the edge, inside is brighter, and outside the value
    # falls by 255/8 per pixel (radius 8).
    stem = glyphs[ord("l")]
    width = stem["width"] + 6
    row = list(stem["bitmap"][width * (6 + stem["height"] // 2):][:width])
    inside = [v for v in row if v >= 192]
    assert inside and max(row) > 200 and row[0] < 192 and row[-1] < 192
    first = next(i for i, v in enumerate(row) if v >= 192)
    steps = [row[i + 1] - row[i] for i in range(first - 3, first - 1)]
    assert all(20 <= s <= 45 for s in steps), row


async def test_ranges_without_glyphs_are_empty_not_missing(client):
    cjk = await client.get("/glyphs/Liberation Sans Bold/19968-20223.pbf")
    assert glyph_ids(cjk) == set() and decode_glyphs(cjk.content)[1] == "19968-20223"
    for wrong in ("/glyphs/Liberation Sans Bold/1-256.pbf", "/glyphs/Liberation Sans Bold/0-511.pbf",
                  "/glyphs/Liberation Sans Bold/65536-65791.pbf", "/glyphs/Comic Sans/0-255.pbf"):
        assert (await client.get(wrong)).status_code == 404, wrong


async def test_a_range_drawn_on_request_is_kept(client, tmp_path):
    first = await client.get("/glyphs/Liberation Sans Italic/256-511.pbf")
    kept = tmp_path / "glyphs" / "Liberation Sans Italic" / "256-511.pbf"
    assert kept.read_bytes() == first.content
    kept.write_bytes(b"\x0a\x00")  # what is on disk is what is served
    assert (await client.get("/glyphs/Liberation Sans Italic/256-511.pbf")).content == b"\x0a\x00"


def test_generate_writes_every_covered_range_once(tmp_path, monkeypatch):
    from service import glyphs

    monkeypatch.setattr(glyphs, "FONTS", {"Liberation Sans Regular": "LiberationSans-Regular.ttf"})
    assert glyphs.generate(tmp_path) == len(glyphs.ranges_of("Liberation Sans Regular")) > 1
    assert (tmp_path / "Liberation Sans Regular" / "0-255.pbf").is_file()
    assert glyphs.generate(tmp_path) == 0


# --- search and place ----------------------------------------------------------------------------

async def search(client, q: str) -> list[dict]:
    answer = await client.get("/search", params={"q": q})
    assert answer.status_code == 200, answer.text
    return answer.json()["results"]


async def test_search_by_number_exact_first_then_prefix_any_case(client):
    [row] = await scalar_rows('SELECT "ID", "PLOT_NO", "file_no" FROM "GIS"."PLOT" ORDER BY "ID" LIMIT 1 OFFSET 7')
    found = await search(client, row["file_no"].lower())
    assert (found[0]["kind"], found[0]["plot_id"], found[0]["label"]) == ("file", row["ID"], row["file_no"])
    prefix = row["file_no"][:4]
    found = await search(client, prefix.lower())
    assert len(found) == 20 and all(r["label"].startswith(prefix) for r in found)

    beacons = await search(client, "pb 1")
    assert beacons[0]["label"] == "PB 1" and all(r["label"].lower().startswith("pb 1") for r in beacons)
    plots = [r for r in await search(client, "17") if r["kind"] == "plot"]
    assert plots and all(r["label"] == "17" for r in plots[:1]) and all(r["label"].startswith("17") for r in plots)


async def test_search_finds_addresses_by_substring(client):
    [row] = await scalar_rows('SELECT "ADDRESS" FROM "GIS"."PLOT" ORDER BY "ID" LIMIT 1')
    street = row["ADDRESS"].split(",")[1].strip()  # "Plot 1, Sitewe Road, Zanijo" -> "Sitewe Road"
    found = await search(client, street.upper())
    assert found and all(r["kind"] == "address" and street in r["label"] for r in found)


@pytest.mark.parametrize("q", ["%", "_", "\\", "' OR 1=1 --", "\x00", "pb\x001", "   "])
async def test_search_text_is_not_a_pattern(client, q):
    assert await search(client, q) == []


async def test_search_result_points_into_its_parcel(client):
    found = [r for r in await search(client, "RES/") if r["kind"] == "file"][:5]
    assert found
    for r in found:
        west, south, east, north = r["bbox"]
        assert west <= r["lon"] <= east and south <= r["lat"] <= north
        [inside] = await scalar_rows(
            'SELECT ST_Contains("GEOMETRY", ST_Transform(ST_SetSRID(ST_MakePoint(:lon, :lat), 4326), 3857)) AS c '
            'FROM "GIS"."PLOT" WHERE "ID" = :id', lon=r["lon"], lat=r["lat"], id=r["plot_id"])
        assert inside["c"]


@pytest.mark.parametrize("query, index", [
    ("""SELECT 1 FROM "GIS"."PLOT" WHERE lower("PLOT_NO") LIKE 'a1%'""", "PLOT_PLOT_NO_lower_idx"),
    ("""SELECT 1 FROM "GIS"."PLOT" WHERE lower("file_no") LIKE 'res/19%'""", "PLOT_file_no_lower_idx"),
    ("""SELECT 1 FROM "GIS"."BEACON" WHERE lower("BEACON_NO") LIKE 'pb 1%'""", "BEACON_BEACON_NO_lower_idx"),
    ("""SELECT 1 FROM "GIS"."PLOT" WHERE "ADDRESS" ILIKE '%sitewe%'""", "PLOT_ADDRESS_trgm"),
])
async def test_search_predicates_can_use_their_index(client, query, index):
    from database import get_engine

    async with get_engine().connect() as conn:
        await conn.execute(text("SET LOCAL enable_seqscan = off"))
        plan = "\n".join(r[0] for r in (await conn.execute(text("EXPLAIN " + query))).all())
    assert index in plan, plan


async def test_search_has_its_own_rate_limit(client, monkeypatch, live_redis):  # noqa: F811
    monkeypatch.setenv("SEARCH_RATE_PER_MINUTE", "3")
    for _ in range(3):
        assert (await client.get("/search", params={"q": "pb"})).status_code == 200
    refused = await client.get("/search", params={"q": "pb"})
    assert refused.status_code == 429 and refused.headers["retry-after"] == "60"
    assert await live_redis.ttl("rate_limit:search:127.0.0.1") > 0


async def test_parcel_place_is_the_recorded_zone_and_district(client):
    [row] = await scalar_rows(
        'SELECT p."ID", p."CADZONE", d."name" FROM "GIS"."PLOT" p JOIN "GIS"."CadZones" z ON z."name" = p."CADZONE" '
        'JOIN "GIS"."Districts" d ON d."id" = z."district_id" ORDER BY p."ID" DESC LIMIT 1')
    answer = await client.get(f"/parcels/{row['ID']}/place")
    assert answer.json() == {"plot_id": row["ID"], "cadzone": row["CADZONE"], "district": row["name"]}
    assert (await client.get("/parcels/999999999/place")).status_code == 404
    assert (await client.get("/parcels/abc/place")).status_code == 422


async def test_style_is_served_while_the_database_is_down(client, monkeypatch):
    from service import mapstyle

    async def unreachable(*args):
        raise OSError("connection refused")

    monkeypatch.setattr(mapstyle, "_layer_extent", unreachable)
    style = await client.get("/style.json")
    assert style.status_code == 200 and style.json()["center"] == [0.0, 0.0]
