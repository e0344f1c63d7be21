"""The sample cadastre, checked in PostGIS after a real load."""
from __future__ import annotations

import asyncio
import math
import re
import subprocess
import sys
import time
from collections import defaultdict
from pathlib import Path

import asyncpg
import pytest

from tests.support import services  # noqa: E402

import sampledata  # noqa: E402
from sampledata.generator import COLUMNS  # noqa: E402
from sampledata.loader import SCHEMA_FILE, _index_names  # noqa: E402

pytestmark = pytest.mark.integration

PARCELS = 400
SEED = 1
LAYERS = [("PLOT", "GEOMETRY"), ("BEACON", "GEOMETRY"), ("ROAD", "GEOMETRY"),
          ("CadZones", "geometry"), ("Districts", "geometry"), ("LGAs", "geometry")]


def _dsn(name: str) -> str:
    return sampledata.database_dsn(name)


def query(sql: str, *args, database: str | None = None) -> list[asyncpg.Record]:
    async def run():
        conn = await asyncpg.connect(_dsn(database or services.settings()["PGDATABASE_TEST"]))
        try:
            return await conn.fetch(sql, *args)
        finally:
            await conn.close()

    return asyncio.run(run())


def scalar(sql: str, *args, database: str | None = None):
    return query(sql, *args, database=database)[0][0]


@pytest.fixture(scope="module", autouse=True)
def loaded():
    services.load_test_dataset(PARCELS, SEED)


class TestParcels:
    def test_count_and_validity(self):
        assert scalar('SELECT count(*) FROM "GIS"."PLOT"') == PARCELS
        assert scalar('SELECT count(*) FROM "GIS"."PLOT" WHERE NOT ST_IsValid("GEOMETRY") '
                      'OR ST_IsEmpty("GEOMETRY") OR ST_SRID("GEOMETRY") <> 3857') == 0

    def test_sizes_and_shapes(self):
        rows = query('SELECT "AREA_SYSTEM" a, ST_Area("GEOMETRY") g, ST_NPoints("GEOMETRY") - 1 AS corners, '
                     'ST_Area(ST_ConvexHull("GEOMETRY")) - ST_Area("GEOMETRY") AS dent FROM "GIS"."PLOT"')
        assert max(abs(r["a"] - r["g"]) for r in rows) < 0.006
        assert 250 <= min(r["g"] for r in rows) and max(r["g"] for r in rows) <= 2100
        assert sum(4 <= r["corners"] <= 6 for r in rows) >= 0.85 * len(rows)
        assert any(r["dent"] > 10 for r in rows), "expected some parcels with a reflex corner"
        # near-coincident corners would leave stub legs no surveyor would beacon
        assert scalar('SELECT min("LENGTH") FROM "GIS"."BOUNDARY"') >= 1.0

    def test_parcels_meet_only_along_edges(self):
        overlapping = scalar('''
            SELECT count(*) FROM "GIS"."PLOT" a JOIN "GIS"."PLOT" b
              ON a."ID" < b."ID" AND a."GEOMETRY" && b."GEOMETRY"
             WHERE ST_Relate(a."GEOMETRY", b."GEOMETRY", 'T********')
                OR ST_Area(ST_Intersection(a."GEOMETRY", b."GEOMETRY")) > 0.01''')
        assert overlapping == 0
        neighbours = scalar('''
            SELECT count(*) FROM "GIS"."PLOT" a JOIN "GIS"."PLOT" b
              ON a."ID" < b."ID" AND ST_Relate(a."GEOMETRY", b."GEOMETRY", 'F***1****')''')
        assert neighbours >= PARCELS  # the check above is not vacuous

    def test_parcels_clear_of_roads(self):
        assert scalar('SELECT count(*) FROM "GIS"."ROAD"') > 0
        assert scalar('SELECT count(*) FROM "GIS"."ROAD" r JOIN "GIS"."PLOT" p '
                      'ON ST_Intersects(r."GEOMETRY", p."GEOMETRY")') == 0
        assert scalar('SELECT count(*) FROM "GIS"."ROAD" WHERE NOT ST_IsValid("GEOMETRY") '
                      'OR "ROAD_NAME" IS NULL OR "ROAD_TYPE" NOT IN (\'Major\', \'Minor\', \'Access\')') == 0

    def test_attributes(self):
        assert scalar('SELECT count(*) FROM "GIS"."PLOT" p LEFT JOIN "GIS"."LAND_PURPOSE" l '
                      'ON l."NAME" = p."DETAIL_LU" AND l."GENERAL_LU" = p."GENERAL_LU" WHERE l."ID" IS NULL') == 0
        r = query('SELECT count(DISTINCT ("CADZONE", "PLOT_NO")) zone_plot, count(DISTINCT "file_no") files, '
                  'count(*) FILTER (WHERE "PLAN_LAYOUT_NO" IS NULL) no_layout, '
                  'count(*) FILTER (WHERE "STATUS" IS NULL OR "ADDRESS" IS NULL OR "SURVEYED_BY" IS NULL) missing '
                  'FROM "GIS"."PLOT"')[0]
        assert r["zone_plot"] == PARCELS and r["files"] == PARCELS and r["missing"] == 0
        assert 0 < r["no_layout"] < PARCELS

    def test_located_near_reference_point(self):
        r = query('SELECT ST_X(c) lon, ST_Y(c) lat FROM (SELECT ST_Transform(ST_Centroid(ST_Collect("GEOMETRY")), '
                  '4326) c FROM "GIS"."PLOT") s')[0]
        assert abs(r["lon"] - 7.5) < 0.05 and abs(r["lat"] - 6.4) < 0.05


