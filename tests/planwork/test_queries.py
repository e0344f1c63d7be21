"""The parcel, neighbour, road and boundary queries, against a recording session."""
from __future__ import annotations

import asyncio
from types import SimpleNamespace

import pytest
from geoalchemy2.shape import from_shape
from shapely.geometry import LineString

from tests.planwork.conftest import FakeSession, beacon_row, leg, plot_row

PLOT_KEYS = ["id", "name", "area", "file_no", "geometry", "boundary", "surveyed_by", "address", "plan_layout_no"]
BEACON_KEYS = ["beacon_id", "beacon_name", "geometry", "distance_to_next", "bearing_to_next", "bearing_deg_to_next",
               "bearing_min_to_next"]


def road(name, y):
    return SimpleNamespace(road_name=name, geometry=from_shape(LineString([(0, y), (100, y)]), srid=3857))


def session_with_two_parcels(roads=()):
    return FakeSession(
        plots=[plot_row(7), plot_row(8, x0=20.0, address=None, surveyed_by=None, plan_layout_no=None)],
        roads=roads,
        legs={7: [leg(1, 20.0, 90, 0), leg(2, 20.5, 180, 30)], 8: []},
        beacons=[beacon_row(1, 0, 0), beacon_row(2, 20, 0)],
    )


async def test_nearby_result_shape_and_statement_order(planwork):
    db = session_with_two_parcels(roads=[road("First Avenue", -5), road("Second Avenue", -20)])
    generator = planwork.PlanImageGenerator(db)
    result = await generator.get_plot_with_nearby(db, 7)

    assert list(result) == ["plots", "roads"]
    assert db.gets == [("PLOT", 7)]
    # neighbours, roads, then per parcel its legs and per leg its beacon, one at a time
    assert db.tables() == ["PLOT", "ROAD", "BOUNDARY", "BEACON", "BEACON", "BOUNDARY"]
    assert db.max_in_flight == 1
    neighbour_sql, road_sql = db.statements[0][2], db.statements[1][2]
    assert "ST_DWithin" in neighbour_sql and "ORDER BY" not in neighbour_sql and "LIMIT" not in neighbour_sql
    assert "ST_DWithin" in road_sql and "ORDER BY ST_Distance" in road_sql
    assert db.statements[1][1]["param_1"] == 3  # the limit
    assert [p for p in db.statements[0][1].values() if p == 50] == [50]
    assert [s[1]["PLOTID_1"] for s in db.statements if s[0] == "BOUNDARY"] == [7, 8]
    assert [s[1]["ID_1"] for s in db.statements if s[0] == "BEACON"] == [1, 2]

    first, second = result["plots"]
    assert list(first) == PLOT_KEYS
    assert first["id"] == 7 and first["name"] == "P7" and first["area"] == 400.0 and first["file_no"] == "F/7"
    assert first["geometry"]["type"] == "Polygon"
    assert first["geometry"]["coordinates"][0][:2] == ((0.0, 0.0), (20.0, 0.0))
    assert first["address"] == "PLOT 7, MAIN STREET"
    assert [list(b) for b in first["boundary"]] == [BEACON_KEYS, BEACON_KEYS]
    assert first["boundary"][1] == {
        "beacon_id": 2, "beacon_name": "B2", "geometry": {"type": "Point", "coordinates": (20.0, 0.0)},
        "distance_to_next": 20.5, "bearing_to_next": "180°30'", "bearing_deg_to_next": "180°",
        "bearing_min_to_next": "30'",
    }
    assert second["boundary"] == [] and second["address"] == ""
    assert second["surveyed_by"] is None and second["plan_layout_no"] is None
    assert result["roads"] == [
        {"name": "First Avenue", "geometry": {"type": "LineString", "coordinates": ((0.0, -5.0), (100.0, -5.0))}},
        {"name": "Second Avenue", "geometry": {"type": "LineString", "coordinates": ((0.0, -20.0), (100.0, -20.0))}},
    ]


async def test_no_road_gives_none_not_an_empty_list(planwork):
    db = session_with_two_parcels()
    result = await planwork.PlanImageGenerator(db).get_plot_with_nearby(db, 7)
    assert result["roads"] is None


async def test_roads_keep_the_query_order(planwork):
    # The database orders and limits; the generator keeps what comes back as it comes.
    db = session_with_two_parcels(roads=[road("C", -30), road("A", -2), road("B", -10)])
    result = await planwork.PlanImageGenerator(db).get_plot_with_nearby(db, 7)
    assert [r["name"] for r in result["roads"]] == ["C", "A", "B"]


