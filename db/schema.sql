-- Land-records GIS schema. Safe to apply repeatedly.
-- All geometries are EPSG:3857; lengths and areas are in its planar metres.

CREATE EXTENSION IF NOT EXISTS postgis;

CREATE SCHEMA IF NOT EXISTS "GIS";

CREATE TABLE IF NOT EXISTS "GIS"."LGAs" (
    "id"       integer PRIMARY KEY,
    "name"     text NOT NULL,
    "geometry" geometry(MultiPolygon, 3857) NOT NULL
);

CREATE TABLE IF NOT EXISTS "GIS"."Districts" (
    "id"       integer PRIMARY KEY,
    "name"     text NOT NULL,
    "lga_id"   integer NOT NULL,
    "geometry" geometry(MultiPolygon, 3857) NOT NULL
);

CREATE TABLE IF NOT EXISTS "GIS"."CadZones" (
    "id"          integer PRIMARY KEY,
    "name"        text NOT NULL,
    "district_id" integer NOT NULL,
    "geometry"    geometry(MultiPolygon, 3857) NOT NULL
);

CREATE TABLE IF NOT EXISTS "GIS"."ROAD" (
    "ID"        integer PRIMARY KEY,
    "ROAD_NAME" text,
    "ROAD_TYPE" text,
    "GEOMETRY"  geometry(LineString, 3857)
);

CREATE TABLE IF NOT EXISTS "GIS"."LAND_PURPOSE" (
    "ID"   integer PRIMARY KEY,
    "CODE" text NOT NULL UNIQUE,
    "NAME" text NOT NULL,
    "GENERAL_LU" text
);

CREATE TABLE IF NOT EXISTS "GIS"."PLOT" (
    "ID"             integer PRIMARY KEY,
    "PLOT_NO"        text,
    "STATUS"         text,
    "AREA_SYSTEM"    double precision,
    "GENERAL_LU"     text,
    "CADZONE"        text,
    "DETAIL_LU"      text,
    "file_no"        text,
    "ADDRESS"        text,
    "SURVEYED_BY"    text,
    "PLAN_LAYOUT_NO" text,
    "GEOMETRY"       geometry(Polygon, 3857)
);

CREATE TABLE IF NOT EXISTS "GIS"."BEACON" (
    "ID"        integer PRIMARY KEY,
    "BEACON_NO" text,
    "STATUS"    text,
    "REMARK"    text,
    "GEOMETRY"  geometry(Point, 3857)
);

-- One row per leg of a parcel's ring, in ring order; the leg runs BEACON1ID -> BEACON2ID.
CREATE TABLE IF NOT EXISTS "GIS"."BOUNDARY" (
    "ID"        integer PRIMARY KEY,
    "PLOTID"    integer NOT NULL,
    "SEQ"       integer NOT NULL,
    "BEACON1ID" integer NOT NULL,
    "BEACON2ID" integer NOT NULL,
    "LENGTH"    double precision,
    "ANGLEDEG"  integer,
    "ANGLEMIN"  integer
);

-- Indexes: the loader drops these before a bulk load and reapplies this file afterwards.
CREATE INDEX IF NOT EXISTS "LGAs_geometry_gist" ON "GIS"."LGAs" USING gist ("geometry");
CREATE INDEX IF NOT EXISTS "Districts_geometry_gist" ON "GIS"."Districts" USING gist ("geometry");
CREATE INDEX IF NOT EXISTS "CadZones_geometry_gist" ON "GIS"."CadZones" USING gist ("geometry");
CREATE INDEX IF NOT EXISTS "ROAD_GEOMETRY_gist" ON "GIS"."ROAD" USING gist ("GEOMETRY");
CREATE INDEX IF NOT EXISTS "PLOT_GEOMETRY_gist" ON "GIS"."PLOT" USING gist ("GEOMETRY");
CREATE INDEX IF NOT EXISTS "BEACON_GEOMETRY_gist" ON "GIS"."BEACON" USING gist ("GEOMETRY");
CREATE INDEX IF NOT EXISTS "BOUNDARY_PLOTID_idx" ON "GIS"."BOUNDARY" ("PLOTID");
-- Search: plot, file and beacon numbers match exactly or by prefix, whatever the case;
-- addresses match anywhere (trigrams).
CREATE EXTENSION IF NOT EXISTS pg_trgm;
CREATE INDEX IF NOT EXISTS "PLOT_PLOT_NO_lower_idx" ON "GIS"."PLOT" (lower("PLOT_NO") text_pattern_ops);
CREATE INDEX IF NOT EXISTS "PLOT_file_no_lower_idx" ON "GIS"."PLOT" (lower("file_no") text_pattern_ops);
CREATE INDEX IF NOT EXISTS "PLOT_ADDRESS_trgm" ON "GIS"."PLOT" USING gin ("ADDRESS" gin_trgm_ops);
CREATE INDEX IF NOT EXISTS "BEACON_BEACON_NO_lower_idx" ON "GIS"."BEACON" (lower("BEACON_NO") text_pattern_ops);