class TestBeacons:
    def test_one_beacon_per_point(self):
        assert scalar('SELECT count(*) FROM "GIS"."BEACON" a JOIN "GIS"."BEACON" b '
                      'ON a."ID" < b."ID" AND ST_DWithin(a."GEOMETRY", b."GEOMETRY", 0.01)') == 0
        numbers = [r[0] for r in query('SELECT "BEACON_NO" FROM "GIS"."BEACON"')]
        assert len(set(numbers)) == len(numbers)
        assert all(re.fullmatch(r"(PB|SC/CN) \d+", n) for n in numbers)

    def test_every_corner_is_a_beacon_in_ring_order(self):
        bad = scalar('''
            SELECT count(*) FROM "GIS"."BOUNDARY" b
              JOIN "GIS"."PLOT" p ON p."ID" = b."PLOTID"
              JOIN "GIS"."BEACON" k ON k."ID" = b."BEACON1ID"
             WHERE NOT ST_Equals(ST_PointN(ST_ExteriorRing(p."GEOMETRY"), b."SEQ"), k."GEOMETRY")''')
        assert bad == 0
        assert scalar('''
            SELECT count(*) FROM "GIS"."PLOT" p
             WHERE ST_NPoints(p."GEOMETRY") - 1 <> (SELECT count(*) FROM "GIS"."BOUNDARY" b
                                                     WHERE b."PLOTID" = p."ID")''') == 0
        # each leg ends where the next starts, the last one back at the first
        assert scalar('''
            SELECT count(*) FROM "GIS"."BOUNDARY" b
              JOIN "GIS"."BOUNDARY" n ON n."PLOTID" = b."PLOTID"
               AND n."SEQ" = b."SEQ" % (SELECT count(*) FROM "GIS"."BOUNDARY" c WHERE c."PLOTID" = b."PLOTID") + 1
             WHERE n."BEACON1ID" <> b."BEACON2ID"''') == 0
        assert scalar('SELECT count(*) FROM "GIS"."BEACON" k WHERE NOT EXISTS '
                      '(SELECT 1 FROM "GIS"."BOUNDARY" b WHERE b."BEACON1ID" = k."ID")') == 0

    def test_neighbours_share_beacons(self):
        shared = query('''
            SELECT "BEACON1ID", count(DISTINCT "PLOTID") n FROM "GIS"."BOUNDARY" GROUP BY 1''')
        assert sum(r["n"] >= 2 for r in shared) >= 0.5 * len(shared)
        # A corner of one parcel lying on a neighbour's side is a corner of the neighbour too.
        unshared = scalar('''
            SELECT count(*) FROM "GIS"."PLOT" a
              JOIN "GIS"."PLOT" o ON o."ID" <> a."ID" AND a."GEOMETRY" && o."GEOMETRY"
              JOIN "GIS"."BOUNDARY" b ON b."PLOTID" = a."ID"
              JOIN "GIS"."BEACON" k ON k."ID" = b."BEACON1ID"
             WHERE ST_DWithin(k."GEOMETRY", ST_ExteriorRing(o."GEOMETRY"), 0.001)
               AND NOT EXISTS (SELECT 1 FROM "GIS"."BOUNDARY" x WHERE x."PLOTID" = o."ID"
                                                               AND x."BEACON1ID" = k."ID")''')
        assert unshared == 0


