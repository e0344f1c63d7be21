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
