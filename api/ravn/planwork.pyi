# Type stubs for the plan-document module.
import io
from typing import Any, Optional, TypedDict

from sqlalchemy.ext.asyncio import AsyncSession

# Two directories above the module file; templates/ is read from here.
project_root: str
template: str

class BeaconEntry(TypedDict):
    beacon_id: Any
    beacon_name: Any
    geometry: dict[str, Any]
    distance_to_next: Any
    bearing_to_next: str
    bearing_deg_to_next: str
    bearing_min_to_next: str

class PlotEntry(TypedDict):
    id: Any
    name: Any
    area: Any
    file_no: Any
    geometry: dict[str, Any]
    boundary: list[BeaconEntry]
    surveyed_by: Any
    address: str
    plan_layout_no: Any

class RoadEntry(TypedDict):
    name: Any
    geometry: dict[str, Any]

class NearbyResult(TypedDict):
    plots: list[PlotEntry]
    # None, not an empty list, when no road is near.
    roads: Optional[list[RoadEntry]]

class PlanImageGenerator:
    db: AsyncSession
    plot_repository: Any
    def __init__(self, db: AsyncSession) -> None: ...
    async def get_plot_with_nearby(self, db: AsyncSession, plot_id: int) -> NearbyResult: ...
    async def get_plot_details(self, plots: Any, db: AsyncSession) -> list[PlotEntry]: ...
    # Despite the names: the deed plan is the PDF itself, the site plan is the host's
    # api_response(file=..., filename=...); both None for a parcel without data.
    async def generate_deedplan_html(self, plot_id: int, district: str, file_no: str, person_name: str,
                                     cadzone: str, bounding_box: Any = None) -> Optional[io.BytesIO]: ...
    async def generate_siteplan_html(self, plot_id: int, bounding_box: Any = None) -> Any: ...