class TestBoundaryLegs:
    def test_lengths_and_bearings_match_beacons(self):
        rows = query('''
            SELECT b."LENGTH" len, b."ANGLEDEG" deg, b."ANGLEMIN" mins,
                   ST_Distance(k1."GEOMETRY", k2."GEOMETRY") dist,
                   degrees(ST_Azimuth(k1."GEOMETRY", k2."GEOMETRY")) az
              FROM "GIS"."BOUNDARY" b
              JOIN "GIS"."BEACON" k1 ON k1."ID" = b."BEACON1ID"
              JOIN "GIS"."BEACON" k2 ON k2."ID" = b."BEACON2ID"''')
        for r in rows:
            assert abs(r["len"] - r["dist"]) <= 0.0051
            assert 0 <= r["deg"] < 360 and 0 <= r["mins"] < 60
            diff = abs(r["deg"] + r["mins"] / 60 - r["az"]) % 360
            assert min(diff, 360 - diff) <= 0.5 / 60 + 1e-9

    def test_traverse_closes_on_first_beacon(self):
        rows = query('''
            SELECT b."PLOTID" pid, b."LENGTH" len, b."ANGLEDEG" deg, b."ANGLEMIN" mins,
                   ST_X(k."GEOMETRY") x, ST_Y(k."GEOMETRY") y
              FROM "GIS"."BOUNDARY" b JOIN "GIS"."BEACON" k ON k."ID" = b."BEACON1ID"
             ORDER BY b."PLOTID", b."SEQ"''')
        legs = defaultdict(list)
        for r in rows:
            legs[r["pid"]].append(r)
        assert len(legs) == PARCELS
        for pid, ring in legs.items():
            x, y = ring[0]["x"], ring[0]["y"]
            for k, leg in enumerate(ring):
                theta = math.radians(leg["deg"] + leg["mins"] / 60)
                x += leg["len"] * math.sin(theta)
                y += leg["len"] * math.cos(theta)
                target = ring[(k + 1) % len(ring)]
                assert math.hypot(x - target["x"], y - target["y"]) <= 0.10, (pid, k)


class TestAdministrativeAreas:
    def test_nesting(self):
        assert scalar('SELECT count(*) FROM "GIS"."LGAs"') >= 2
        assert scalar('SELECT count(*) FROM "GIS"."Districts"') > scalar('SELECT count(*) FROM "GIS"."LGAs"')
        assert scalar('SELECT count(*) FROM "GIS"."CadZones"') > scalar('SELECT count(*) FROM "GIS"."Districts"')
        assert scalar('''
            SELECT count(*) FROM "GIS"."CadZones" z
              LEFT JOIN "GIS"."Districts" d ON d."id" = z."district_id"
              LEFT JOIN "GIS"."LGAs" l ON l."id" = d."lga_id"
             WHERE l."id" IS NULL OR NOT ST_CoveredBy(z."geometry", d."geometry")
                OR NOT ST_CoveredBy(d."geometry", l."geometry")''') == 0

    def test_parcels_inside_their_zone_district_and_lga(self):
        assert scalar('''
            SELECT count(*) FROM "GIS"."PLOT" p
              LEFT JOIN "GIS"."CadZones" z ON z."name" = p."CADZONE"
              LEFT JOIN "GIS"."Districts" d ON d."id" = z."district_id"
              LEFT JOIN "GIS"."LGAs" l ON l."id" = d."lga_id"
             WHERE l."id" IS NULL OR NOT ST_Within(p."GEOMETRY", z."geometry")
                OR NOT ST_Within(p."GEOMETRY", d."geometry") OR NOT ST_Within(p."GEOMETRY", l."geometry")''') == 0

    @pytest.mark.parametrize("table,parent", [("CadZones", "district_id"), ("Districts", "lga_id"), ("LGAs", None)])
    def test_siblings_tile_without_overlap(self, table, parent):
        assert scalar(f'''
            SELECT count(*) FROM "GIS"."{table}" a JOIN "GIS"."{table}" b
              ON a."id" < b."id" AND a."geometry" && b."geometry"
             WHERE ST_Area(ST_Intersection(a."geometry", b."geometry")) > 0.01''') == 0
        if parent:
            upper = {"district_id": "Districts", "lga_id": "LGAs"}[parent]
            gaps = query(f'''
                SELECT u."id", ST_Area(u."geometry") whole, sum(ST_Area(c."geometry")) parts
                  FROM "GIS"."{upper}" u JOIN "GIS"."{table}" c ON c."{parent}" = u."id" GROUP BY 1, 2''')
            assert all(abs(r["whole"] - r["parts"]) < 1e-6 * r["whole"] for r in gaps)


