"""Land-records GIS API."""
from __future__ import annotations

import time
from contextlib import asynccontextmanager
from pathlib import Path

from dotenv import load_dotenv

load_dotenv(Path(__file__).resolve().parent.parent / "services.env", override=False)
# Plans print today's date in the registry's time zone (TZ, from the environment or services.env).
time.tzset()

from fastapi import FastAPI  # noqa: E402

from database import dispose_engine  # noqa: E402
from plans import router as plans_router  # noqa: E402
from ravn import tessera  # noqa: E402


@asynccontextmanager
async def lifespan(app: FastAPI):
    yield
    await dispose_engine()


app = FastAPI(title="Land Records GIS API", lifespan=lifespan)
app.include_router(tessera.tesseraApi)
app.include_router(plans_router)


@app.get("/")
async def root() -> dict:
    return {"service": "land-records-gis", "layers": "/gis/layers/", "docs": "/docs"}
