# Type stubs for the survey-map module. shapely ships no type information, so
# its geometries are Any here.
from collections.abc import Mapping, Sequence
from typing import Any, Optional, TypedDict

from matplotlib.axes import Axes
from pyproj import CRS, Transformer

# "from" is a keyword, hence the functional form.
ScheduleRow = TypedDict("ScheduleRow", {"from": str, "to": str, "bearing": str, "distance": str})

SRC_CRS: CRS
DST_CRS: CRS
TRANSFORMER: Transformer
logger: Any

def project_geometry(geometry: Any) -> Any: ...
def get_recommended_scale(survey_width_m: float, survey_height_m: float, max_width_mm: float = 190,
                          max_height_mm: float = 250) -> int: ...
def add_north_arrow(ax: Axes, loc: tuple[float, float] = (0.05, 0.92), size: float = 0.08) -> None: ...
def add_scale_bar(ax: Axes, scale: float, position: tuple[float, float] = (0.5, 0.05)) -> None: ...
# (base64 PNG, (max_width_mm, max_height_mm) as passed, scale denominator, schedule rows).
# Raises ValueError when no parcel has selected_parcel_number under columnname.
def generate_plot(parcel_data: Sequence[Mapping[str, Any]], selected_parcel_number: Any,
                  road_data: Optional[Sequence[Mapping[str, Any]]], columnname: str = "parcel_number",
                  bounding_box: Optional[Sequence[float]] = None, max_width_mm: float = 190,
                  max_height_mm: float = 160) -> tuple[str, tuple[float, float], int, list[ScheduleRow]]: ...