class TestStatistics:
    @pytest.mark.parametrize("table,column", LAYERS)
    def test_estimated_extent(self, table, column):
        three = scalar("SELECT ST_EstimatedExtent('GIS', $1, $2)::text", table, column)
        two = scalar("SELECT ST_EstimatedExtent($1, $2)::text", f'GIS"."{table}', column)
        assert three and three.startswith("BOX(") and two == three
        # planner statistics, not only the index's bounds
        assert scalar("SELECT count(*) FROM pg_stats WHERE schemaname = 'GIS' AND tablename = $1 "
                      "AND attname = $2", table, column) == 1
        assert scalar(f'''SELECT ST_Intersects(ST_EstimatedExtent('GIS', $1, $2)::geometry,
                                               ST_Extent("{column}")::geometry)
                           FROM "GIS"."{table}"''', table, column)

    def test_indexes_present(self):
        present = {r[0] for r in query("SELECT indexname FROM pg_indexes WHERE schemaname = 'GIS'")}
        assert set(_index_names(SCHEMA_FILE.read_text())) <= present


class TestDeterminism:
    def test_same_seed_same_rows(self):
        a, b = sampledata.generate(250, 7), sampledata.generate(250, 7)
        assert a.tables == b.tables
        assert sampledata.generate(250, 8)["PLOT"] != a["PLOT"]

    @pytest.mark.parametrize("n", [1, 23, 1000])
    def test_exact_parcel_count(self, n):
        assert len(sampledata.generate(n, 3)["PLOT"]) == n

    def test_database_holds_generated_rows(self):
        data = sampledata.generate(PARCELS, SEED)
        cols = ", ".join(f'"{c}"' for c in COLUMNS["PLOT"][:-1])
        rows = query(f'SELECT {cols}, ST_AsEWKB("GEOMETRY") FROM "GIS"."PLOT" ORDER BY "ID"')
        assert [tuple(r) for r in rows] == data["PLOT"]
        legs = query('SELECT * FROM "GIS"."BOUNDARY" ORDER BY "ID"')
        assert [tuple(r) for r in legs] == data["BOUNDARY"]


class TestLoader:
    @pytest.fixture(scope="class")
    def scratch(self):
        name = services.settings()["PGDATABASE_TEST"] + "_scratch"
        yield name
        for _ in range(20):
            try:
                query(f'DROP DATABASE IF EXISTS "{name}" WITH (FORCE)', database="postgres")
                return
            except asyncpg.PostgresError:
                time.sleep(0.5)  # an autovacuum worker, which the role may not terminate

    def counts(self, db):
        return {t: scalar(f'SELECT count(*) FROM "GIS"."{t}"', database=db) for t in COLUMNS}

    def test_reload_replaces_and_skips(self, scratch):
        assert sampledata.load(scratch, 30, 3).loaded
        assert not sampledata.load(scratch, 30, 3, reuse=True).loaded
        assert sampledata.load(scratch, 45, 5).loaded
        expected = sampledata.generate(45, 5)
        assert self.counts(scratch) == {t: len(expected[t]) for t in COLUMNS}
        skipped = sampledata.load(scratch, 60, 5, if_empty=True)
        assert not skipped.loaded and skipped.parcels == 45
        assert scalar('SELECT count(*) FROM "GIS"."PLOT"', database=scratch) == 45

    def test_command_line(self, scratch):
        cmd = [sys.executable, "-m", "sampledata", "--parcels", "12", "--seed", "2", "--database", scratch,
               "--drop", "--quiet"]
        root = Path(__file__).resolve().parents[1]
        subprocess.run(cmd, cwd=root, check=True, stdin=subprocess.DEVNULL, timeout=120)
        assert scalar('SELECT count(*) FROM "GIS"."PLOT"', database=scratch) == 12
        subprocess.run(cmd[:-2] + ["--if-empty", "--quiet"], cwd=root, check=True, timeout=120)
        assert scalar('SELECT count(*) FROM "GIS"."PLOT"', database=scratch) == 12
