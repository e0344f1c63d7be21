"""A small host written against the modules' stubs; `mypy --strict` must accept it."""
from __future__ import annotations

import io

from fastapi import FastAPI
from sqlalchemy.ext.asyncio import AsyncSession

from ravn import planwork, plots, tessera
from ravn.plots import ScheduleRow

app = FastAPI()
app.include_router(tessera.tesseraApi)


def tolerance_at(zoom: int, layer: str) -> int:
    tier = tessera.get_zoom_config(zoom, layer)
    return 0 if tier is None else tier["tolerance"]


def sql_for(layer: str) -> str:
    statement, _tier = tessera.generate_mvt_sql(layer, 14)
    return statement


async def cached_tile(key: str) -> bytes:
    body = await tessera.safe_cache_get(key)
    return body if body is not None else b""


async def count_removed(layer: str) -> int:
    async with tessera.db_transaction(session()) as db:
        await db.commit()
    tessera.invalidate_layer_cache(layer)
    return await tessera._invalidate_cache_by_pattern_task(f"{layer}:*")


def session() -> AsyncSession:
    raise NotImplementedError


def schedule_text(parcels: list[dict[str, object]]) -> list[str]:
    image, (width, height), scale, schedule = plots.generate_plot(parcels, 7, None, "id", max_width_mm=190)
    rows: list[ScheduleRow] = schedule
    return [f"{image[:8]} {width}x{height} 1:{scale}"] + [f"{r['from']}-{r['to']} {r['distance']}" for r in rows]


async def deed_plan(db: AsyncSession, plot_id: int) -> bytes:
    generator = planwork.PlanImageGenerator(db)
    nearby = await generator.get_plot_with_nearby(db, plot_id)
    names = [entry["name"] for entry in nearby["plots"]]
    pdf: io.BytesIO | None = await generator.generate_deedplan_html(plot_id, "D", "F/1", "A. Person", "Z")
    return b"" if pdf is None else pdf.getvalue() + str(names).encode()
