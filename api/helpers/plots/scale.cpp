// Projection into the map's coordinate system and the choice of survey scale.
#include <array>

#include "plots.hpp"

namespace ravn::plots {
namespace {

// Standard survey scale denominators, ascending.
constexpr std::array<long, 11> kStandardScales{250, 500, 1000, 1500, 2000, 2500, 5000, 7500, 10000, 20000, 25000};

py::object project_geometry(const rt::Globals& g, py::object geometry) {
  return g["transform"_n](g["TRANSFORMER"_n].attr("transform"), geometry);
}

py::object get_recommended_scale(const rt::Globals& g, py::object survey_width_m, py::object survey_height_m,
                                 py::object max_width_mm, py::object max_height_mm) {
  py::object zero = int_(0);
  if (survey_width_m <= zero || survey_height_m <= zero) return int_(1000);
  py::object usable_w = max_width_mm, usable_h = max_height_mm;
  // The extent may fill 98 % of the paper in either direction.
  py::object fill = float_(0.98), thousand = int_(1000);
  py::object scale_w = (survey_width_m * thousand) / (usable_w * fill);
  py::object scale_h = (survey_height_m * thousand) / (usable_h * fill);
  py::object min_required_scale = scale_h > scale_w ? scale_h : scale_w;  // max(): the first on a tie
  for (long s : kStandardScales) {
    py::object candidate = int_(s);
    if (candidate >= min_required_scale) return candidate;
  }
  return g["math"_n].attr("ceil")(min_required_scale / thousand) * thousand;
}

}  // namespace

void init_scale(const rt::Module& m) {
  m.def<&project_geometry>("project_geometry", {P{"geometry"}});
  m.def<&get_recommended_scale>(
      "get_recommended_scale",
      {P{"survey_width_m"}, P{"survey_height_m"}, P{"max_width_mm", {}, int_(190)}, P{"max_height_mm", {}, int_(250)}});
}

}  // namespace ravn::plots
