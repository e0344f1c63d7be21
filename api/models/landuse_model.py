from __future__ import annotations

from sqlalchemy import Integer, Text
from sqlalchemy.orm import Mapped, mapped_column

from models.gis_model import SCHEMA, Base


class LandPurpose(Base):
    __tablename__ = "LAND_PURPOSE"
    __table_args__ = {"schema": SCHEMA}

    id: Mapped[int] = mapped_column("ID", Integer, primary_key=True)
    code: Mapped[str] = mapped_column("CODE", Text)
    name: Mapped[str] = mapped_column("NAME", Text)
    general_lu: Mapped[str | None] = mapped_column("GENERAL_LU", Text)
