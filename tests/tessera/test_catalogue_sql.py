"""The layer catalogue, zoom tiers and the per-zoom tile statement."""
from __future__ import annotations

import pytest

LGAS_Z5 = '''
    SELECT ST_AsMVT(mvt_data, 'lgas', 4096, 'mvt_geom') AS mvt
    FROM (
        SELECT "id", "name",
            "id" AS feature_id,
            ST_AsMVTGeom(
                ST_SimplifyPreserveTopology("geometry", 500),
                ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857),
                4096,
                256,
                true
            ) AS mvt_geom
        FROM "GIS"."LGAs"
        WHERE "geometry" && ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)
        ORDER BY ST_Area("geometry") DESC
        LIMIT 3000
    ) AS mvt_data
    WHERE mvt_data.mvt_geom IS NOT NULL;
    '''

LGAS_Z18 = '''
    SELECT ST_AsMVT(mvt_data, 'lgas', 4096, 'mvt_geom') AS mvt
    FROM (
        SELECT "id", "name",
            "id" AS feature_id,
            ST_AsMVTGeom(
                "geometry",
                ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857),
                4096,
                8,
                true
            ) AS mvt_geom
        FROM "GIS"."LGAs"
        WHERE 
        "geometry" && ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)
        AND ST_Intersects("geometry", ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857))
        
        ORDER BY ST_Area("geometry") DESC
        LIMIT 15000
    ) AS mvt_data
    WHERE mvt_data.mvt_geom IS NOT NULL;
    '''

PLOTS_Z14 = '''
    SELECT ST_AsMVT(mvt_data, 'plots', 4096, 'mvt_geom') AS mvt
    FROM (
        SELECT "ID", "PLOT_NO", "STATUS", "AREA_SYSTEM", "GENERAL_LU", "CADZONE", "DETAIL_LU", "file_no",
            "ID" AS feature_id,
            ST_AsMVTGeom(
                ST_SimplifyPreserveTopology("GEOMETRY", 10),
                ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857),
                4096,
                64,
                true
            ) AS mvt_geom
        FROM "GIS"."PLOT"
        WHERE 
        "GEOMETRY" && ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)
        AND ST_Intersects("GEOMETRY", ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857))
        
        ORDER BY ST_Area("GEOMETRY") DESC
        LIMIT 15000
    ) AS mvt_data
    WHERE mvt_data.mvt_geom IS NOT NULL;
    '''


def test_catalogue(tessera):
    config = tessera.LAYER_CONFIG
    assert list(config) == ["plots", "beacons", "cadzones", "districts", "lgas", "roads"]
    assert all(list(entry) == ["table", "id_col", "geom_col", "properties", "min_zoom"] for entry in config.values())
    assert ", ".join(config["plots"]["properties"]) == (
        '"ID", "PLOT_NO", "STATUS", "AREA_SYSTEM", "GENERAL_LU", "CADZONE", "DETAIL_LU", "file_no"')
    assert [(e["table"], e["min_zoom"]) for e in config.values()] == [
        ('"GIS"."PLOT"', 8), ('"GIS"."BEACON"', 12), ('"GIS"."CadZones"', 4), ('"GIS"."Districts"', 3),
        ('"GIS"."LGAs"', 2), ('"GIS"."ROAD"', 10)]


@pytest.mark.parametrize("layer, zoom, expected", [("lgas", 5, LGAS_Z5), ("lgas", 18, LGAS_Z18),
                                                   ("plots", 14, PLOTS_Z14)])
def test_worked_examples_byte_for_byte(tessera, layer, zoom, expected):
    sql, tier = tessera.generate_mvt_sql(layer, zoom)
    assert sql == expected
    assert tier == tessera.get_zoom_config(zoom, layer)


def test_zoom_tiers(tessera):
    tiers = {z: tessera.get_zoom_config(z, "lgas") for z in range(2, 21)}
    assert tessera.get_zoom_config(1, "lgas") is None
    assert tessera.get_zoom_config(7, "plots") is None
    assert tessera.get_zoom_config(8, "plots") == {"tolerance": 250, "feature_limit": 5000, "buffer": 256,
                                                   "cache_ttl": 7200}
    assert list(tiers[2]) == ["tolerance", "feature_limit", "buffer", "cache_ttl"]
    assert [(tiers[z]["tolerance"], tiers[z]["buffer"]) for z in (4, 5, 14, 15, 16, 17, 20)] == [
        (1000, 512), (500, 256), (10, 64), (0, 16), (0, 16), (0, 8), (0, 8)]
    assert [tiers[z]["feature_limit"] for z in (4, 6, 8, 10, 12, 14, 16, 17)] == [
        2000, 3000, 5000, 8000, 10000, 15000, 20000, 30000]
    assert (tiers[10]["cache_ttl"], tiers[11]["cache_ttl"]) == (7200, 1800)
    assert tessera.get_zoom_config(12, "no-such-layer") == tiers[12]
    assert tessera.get_zoom_config(5, "lgas") is not tessera.get_zoom_config(5, "lgas")


def test_lifetimes_follow_the_module_constants(tessera, monkeypatch):
    monkeypatch.setattr(tessera, "CACHE_TTL_SHORT", 60)
    monkeypatch.setattr(tessera, "CACHE_TTL_LONG", 600)
    assert tessera.get_zoom_config(11, "plots")["cache_ttl"] == 60
    assert tessera.generate_mvt_sql("plots", 9)[1]["cache_ttl"] == 600