-- Edits reach the map: after each statement on a layer's table, one notification on
-- the "tile_edits" channel carries the extent of the rows it touched, old and new
-- together, as {"layer": ..., "op": ..., "bbox": [minx, miny, maxx, maxy]}; TRUNCATE
-- sends {"layer": ..., "op": "TRUNCATE", "all": true}. NOTIFY is delivered on commit
-- only, so a rolled-back edit invalidates nothing. The listener (api/service/tile_edits.py)
-- turns the extent into cache keys. Bulk loads drop these triggers before COPY (the
-- loader reapplies this file afterwards and its TRUNCATE invalidates the layers whole).
CREATE OR REPLACE FUNCTION "GIS".tile_edit_notify() RETURNS trigger
LANGUAGE plpgsql AS $fn$
DECLARE
    layer text := TG_ARGV[0];
    geom text := quote_ident(TG_ARGV[1]);
    box box2d;
BEGIN
    IF TG_OP = 'TRUNCATE' THEN
        PERFORM pg_notify('tile_edits', json_build_object('layer', layer, 'op', TG_OP, 'all', true)::text);
        RETURN NULL;
    END IF;
    -- Transition tables are visible to dynamic SQL; the geometry column differs by table.
    IF TG_OP = 'INSERT' THEN
        EXECUTE format('SELECT ST_Extent(%s) FROM new_rows', geom) INTO box;
    ELSIF TG_OP = 'DELETE' THEN
        EXECUTE format('SELECT ST_Extent(%s) FROM old_rows', geom) INTO box;
    ELSE
        EXECUTE format('SELECT ST_Extent(g) FROM (SELECT %1$s AS g FROM old_rows UNION ALL SELECT %1$s FROM new_rows) AS t',
                       geom) INTO box;
    END IF;
    -- No rows, or none with a geometry: nothing a tile shows has changed.
    IF box IS NULL THEN
        RETURN NULL;
    END IF;
    PERFORM pg_notify('tile_edits', json_build_object(
        'layer', layer, 'op', TG_OP,
        'bbox', json_build_array(ST_XMin(box), ST_YMin(box), ST_XMax(box), ST_YMax(box)))::text);
    RETURN NULL;
END
$fn$;

DO $edits$
DECLARE
    t record;
BEGIN
    FOR t IN SELECT * FROM (VALUES ('PLOT', 'plots', 'GEOMETRY'), ('BEACON', 'beacons', 'GEOMETRY'),
                                   ('ROAD', 'roads', 'GEOMETRY'), ('CadZones', 'cadzones', 'geometry'),
                                   ('Districts', 'districts', 'geometry'), ('LGAs', 'lgas', 'geometry'))
                           AS v(tbl, layer, geom)
    LOOP
        EXECUTE format('CREATE OR REPLACE TRIGGER tile_edit_insert AFTER INSERT ON "GIS".%I '
                       'REFERENCING NEW TABLE AS new_rows FOR EACH STATEMENT '
                       'EXECUTE FUNCTION "GIS".tile_edit_notify(%L, %L)', t.tbl, t.layer, t.geom);
        EXECUTE format('CREATE OR REPLACE TRIGGER tile_edit_update AFTER UPDATE ON "GIS".%I '
                       'REFERENCING OLD TABLE AS old_rows NEW TABLE AS new_rows FOR EACH STATEMENT '
                       'EXECUTE FUNCTION "GIS".tile_edit_notify(%L, %L)', t.tbl, t.layer, t.geom);
        EXECUTE format('CREATE OR REPLACE TRIGGER tile_edit_delete AFTER DELETE ON "GIS".%I '
                       'REFERENCING OLD TABLE AS old_rows FOR EACH STATEMENT '
                       'EXECUTE FUNCTION "GIS".tile_edit_notify(%L, %L)', t.tbl, t.layer, t.geom);
        EXECUTE format('CREATE OR REPLACE TRIGGER tile_edit_truncate AFTER TRUNCATE ON "GIS".%I '
                       'FOR EACH STATEMENT EXECUTE FUNCTION "GIS".tile_edit_notify(%L, %L)', t.tbl, t.layer, t.geom);
    END LOOP;
END
$edits$;

-- Tiles of many parcels (z8-z13) keep the largest parcels first, up to the tier's limit. This
-- index lets the planner read parcels largest first and stop at the limit, instead of computing
-- ST_Area for every parcel in the tile and sorting them all (z10 over a million parcels: 737,397
-- areas computed to keep 8,000). ANALYZE also keeps statistics on the expression, which is what
-- lets the planner weigh the two plans. Rebuilt by the loader like the indexes above.
CREATE INDEX IF NOT EXISTS "PLOT_area_desc_idx" ON "GIS"."PLOT" (ST_Area("GEOMETRY") DESC);

-- A plan names the parcel's district through its zone's row, joined on the zone's name: without
-- this index every plan read all the zones (4,636 at a million parcels: 16 ms, against 0.1 ms).
CREATE INDEX IF NOT EXISTS "CadZones_name_idx" ON "GIS"."CadZones" ("name");

-- The tile statements are prepared once per connection and run with each tile's corners. After
-- five runs PostgreSQL may switch to a generic plan, made without the corners: it then reads
-- parcels through the area index whatever the tile holds, and a z10 tile took 4.4 s instead of
-- 0.54 s. A custom plan per run costs a few milliseconds of planning. Needs the database's owner;
-- scripts/services.sh also sets it for the whole cluster.
DO $plans$
BEGIN
    EXECUTE format('ALTER DATABASE %I SET plan_cache_mode = force_custom_plan', current_database());
EXCEPTION WHEN insufficient_privilege THEN
    RAISE WARNING 'plan_cache_mode not set for this database (not its owner): set force_custom_plan';
END
$plans$;