async def test_unknown_parcel_queries_nothing_else(planwork):
    db = session_with_two_parcels()
    assert await planwork.PlanImageGenerator(db).get_plot_with_nearby(db, 99) == {"plots": [], "roads": None}
    assert db.statements == []


@pytest.mark.parametrize("deg, minutes, text, deg_text, min_text", [
    (7, 5, "7°5'", "7°", "5'"),
    (7.0, 5.0, "7.0°5.0'", "7.0°", "5.0'"),
    (None, None, "None°None'", "None°", "None'"),
])
async def test_bearing_texts(planwork, deg, minutes, text, deg_text, min_text):
    db = FakeSession(plots=[plot_row(1)], legs={1: [leg(3, 12, deg, minutes)]}, beacons=[beacon_row(3)])
    [entry] = await planwork.PlanImageGenerator(db).get_plot_details(list(db.plots.values()), db)
    beacon = entry["boundary"][0]
    assert (beacon["bearing_to_next"], beacon["bearing_deg_to_next"], beacon["bearing_min_to_next"]) == (
        text, deg_text, min_text)
    assert beacon["distance_to_next"] == 12 and type(beacon["distance_to_next"]) is int


@pytest.mark.parametrize("address, expected", [(None, ""), ("", ""), ("Plot 5, Main Street", "PLOT 5, MAIN STREET")])
async def test_address(planwork, address, expected):
    db = FakeSession(plots=[plot_row(1, address=address)])
    [entry] = await planwork.PlanImageGenerator(db).get_plot_details(iter(db.plots.values()), db)
    assert entry["address"] == expected


async def test_leg_without_beacon_fails(planwork):
    db = FakeSession(plots=[plot_row(1)], legs={1: [leg(404)]})
    with pytest.raises(AttributeError):
        await planwork.PlanImageGenerator(db).get_plot_details(list(db.plots.values()), db)


async def test_plot_id_argument(planwork):
    db = session_with_two_parcels()
    generator = planwork.PlanImageGenerator(db)
    await generator.get_plot_with_nearby(db, 7.9)
    await generator.get_plot_with_nearby(plot_id=8, db=db)
    assert db.gets == [("PLOT", 7), ("PLOT", 8)]
    with pytest.raises(TypeError, match=r"^Argument 'plot_id' has incorrect type \(expected int, got str\)$"):
        generator.get_plot_with_nearby(db, "12")
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'plot_id'"):
        generator.get_plot_with_nearby(db)


def test_class_and_repositories(planwork):
    import inspect

    db = object()
    generator = planwork.PlanImageGenerator(db)
    cls = planwork.PlanImageGenerator
    assert type(cls) is type and cls.__bases__ == (object,) and cls.__doc__ is None
    assert list(vars(generator)) == ["db", "plot_repository", "beacon_repository", "boundary_repository",
                                     "land_purpose_repository", "road_repository"]
    models = [planwork.PLOT, planwork.BEACON, planwork.BOUNDARY, planwork.LandPurpose, planwork.ROAD]
    repositories = list(vars(generator).values())[1:]
    assert all(isinstance(r, planwork.AsyncBaseRepository) and r.db is db for r in repositories)
    assert [r.model for r in repositories] == models
    for name in ("get_plot_with_nearby", "get_plot_details", "generate_deedplan_html", "generate_siteplan_html"):
        assert asyncio.iscoroutinefunction(getattr(cls, name))
    assert str(inspect.signature(cls.get_plot_with_nearby)) == (
        "(self, db: sqlalchemy.ext.asyncio.session.AsyncSession, plot_id: int)")
    assert str(inspect.signature(cls.get_plot_details)) == (
        "(self, plots, db: sqlalchemy.ext.asyncio.session.AsyncSession)")
    assert str(inspect.signature(cls.generate_deedplan_html)) == (
        "(self, plot_id: int, district: str, file_no: str, person_name: str, cadzone: str, bounding_box=None)")
    assert cls.generate_siteplan_html.__qualname__ == "PlanImageGenerator.generate_siteplan_html"


async def test_patched_instance_method_is_used(planwork):
    # get_plot_with_nearby calls get_plot_details through the instance.
    db = session_with_two_parcels()
    generator = planwork.PlanImageGenerator(db)
    seen = []

    async def details(plots, session):
        seen.append((len(plots), session))
        return ["patched"]

    generator.get_plot_details = details
    assert (await generator.get_plot_with_nearby(db, 7))["plots"] == ["patched"]
    assert seen == [(2, db)]