def test_filters_simplification_and_limits(tessera):
    def sql(layer, zoom):
        return tessera.generate_mvt_sql(layer, zoom)[0]

    assert sql("cadzones", 6).count("ST_MakeEnvelope") == 2 and sql("cadzones", 7).count("ST_MakeEnvelope") == 3
    assert "ST_SimplifyPreserveTopology" not in sql("plots", 15)
    assert all("LIMIT 15000\n" in sql("beacons", z) for z in (14, 16, 20))
    assert tessera.generate_mvt_sql("beacons", 20)[1]["feature_limit"] == 30000
    # Zoom 0 and a missing zoom take the zoom-10 tier; 0 filters by overlap, None exactly.
    assert "LIMIT 8000\n" in sql("roads", 0) and sql("roads", 0).count("ST_MakeEnvelope") == 2
    assert "LIMIT 8000\n" in sql("roads", None) and sql("roads", None).count("ST_MakeEnvelope") == 3
    statement = sql("districts", 12)
    assert ":max_features" not in statement
    assert {p for p in (":min_x", ":min_y", ":max_x", ":max_y") if p in statement} == {":min_x", ":min_y", ":max_x",
                                                                                        ":max_y"}


def test_feature_cap_follows_the_module_constant(tessera, monkeypatch):
    monkeypatch.setattr(tessera, "MAX_FEATURES_GLOBAL", 100)
    assert "LIMIT 100\n" in tessera.generate_mvt_sql("plots", 12)[0]


def test_sql_builder_errors(tessera):
    with pytest.raises(ValueError, match=r"^Unknown layer: parcels$"):
        tessera.generate_mvt_sql("parcels", 10)
    with pytest.raises(ValueError, match=r"^Layer beacons not available at zoom level 11$"):
        tessera.generate_mvt_sql("beacons", 11)
    with pytest.raises(ValueError, match=r"^Unknown layer: x'; DROP TABLE t; --$"):
        tessera.generate_mvt_sql("x'; DROP TABLE t; --", 10)


def test_calls_between_functions_go_through_the_module(tessera, monkeypatch):
    seen = []

    def tier(zoom, layer_name):
        seen.append((zoom, layer_name))
        return {"tolerance": 7, "feature_limit": 9, "buffer": 3, "cache_ttl": 1}

    monkeypatch.setattr(tessera, "get_zoom_config", tier)
    sql, config = tessera.generate_mvt_sql("roads", 13)
    assert seen == [(13, "roads")] and "LIMIT 9\n" in sql and 'ST_SimplifyPreserveTopology("GEOMETRY", 7)' in sql


def test_argument_checks(tessera):
    assert tessera.get_zoom_config(8.9, "plots")["tolerance"] == 250  # int() of a number
    with pytest.raises(TypeError, match=r"^Argument 'layer_name' has incorrect type \(expected str, got int\)$"):
        tessera.get_zoom_config(8, 5)
    class Name(str):
        pass

    with pytest.raises(TypeError, match=r"^Argument 'layer_name' has incorrect type \(expected str, got Name\)$"):
        tessera.get_zoom_config(8, Name("plots"))
    with pytest.raises(TypeError, match=r"^Argument 'zoom' has incorrect type \(expected int, got str\)$"):
        tessera.get_zoom_config("8", "plots")
    with pytest.raises(TypeError, match=r"^generate_mvt_sql\(\) missing 1 required positional argument: 'layer_name'$"):
        tessera.generate_mvt_sql()


def test_numbers_of_every_kind_compare_as_python_compares_them(tessera, monkeypatch):
    """Exact ints take a C fast path; bools, int subclasses, huge ints and floats must agree with it."""
    class Zoom(int):
        pass

    with pytest.raises(ValueError, match=r"^Layer lgas not available at zoom level True$"):
        tessera.generate_mvt_sql("lgas", True)
    assert tessera.get_zoom_config(True, "districts") is None
    assert tessera.generate_mvt_sql("lgas", Zoom(6)) == tessera.generate_mvt_sql("lgas", 6)
    assert tessera.generate_mvt_sql("lgas", Zoom(7)) == tessera.generate_mvt_sql("lgas", 7)
    assert tessera.get_zoom_config(Zoom(17), "plots") == tessera.get_zoom_config(17, "plots")
    assert tessera.get_zoom_config(2**70, "plots") == tessera.get_zoom_config(30, "plots")
    assert tessera.get_zoom_config(-(2**70), "plots") == tessera.get_zoom_config(-1, "plots")
    assert tessera.get_zoom_config(-(2**70), "beacons") is None
    monkeypatch.setattr(tessera, "get_zoom_config",
                        lambda zoom, layer: {"tolerance": 0.5, "feature_limit": 2**70, "buffer": True, "cache_ttl": 1})
    sql, _ = tessera.generate_mvt_sql("roads", 13)
    assert 'ST_SimplifyPreserveTopology("GEOMETRY", 0.5)' in sql
    assert f"LIMIT {tessera.MAX_FEATURES_GLOBAL}\n" in sql and "4096,\n                True,\n" in sql


def test_a_global_shadowing_a_builtin_is_seen_at_once_and_its_removal_too(tessera, monkeypatch):
    # Names are remembered between calls; defining or deleting a module global must still count.
    assert "LIMIT 8000\n" in tessera.generate_mvt_sql("roads", 10)[0]
    with monkeypatch.context() as patch:
        patch.setattr(tessera, "min", lambda *values: 7, raising=False)
        assert "LIMIT 7\n" in tessera.generate_mvt_sql("roads", 10)[0]
    assert "LIMIT 8000\n" in tessera.generate_mvt_sql("roads", 10)[0]
    import builtins

    monkeypatch.setattr(builtins, "min", lambda *values: 5)
    assert "LIMIT 5\n" in tessera.generate_mvt_sql("roads", 10)[0]
