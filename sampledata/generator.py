"""Deterministic synthetic cadastre in EPSG:3857.

The area is a rotated rectilinear street grid. Road centrelines run along the
grid lines; blocks sit between them, set back by half the road reserve. Each
block is split into two back-to-back rows of parcels fronting opposite roads.
Zones, districts and LGAs are unions of whole grid cells, so their outlines run
along road centrelines and nest exactly.

All layout work happens in integer centimetres in a grid-local frame, so a
corner shared by neighbouring parcels is the same integer pair, maps to the
same world coordinate and becomes one beacon. World coordinates are rounded to
the millimetre.
"""
from __future__ import annotations

import math
import random
from bisect import bisect_left, bisect_right
from collections import defaultdict
from collections.abc import Sequence
from dataclasses import dataclass, field

import numpy as np
import shapely
from shapely.geometry import MultiPolygon, box

from . import ewkb
from .names import NamePool, surveyor_names

CENTER_LON = 7.5
CENTER_LAT = 6.4
EARTH_RADIUS = 6378137.0

# Half the road reserve, cm.
HALF_RESERVE = {"Major": 1500, "Minor": 1000, "Access": 600}
ROAD_SUFFIX = {
    "Major": ("Road", "Avenue", "Expressway"),
    "Minor": ("Street", "Street", "Way"),
    "Access": ("Close", "Lane", "Crescent"),
}

LAND_PURPOSES = [
    ("R1", "Detached House", "Residential"),
    ("R2", "Semi-Detached House", "Residential"),
    ("R3", "Terrace Housing", "Residential"),
    ("R4", "Block of Flats", "Residential"),
    ("C1", "Shops", "Commercial"),
    ("C2", "Offices", "Commercial"),
    ("C3", "Filling Station", "Commercial"),
    ("C4", "Hotel", "Commercial"),
    ("M1", "Shops with Residence", "Mixed Use"),
    ("I1", "School", "Institutional"),
    ("I2", "Health Centre", "Institutional"),
    ("I3", "Public Office", "Institutional"),
    ("W1", "Place of Worship", "Religious"),
    ("N1", "Warehouse", "Industrial"),
    ("N2", "Light Industry", "Industrial"),
    ("O1", "Recreational Open Space", "Open Space"),
]
_PURPOSES_BY_LU: dict[str, list[str]] = defaultdict(list)
for _code, _name, _lu in LAND_PURPOSES:
    _PURPOSES_BY_LU[_lu].append(_name)

FILE_PREFIX = {
    "Residential": "RES",
    "Commercial": "COM",
    "Mixed Use": "MXD",
    "Institutional": "INS",
    "Religious": "REL",
    "Industrial": "IND",
    "Open Space": "OSP",
}

PLOT_STATUS = (("Allocated", 45), ("Developed", 25), ("Vacant", 12), ("Under Development", 10),
               ("Reserved", 5), ("Revoked", 3))
BEACON_STATUS = (("Found", 80), ("Planted", 12), ("Missing", 5), ("Disturbed", 3))
BEACON_REMARK = ((None, 85), ("Concrete pillar", 6), ("Iron pin", 5), ("Re-established", 3),
                 ("Under fence", 1))

# Layout ranges, metres.
BLOCK_LENGTH = (110, 200)
BLOCK_DEPTH = (52, 78)
ROW_DEPTH_MIN = 24
ROW_DEPTH_MAX = 40
FRONTAGE = (16.5, 26.0)
MAX_AREA_CM2 = 2000 * 10_000
MIN_NOTCHED_AREA_CM2 = 310 * 10_000
SNAP_CM = 200

MAJOR_EVERY_COL = 6
MAJOR_EVERY_ROW = 8
PARCELS_PER_BLOCK_ESTIMATE = 14.7

# Column order of each table, as loaded.
COLUMNS = {
    "LGAs": ("id", "name", "geometry"),
    "Districts": ("id", "name", "lga_id", "geometry"),
    "CadZones": ("id", "name", "district_id", "geometry"),
    "ROAD": ("ID", "ROAD_NAME", "ROAD_TYPE", "GEOMETRY"),
    "LAND_PURPOSE": ("ID", "CODE", "NAME", "GENERAL_LU"),
    "PLOT": ("ID", "PLOT_NO", "STATUS", "AREA_SYSTEM", "GENERAL_LU", "CADZONE", "DETAIL_LU",
             "file_no", "ADDRESS", "SURVEYED_BY", "PLAN_LAYOUT_NO", "GEOMETRY"),
    "BEACON": ("ID", "BEACON_NO", "STATUS", "REMARK", "GEOMETRY"),
    "BOUNDARY": ("ID", "PLOTID", "SEQ", "BEACON1ID", "BEACON2ID", "LENGTH", "ANGLEDEG", "ANGLEMIN"),
}


