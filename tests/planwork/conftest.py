"""Fixtures for the plan documents: the module, a recording database session, parcel rows."""
from __future__ import annotations

import asyncio
from types import SimpleNamespace

import pytest
from geoalchemy2.shape import from_shape
from shapely.geometry import Point, Polygon


@pytest.fixture(scope="session")
def planwork():
    import ravn.planwork as module

    return module


def square(x0: float, y0: float, size: float = 20.0):
    return from_shape(Polygon([(x0, y0), (x0 + size, y0), (x0 + size, y0 + size), (x0, y0 + size)]), srid=3857)


def plot_row(id, x0=0.0, **fields):
    values = dict(id=id, plot_no=f"P{id}", area_system=400.0, file_no=f"F/{id}", geometry=square(x0, 0.0),
                  surveyed_by="Surv. A", address=f"Plot {id}, Main Street", plan_layout_no="PL/1")
    values.update(fields)
    return SimpleNamespace(**values)


def leg(beacon1id, length=20.0, angledeg=90, anglemin=0):
    return SimpleNamespace(beacon1id=beacon1id, length=length, angledeg=angledeg, anglemin=anglemin)


def beacon_row(id, x=0.0, y=0.0):
    return SimpleNamespace(id=id, beacon_no=f"B{id}", geometry=from_shape(Point(x, y), srid=3857))


class FakeResult:
    def __init__(self, rows):
        self.rows = list(rows)

    def scalars(self):
        return SimpleNamespace(all=lambda: list(self.rows))

    def scalar(self):
        return self.rows[0] if self.rows else None


class FakeSession:
    """Answers the generator's statements from in-memory rows and records them in order.
    Each statement stays pending for one loop turn, so overlapping statements would show."""

    def __init__(self, plots=(), roads=(), legs=None, beacons=()):
        self.plots = {p.id: p for p in plots}
        self.roads = list(roads)
        self.legs = legs or {}
        self.beacons = {b.id: b for b in beacons}
        self.statements = []  # (table name, bound parameters, SQL text)
        self.gets = []
        self.in_flight = 0
        self.max_in_flight = 0

    async def get(self, model, id):
        self.gets.append((model.__name__, id))
        return self.plots.get(id)

    async def execute(self, statement):
        self.in_flight += 1
        self.max_in_flight = max(self.max_in_flight, self.in_flight)
        try:
            await asyncio.sleep(0)
            compiled = statement.compile()
            table = statement.get_final_froms()[0].name
            params = compiled.params
            self.statements.append((table, params, str(compiled)))
            if table == "PLOT":
                return FakeResult(self.plots.values())
            if table == "ROAD":
                return FakeResult(self.roads)
            if table == "BOUNDARY":
                return FakeResult(self.legs.get(params["PLOTID_1"], []))
            if table == "BEACON":
                found = self.beacons.get(params["ID_1"])
                return FakeResult([found] if found else [])
            raise AssertionError(f"unexpected statement on {table}")
        finally:
            self.in_flight -= 1

    def tables(self):
        return [s[0] for s in self.statements]
