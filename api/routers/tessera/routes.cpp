// The route table of tesseraApi: signatures FastAPI reads, and registration order.
#include "tessera.hpp"

namespace ravn::tessera {

void init_routes(const rt::Module& m) {
  py::object str_ = m["str"_n], int_ = m["int"_n], float_ = m["float"_n], bool_ = m["bool"_n];
  py::object database = m["Depends"_n](m["get_db"_n]);
  auto query = [&](py::object default_, const char* description) {
    return m["Query"_n](default_, py::arg("description") = description);
  };
  const py::object required = py::reinterpret_borrow<py::object>(Py_Ellipsis);

  py::object tile_xyz = m.def<&get_tile_xyz>("get_tile_xyz",
                                             {P{"layer_name", str_}, P{"z", int_}, P{"x", int_}, P{"y", int_},
                                              P{"request", m["Request"_n]}, P{"db", m["AsyncSession"_n], database}},
                                             {}, "Serve vector tiles with proper zoom-out support.");
  py::object zoom_info = m.def<&get_layer_zoom_info>("get_layer_zoom_info", {P{"layer_name", str_}}, {},
                                                     "Get zoom level information for a layer.");
  py::object tile_bbox =
      m.def<&get_tile_bbox>("get_tile_bbox",
                            {P{"layer_name", str_}, P{"minx", float_, query(required, "Bounding box minimum X")},
                             P{"miny", float_, query(required, "Bounding box minimum Y")},
                             P{"maxx", float_, query(required, "Bounding box maximum X")},
                             P{"maxy", float_, query(required, "Bounding box maximum Y")},
                             P{"srid", int_, query(py::int_(4326), "SRID of input bbox")},
                             P{"max_features", int_, query(py::int_(5000), "Maximum features to return")},
                             P{"simplify", bool_, query(py::bool_(true), "Apply geometry simplification")},
                             P{"request", m["Request"_n], py::none()}, P{"db", m["AsyncSession"_n], database}},
                            {}, "Serve vector tiles for custom bounding box.");
  py::object central = m.def<&get_central_tile_info>("get_central_tile_info",
                                                     {P{"layer_name", str_}, P{"db", m["AsyncSession"_n], database}},
                                                     {}, "Get layer centroid and suggested tile coordinates.");
  py::object layers = m.def<&get_available_layers>("get_available_layers", {}, {},
                                                   "Get list of available layers and their configurations.");
  py::object invalidate = m.def<&invalidate_cache_endpoint>(
      "invalidate_cache_endpoint", {P{"layer_name", str_}}, {},
      "Manually invalidate cache for a specific layer.\n    Useful after bulk data updates or for testing.");
  py::object health = m.def<&health_check>("health_check", {}, {}, "Health check endpoint for monitoring.");

  py::object router = m["tesseraApi"_n];
  auto get = [&](const char* path, py::object endpoint, bool plain_body) {
    py::object decorator =
        plain_body ? router.attr("get")(path, py::arg("response_class") = m["Response"_n]) : router.attr("get")(path);
    decorator(endpoint);
  };
  get("/{layer_name}/{z}/{x}/{y}.pbf", tile_xyz, true);
  get("/{layer_name}/zoom-info/", zoom_info, false);
  get("/{layer_name}/bbox/", tile_bbox, true);
  // The static paths go ahead of "/{layer_name}/", which would otherwise take them as layer names.
  get("/layers/", layers, false);
  get("/health/", health, false);
  get("/{layer_name}/", central, false);
  router.attr("post")("/cache/invalidate/{layer_name}")(invalidate);
}

}  // namespace ravn::tessera
