"""ORM mapping of the "GIS" schema (db/schema.sql). Geometries are EPSG:3857."""
from __future__ import annotations

from geoalchemy2 import Geometry
from sqlalchemy import Float, Integer, Text
from sqlalchemy.orm import DeclarativeBase, Mapped, mapped_column

SCHEMA = "GIS"
SRID = 3857


class Base(DeclarativeBase):
    pass


def _geometry(name: str, kind: str):
    # The indexes come from db/schema.sql; the ORM must not try to create its own.
    return mapped_column(name, Geometry(kind, srid=SRID, spatial_index=False))


class PLOT(Base):
    __tablename__ = "PLOT"
    __table_args__ = {"schema": SCHEMA}

    id: Mapped[int] = mapped_column("ID", Integer, primary_key=True)
    plot_no: Mapped[str | None] = mapped_column("PLOT_NO", Text)
    status: Mapped[str | None] = mapped_column("STATUS", Text)
    area_system: Mapped[float | None] = mapped_column("AREA_SYSTEM", Float)
    general_lu: Mapped[str | None] = mapped_column("GENERAL_LU", Text)
    cadzone: Mapped[str | None] = mapped_column("CADZONE", Text)
    detail_lu: Mapped[str | None] = mapped_column("DETAIL_LU", Text)
    file_no: Mapped[str | None] = mapped_column("file_no", Text)
    address: Mapped[str | None] = mapped_column("ADDRESS", Text)
    surveyed_by: Mapped[str | None] = mapped_column("SURVEYED_BY", Text)
    plan_layout_no: Mapped[str | None] = mapped_column("PLAN_LAYOUT_NO", Text)
    geometry = _geometry("GEOMETRY", "POLYGON")


class BEACON(Base):
    __tablename__ = "BEACON"
    __table_args__ = {"schema": SCHEMA}

    id: Mapped[int] = mapped_column("ID", Integer, primary_key=True)
    beacon_no: Mapped[str | None] = mapped_column("BEACON_NO", Text)
    status: Mapped[str | None] = mapped_column("STATUS", Text)
    remark: Mapped[str | None] = mapped_column("REMARK", Text)
    geometry = _geometry("GEOMETRY", "POINT")


class BOUNDARY(Base):
    """One leg of a parcel's ring, in ring order (seq), from beacon1id to beacon2id."""

    __tablename__ = "BOUNDARY"
    __table_args__ = {"schema": SCHEMA}

    id: Mapped[int] = mapped_column("ID", Integer, primary_key=True)
    plotid: Mapped[int] = mapped_column("PLOTID", Integer)
    seq: Mapped[int] = mapped_column("SEQ", Integer)
    beacon1id: Mapped[int] = mapped_column("BEACON1ID", Integer)
    beacon2id: Mapped[int] = mapped_column("BEACON2ID", Integer)
    length: Mapped[float | None] = mapped_column("LENGTH", Float)
    angledeg: Mapped[int | None] = mapped_column("ANGLEDEG", Integer)
    anglemin: Mapped[int | None] = mapped_column("ANGLEMIN", Integer)


class ROAD(Base):
    __tablename__ = "ROAD"
    __table_args__ = {"schema": SCHEMA}

    id: Mapped[int] = mapped_column("ID", Integer, primary_key=True)
    road_name: Mapped[str | None] = mapped_column("ROAD_NAME", Text)
    road_type: Mapped[str | None] = mapped_column("ROAD_TYPE", Text)
    geometry = _geometry("GEOMETRY", "LINESTRING")


class CadZone(Base):
    __tablename__ = "CadZones"
    __table_args__ = {"schema": SCHEMA}

    id: Mapped[int] = mapped_column("id", Integer, primary_key=True)
    name: Mapped[str] = mapped_column("name", Text)
    district_id: Mapped[int] = mapped_column("district_id", Integer)
    geometry = _geometry("geometry", "MULTIPOLYGON")


class District(Base):
    __tablename__ = "Districts"
    __table_args__ = {"schema": SCHEMA}

    id: Mapped[int] = mapped_column("id", Integer, primary_key=True)
    name: Mapped[str] = mapped_column("name", Text)
    lga_id: Mapped[int] = mapped_column("lga_id", Integer)
    geometry = _geometry("geometry", "MULTIPOLYGON")


class LGA(Base):
    __tablename__ = "LGAs"
    __table_args__ = {"schema": SCHEMA}

    id: Mapped[int] = mapped_column("id", Integer, primary_key=True)
    name: Mapped[str] = mapped_column("name", Text)
    geometry = _geometry("geometry", "MULTIPOLYGON")
