// Load sequence of ravn.plots: imports, the raster back end, the serif fonts,
// the host logger, the coordinate systems, then the functions, in that order.
#include "plots.hpp"

namespace ravn::plots {

namespace {

void load(py::module_ module) {
  const rt::Module m(std::move(module));
  rt::import_module(m, "io");
  rt::import_module(m, "base64");
  rt::import_module(m, "math");
  rt::import_module(m, "numpy", "np");
  rt::import_module(m, "matplotlib", "mpl");
  rt::import_module(m, "matplotlib.pyplot", "plt");
  rt::import_module(m, "matplotlib.patches", "patches");
  rt::import_from(m, "shapely.geometry", {"Polygon", "LineString", "shape"});
  rt::import_from(m, "shapely.ops", {"transform"});
  rt::import_from(m, "pyproj", {"Transformer", "CRS"});
  rt::import_from(m, "logger", {"get_logger"});

  // Maps are only ever written to files: no display.
  py::object mpl = m["mpl"_n];
  mpl.attr("use")("Agg");
  py::object rc = mpl.attr("rcParams");
  rc["font.family"] = "serif";
  py::list serif;
  for (const char* family : {"Times New Roman", "Liberation Serif", "DejaVu Serif"}) serif.append(family);
  rc["font.serif"] = serif;

  m.set("logger", m["get_logger"_n]());
  m["logger"_n].attr("info")("Loaded plots module");

  py::object crs = m["CRS"_n];
  m.set("SRC_CRS", crs("EPSG:3857"));
  m.set("DST_CRS", crs("EPSG:3857"));
  m.set("TRANSFORMER",
        m["Transformer"_n].attr("from_crs")(m["SRC_CRS"_n], m["DST_CRS"_n], py::arg("always_xy") = true));

  init_scale(m);
  init_furniture(m);
  init_composition(m);
}

}  // namespace
}  // namespace ravn::plots

RAVN_MODULE(plots, ravn::plots::load)