@dataclass
class Dataset:
    parcels: int
    seed: int
    tables: dict[str, list[tuple]] = field(default_factory=dict)
    center: tuple[float, float] = (0.0, 0.0)

    def __getitem__(self, table: str) -> list[tuple]:
        return self.tables[table]


def lonlat_to_web_mercator(lon: float, lat: float) -> tuple[float, float]:
    x = EARTH_RADIUS * math.radians(lon)
    y = EARTH_RADIUS * math.log(math.tan(math.pi / 4 + math.radians(lat) / 2))
    return x, y


def bearing_dms(dx: float, dy: float) -> tuple[int, int]:
    """Whole degrees and minutes clockwise from grid north."""
    minutes = round((math.degrees(math.atan2(dx, dy)) % 360.0) * 60) % (360 * 60)
    return divmod(minutes, 60)


def _weighted(rng: random.Random, table):
    values, weights = zip(*table, strict=False)
    return rng.choices(values, weights)[0]


def _split(n: int, target: int, rng: random.Random) -> list[int]:
    """n grid cells into runs of about target cells each, every run at least one cell."""
    count = max(1, round(n / target))
    sizes = [n // count + (1 if k < n % count else 0) for k in range(count)]
    for _ in range(count if count > 1 else 0):
        a = rng.randrange(count - 1)
        b = a + 1
        if rng.random() < 0.5:
            a, b = b, a
        if sizes[a] > 1:
            sizes[a] -= 1
            sizes[b] += 1
    return sizes


def _offsets(sizes: list[int]) -> list[int]:
    out = [0]
    for s in sizes:
        out.append(out[-1] + s)
    return out


def _line_type(k: int, last: int, major_every: int) -> str:
    if k == 0 or k == last or k % major_every == 0:
        return "Major"
    return "Minor" if k % 2 == 0 else "Access"


def _signed_area2(ring) -> int:
    s = 0
    n = len(ring)
    for k in range(n):
        x1, y1 = ring[k]
        x2, y2 = ring[(k + 1) % n]
        s += x1 * y2 - x2 * y1
    return s


class _Grid:
    def __init__(self, cols: int, rows: int, seed: int):
        rng = random.Random(seed * 1_000_003 + cols * 1009 + rows)
        self.cols, self.rows = cols, rows
        self.vtype = [_line_type(i, cols, MAJOR_EVERY_COL) for i in range(cols + 1)]
        self.htype = [_line_type(j, rows, MAJOR_EVERY_ROW) for j in range(rows + 1)]
        xs = [0]
        for i in range(cols):
            length = rng.randint(*BLOCK_LENGTH) * 100
            xs.append(xs[-1] + HALF_RESERVE[self.vtype[i]] + length + HALF_RESERVE[self.vtype[i + 1]])
        ys = [0]
        for j in range(rows):
            depth = rng.randint(*BLOCK_DEPTH) * 100
            ys.append(ys[-1] + HALF_RESERVE[self.htype[j]] + depth + HALF_RESERVE[self.htype[j + 1]])
        self.X = np.array(xs, dtype=np.int64)
        self.Y = np.array(ys, dtype=np.int64)
        angle = math.radians(rng.uniform(8.0, 24.0))
        self.cos, self.sin = math.cos(angle), math.sin(angle)
        cx, cy = lonlat_to_web_mercator(CENTER_LON, CENTER_LAT)
        hx, hy = xs[-1] / 200.0, ys[-1] / 200.0
        self.ox = cx - (self.cos * hx - self.sin * hy)
        self.oy = cy - (self.sin * hx + self.cos * hy)
        self.center = (cx, cy)
        self.rng = rng

    def to_world(self, lx, ly):
        """Grid-local centimetres to EPSG:3857 metres, rounded to the millimetre."""
        lx = np.asarray(lx, dtype=np.float64) / 100.0
        ly = np.asarray(ly, dtype=np.float64) / 100.0
        x = self.ox + (self.cos * lx - self.sin * ly)
        y = self.oy + (self.sin * lx + self.cos * ly)
        return np.round(x, 3), np.round(y, 3)

    def cells_to_world(self, geom):
        """Geometry in grid-cell index space (integer nodes) to world coordinates."""
        geom = shapely.segmentize(geom, 1.0)

        def fn(coords):
            idx = np.rint(coords).astype(np.int64)
            x, y = self.to_world(self.X[idx[:, 0]], self.Y[idx[:, 1]])
            return np.column_stack([x, y])

        return shapely.transform(geom, fn)

    def block_frame(self, i: int, j: int) -> tuple[int, int, int, int]:
        """Origin and size of block (i, j) in grid-local cm."""
        x0 = int(self.X[i]) + HALF_RESERVE[self.vtype[i]]
        x1 = int(self.X[i + 1]) - HALF_RESERVE[self.vtype[i + 1]]
        y0 = int(self.Y[j]) + HALF_RESERVE[self.htype[j]]
        y1 = int(self.Y[j + 1]) - HALF_RESERVE[self.htype[j + 1]]
        return x0, y0, x1 - x0, y1 - y0


def _row_parcels(length: int, depth: int, rng: random.Random,
                 rear_marks: Sequence[int] = ()) -> list[list[tuple[int, int]]]:
    """One row of parcels in row-local cm: u along the road, w away from it.

    rear_marks are the corners already on the rear line (the other row's); a rear
    corner closer than SNAP_CM to one of them joins it instead of leaving a stub leg.
    """
    target = rng.uniform(*FRONTAGE) * 100
    n = max(1, round(length / target))
    pitch = length / n
    front = [0] + [round(pitch * k + rng.uniform(-0.1, 0.1) * pitch) for k in range(1, n)] + [length]
    back = list(front)
    for k in range(1, n):
        if rng.random() < 0.3:
            lim = min(300.0, 0.15 * min(front[k] - front[k - 1], front[k + 1] - front[k]))
            back[k] = front[k] + round(rng.uniform(-lim, lim))
    for k in range(1, n):
        if rear_marks:
            near = min(rear_marks, key=lambda m: abs(m - back[k]))
            if abs(near - back[k]) < SNAP_CM:
                back[k] = near
    rings = [[(front[k], 0), (front[k + 1], 0), (back[k + 1], depth), (back[k], depth)] for k in range(n)]

    # An occasional L-shaped parcel: it takes the rear of a neighbour, leaving a reflex corner.
    used: set[int] = set()
    notched_cuts: set[int] = set()
    for donor in range(n):
        if donor in used or rng.random() >= 0.08:
            continue
        if back[donor] != front[donor] or back[donor + 1] != front[donor + 1]:
            continue  # the notch needs square sides to stay on straight lines
        if donor in notched_cuts or donor + 1 in notched_cuts:
            continue  # two notch corners on one side line would leave a stub leg
        width = front[donor + 1] - front[donor]
        t = round(depth * rng.uniform(0.5, 0.62))
        if width * t < MIN_NOTCHED_AREA_CM2:
            continue
        takers = [k for k in (donor - 1, donor + 1) if 0 <= k < n and k not in used]
        if not takers:
            continue
        taker = rng.choice(takers)
        if abs(_signed_area2(rings[taker])) // 2 + width * (depth - t) > MAX_AREA_CM2:
            continue
        f0, f1 = front[donor], front[donor + 1]
        if taker == donor + 1:
            rings[taker] = [(f1, 0), (front[taker + 1], 0), (back[taker + 1], depth),
                            (f0, depth), (f0, t), (f1, t)]
        else:
            rings[taker] = [(front[taker], 0), (f0, 0), (f0, t), (f1, t), (f1, depth),
                            (back[taker], depth)]
        rings[donor] = [(f0, 0), (f1, 0), (f1, t), (f0, t)]
        used.update((donor, taker))
        notched_cuts.update((donor, donor + 1))
    return rings


def _block_parcels(length: int, depth: int, rng: random.Random) -> list[tuple[str, list[tuple[int, int]]]]:
    """Parcels of one block in block-local cm, rings clockwise, each tagged with its row."""
    lo = max(ROW_DEPTH_MIN * 100, depth - ROW_DEPTH_MAX * 100)
    hi = min(ROW_DEPTH_MAX * 100, depth - ROW_DEPTH_MIN * 100)
    depth_a = rng.randint(lo // 100, hi // 100) * 100
    parcels = [("A", ring) for ring in _row_parcels(length, depth_a, rng)]
    rear = sorted({u for _, ring in parcels for u, w in ring if w == depth_a})
    parcels += [("B", [(u, depth - w) for u, w in ring])
                for ring in _row_parcels(length, depth - depth_a, rng, rear)]

    # Corners of one parcel lying on a straight edge of another become vertices of both,
    # so neighbours share beacons and edges exactly.
    by_u: dict[int, set[int]] = defaultdict(set)
    by_v: dict[int, set[int]] = defaultdict(set)
    for _, ring in parcels:
        for u, v in ring:
            by_u[u].add(v)
            by_v[v].add(u)
    by_u_sorted = {k: sorted(s) for k, s in by_u.items()}
    by_v_sorted = {k: sorted(s) for k, s in by_v.items()}

    out = []
    for row, ring in parcels:
        noded = []
        n = len(ring)
        for k in range(n):
            p, q = ring[k], ring[(k + 1) % n]
            noded.append(p)
            if p[0] == q[0]:
                vs = by_u_sorted[p[0]]
                lo_v, hi_v = sorted((p[1], q[1]))
                between = vs[bisect_right(vs, lo_v):bisect_left(vs, hi_v)]
                if p[1] > q[1]:
                    between = between[::-1]
                noded.extend((p[0], v) for v in between)
            elif p[1] == q[1]:
                us = by_v_sorted[p[1]]
                lo_u, hi_u = sorted((p[0], q[0]))
                between = us[bisect_right(us, lo_u):bisect_left(us, hi_u)]
                if p[0] > q[0]:
                    between = between[::-1]
                noded.extend((u, p[1]) for u in between)
        if _signed_area2(noded) > 0:
            noded = [noded[0]] + noded[:0:-1]  # clockwise, same starting corner
        out.append((row, noded))
    return out


class _Hierarchy:
    """Zones, districts and LGAs as rectangles / unions of rectangles of grid cells."""

    def __init__(self, grid: _Grid, rng: random.Random):
        cols, rows = grid.cols, grid.rows
        zc = _split(cols, max(1, min(3, cols // 2)), rng)
        zr = _split(rows, max(1, min(5, rows // 4)), rng)
        zco, zro = _offsets(zc), _offsets(zr)
        dc = _split(len(zc), max(1, min(3, len(zc) // 2)), rng)
        dr = _split(len(zr), max(1, min(3, len(zr) // 2)), rng)
        dco, dro = _offsets(dc), _offsets(dr)

        districts = []  # (col range, row range) in zone-grid index
        for b in range(len(dr)):
            for a in range(len(dc)):
                districts.append(((dco[a], dco[a + 1]), (dro[b], dro[b + 1])))

        def centre(d):
            (c0, c1), (r0, r1) = d
            x = (grid.X[zco[c0]] + grid.X[zco[c1]]) / 2
            y = (grid.Y[zro[r0]] + grid.Y[zro[r1]]) / 2
            return float(x), float(y)

        n_lga = max(2, min(6, len(districts) // 9)) if len(districts) > 1 else 1
        seeds = rng.sample(range(len(districts)), n_lga)
        seed_xy = [centre(districts[s]) for s in seeds]
        lga_of = []
        for d in districts:
            x, y = centre(d)
            lga_of.append(min(range(n_lga), key=lambda k: (seed_xy[k][0] - x) ** 2 + (seed_xy[k][1] - y) ** 2))

        self.lgas: list[tuple] = []       # (id, cell boxes)
        self.districts: list[tuple] = []  # (id, lga_id, cell box)
        self.zones: list[tuple] = []      # (id, district_id, (c0, c1, r0, r1) in grid cells)
        for lga in range(n_lga):
            boxes = []
            for k in (k for k in range(len(districts)) if lga_of[k] == lga):
                (c0, c1), (r0, r1) = districts[k]
                cell = (zco[c0], zro[r0], zco[c1], zro[r1])
                did = len(self.districts) + 1
                self.districts.append((did, lga + 1, cell))
                boxes.append(cell)
                for zb in range(r0, r1):
                    for za in range(c0, c1):
                        zid = len(self.zones) + 1
                        self.zones.append((zid, did, (zco[za], zco[za + 1], zro[zb], zro[zb + 1])))
            self.lgas.append((lga + 1, boxes))


def _multipolygon(geom) -> MultiPolygon:
    if geom.geom_type == "Polygon":
        return MultiPolygon([geom])
    return geom


def _to_ewkb(geom) -> bytes:
    return shapely.to_wkb(shapely.set_srid(geom, ewkb.SRID), include_srid=True, byte_order=1)


def _grid_size(parcels: int, attempt: int) -> tuple[int, int]:
    blocks = math.ceil(parcels / PARCELS_PER_BLOCK_ESTIMATE * (1.02 + 0.15 * attempt)) + 1
    cols = max(2, round(math.sqrt(blocks / 2.1)))
    rows = max(4, math.ceil(blocks / cols))
    return cols, rows


def generate(parcels: int, seed: int = 1, progress: bool = False) -> Dataset:
    """Build the whole data set in memory: rows per table in COLUMNS order."""
    if parcels < 1:
        raise ValueError("parcels must be positive")
    for attempt in range(20):
        data = _generate(parcels, seed, *_grid_size(parcels, attempt), progress)
        if data is not None:
            return data
    raise RuntimeError("could not fit the requested parcels")  # pragma: no cover


def _generate(parcels: int, seed: int, cols: int, rows: int, progress: bool) -> Dataset | None:
    grid = _Grid(cols, rows, seed)
    rng = grid.rng
    hier = _Hierarchy(grid, rng)
    names = NamePool(rng)

    lga_names = {lid: names.take() for lid, _ in hier.lgas}
    district_names = {did: names.take() for did, _, _ in hier.districts}
    zone_letter = {}
    zone_names = {}
    per_lga_count: dict[int, int] = defaultdict(int)
    lga_of_district = {did: lid for did, lid, _ in hier.districts}
    for zid, did, _ in hier.zones:
        lid = lga_of_district[did]
        per_lga_count[lid] += 1
        zone_letter[zid] = chr(ord("A") + (lid - 1) % 26)
        zone_names[zid] = f"{zone_letter[zid]}{per_lga_count[lid]:02d}"

    v_names = [f"{names.take()} {rng.choice(ROAD_SUFFIX[t])}" for t in grid.vtype]
    h_names = [f"{names.take()} {rng.choice(ROAD_SUFFIX[t])}" for t in grid.htype]
    surveyors = surveyor_names(rng, max(6, min(60, parcels // 400)))

    tables: dict[str, list[tuple]] = {}
    tables["LGAs"] = [
        (lid, lga_names[lid], _to_ewkb(_multipolygon(grid.cells_to_world(
            shapely.union_all([box(*b) for b in boxes])))))
        for lid, boxes in hier.lgas
    ]
    tables["Districts"] = [
        (did, district_names[did], lid, _to_ewkb(_multipolygon(grid.cells_to_world(box(*cell)))))
        for did, lid, cell in hier.districts
    ]
    tables["CadZones"] = [
        (zid, zone_names[zid], did, _to_ewkb(_multipolygon(grid.cells_to_world(box(c0, r0, c1, r1)))))
        for zid, did, (c0, c1, r0, r1) in hier.zones
    ]

    roads = []
    major_rows = [j for j in range(rows + 1) if grid.htype[j] == "Major"]
    major_cols = [i for i in range(cols + 1) if grid.vtype[i] == "Major"]
    for i in range(cols + 1):
        for ja, jb in zip(major_rows, major_rows[1:], strict=False):
            x, y = grid.to_world(np.full(jb - ja + 1, grid.X[i]), grid.Y[ja:jb + 1])
            roads.append((v_names[i], grid.vtype[i], list(zip(x.tolist(), y.tolist(), strict=False))))
    for j in range(rows + 1):
        for ia, ib in zip(major_cols, major_cols[1:], strict=False):
            x, y = grid.to_world(grid.X[ia:ib + 1], np.full(ib - ia + 1, grid.Y[j]))
            roads.append((h_names[j], grid.htype[j], list(zip(x.tolist(), y.tolist(), strict=False))))
    tables["ROAD"] = [(k + 1, name, kind, ewkb.linestring(coords)) for k, (name, kind, coords) in enumerate(roads)]
    tables["LAND_PURPOSE"] = [(k + 1, code, name, lu) for k, (code, name, lu) in enumerate(LAND_PURPOSES)]

    plots: list[tuple] = []
    beacons: list[tuple] = []
    legs: list[tuple] = []
    pb_no = sc_no = 0
    layout_no: dict[int, int] = defaultdict(int)
    plot_no: dict[int, int] = defaultdict(int)

    bar = None
    if progress:
        from tqdm import tqdm

        bar = tqdm(total=parcels, desc="parcels", unit="parcel", leave=False)

    for zid, did, (c0, c1, r0, r1) in hier.zones:
        zname = zone_names[zid]
        for j in range(r0, r1):
            for i in range(c0, c1):
                if len(plots) >= parcels:
                    break
                brng = random.Random((seed * 7919 + i) * 104_729 + j)
                x0, y0, length, depth = grid.block_frame(i, j)
                block = _block_parcels(length, depth, brng)
                block = block[: parcels - len(plots)]

                corners = sorted({p for _, ring in block for p in ring})
                wx, wy = grid.to_world([x0 + u for u, _ in corners], [y0 + v for _, v in corners])
                world = dict(zip(corners, zip(wx.tolist(), wy.tolist(), strict=False), strict=False))
                beacon_id: dict[tuple[int, int], int] = {}
                block_corners = {(0, 0), (length, 0), (0, depth), (length, depth)}
                for p in corners:
                    if p in block_corners:
                        sc_no += 1
                        number = f"SC/CN {sc_no}"
                    else:
                        pb_no += 1
                        number = f"PB {pb_no}"
                    bid = len(beacons) + 1
                    beacon_id[p] = bid
                    beacons.append((bid, number, _weighted(brng, BEACON_STATUS), _weighted(brng, BEACON_REMARK),
                                    ewkb.point(*world[p])))

                surveyor = brng.choice(surveyors)
                layout = None
                if brng.random() < 0.8:
                    layout_no[zid] += 1
                    layout = f"PL/{zname}/{layout_no[zid]:03d}"
                fronts = {"A": j, "B": j + 1}
                for row, ring in block:
                    line = fronts[row]
                    if grid.htype[line] == "Major":
                        general = _weighted(brng, (("Commercial", 45), ("Mixed Use", 20), ("Residential", 25),
                                                   ("Institutional", 5), ("Religious", 5)))
                    else:
                        general = _weighted(brng, (("Residential", 84), ("Institutional", 4), ("Commercial", 4),
                                                   ("Religious", 3), ("Industrial", 2), ("Open Space", 1),
                                                   ("Mixed Use", 2)))
                    detail = brng.choice(_PURPOSES_BY_LU[general])
                    pid = len(plots) + 1
                    plot_no[zid] += 1
                    number = str(plot_no[zid])
                    coords = [world[p] for p in ring]
                    area = abs(_signed_area2(coords)) / 2.0
                    plots.append((
                        pid, number, _weighted(brng, PLOT_STATUS), round(area, 2), general, zname, detail,
                        f"{FILE_PREFIX[general]}/{brng.randint(1985, 2025)}/{pid:06d}",
                        f"Plot {number}, {h_names[line]}, {district_names[did]}",
                        surveyor, layout, ewkb.polygon(coords),
                    ))
                    n = len(ring)
                    for k in range(n):
                        (x1, y1), (x2, y2) = coords[k], coords[(k + 1) % n]
                        deg, mins = bearing_dms(x2 - x1, y2 - y1)
                        legs.append((len(legs) + 1, pid, k + 1, beacon_id[ring[k]], beacon_id[ring[(k + 1) % n]],
                                     round(math.hypot(x2 - x1, y2 - y1), 2), deg, mins))
                if bar is not None:
                    bar.update(len(block))
    if bar is not None:
        bar.close()
    if len(plots) < parcels:
        return None

    tables["PLOT"] = plots
    tables["BEACON"] = beacons
    tables["BOUNDARY"] = legs
    return Dataset(parcels=parcels, seed=seed, tables=tables, center=grid.center)
