// Tiles by z/x/y: coordinate checks and the main tile endpoint.
#include "tessera.hpp"

namespace ravn::tessera {
namespace {

py::object validate_tile_coords(const rt::Globals&, py::object z, py::object x, py::object y) {
  if (!(py::int_(1) <= z && z <= py::int_(20))) return py::bool_(false);
  py::int_ size(1L << z.cast<long>());
  if (!(py::int_(0) <= x && x < size)) return py::bool_(false);
  return py::bool_(py::int_(0) <= y && y < size);
}

py::object calculate_bbox_area_degrees(const rt::Globals&, py::object minx, py::object miny, py::object maxx,
                                       py::object maxy) {
  py::object product = (maxx - minx) * (maxy - miny);
  return rt::abs(product);
}

// Seconds a tile query may take: high zooms carry unsimplified geometry.
double query_time_limit(long z) {
  if (z <= 6) return 10.0;
  if (z <= 10) return 12.0;
  if (z <= 14) return 15.0;
  if (z <= 16) return 20.0;
  return 30.0;
}

}  // namespace

rt::Coro get_tile_xyz(rt::Globals g, py::object layer_name, py::object z, py::object x, py::object y,
                      py::object request, py::object db) {
  rt::Var rate_key = rt::Text() << "rate_limit:gis:"_n << client_address(request);
  try {
    co_await count_request(g, rate_key, 40, py::str("Too many map requests. Please slow down panning."));
  } catch (py::error_already_set& e) {
    rt::Handling handling(e);
    if (!rt::is_exception(e) || e.matches(g["HTTPException"_n])) throw;
    // A Redis outage never blocks tiles.
    log_warning(g, rt::Text() << "Rate limit check failed: " << e.value());
  }

  require_layer(g, layer_name);
  if (!truthy(g["validate_tile_coords"_n](z, x, y))) {
    http_error(g, 400, rt::Text() << "Invalid tile coordinates: z=" << z << ", x=" << x << ", y=" << y);
  }

  rt::Var sql, zoom_config;
  try {
    py::tuple statement = py::tuple(g["generate_mvt_sql"_n](layer_name, z));
    if (statement.size() != 2) {
      rt::raise(PyExc_ValueError, rt::Text() << "too many values to unpack (expected 2)");
    }
    sql = statement[0];
    zoom_config = statement[1];
  } catch (py::error_already_set& e) {
    rt::Handling handling(e);
    if (!e.matches(PyExc_ValueError)) throw;
    log_info(g, rt::Text() << "Layer " << layer_name << " not available at zoom " << z << ": " << e.value());
    if (z <= py::int_(6)) {
      py::list available;
      for (auto item : g["LAYER_CONFIG"_n].attr("items")()) {
        py::tuple pair = item.cast<py::tuple>();
        if (pair[1].attr("get")("min_zoom", 0) <= z) available.append(pair[0]);
      }
      if (!available.empty()) log_info(g, rt::Text() << "Try these layers at zoom " << z << ": " << available);
    }
    co_return g["Response"_n](py::arg("status_code") = 204);
  }

  rt::Var cache_key = rt::Text() << layer_name << ":"_n << z << ":"_n << x << ":"_n << y;
  rt::Var cached_tile = co_await g["safe_cache_get"_n](cache_key);
  if (truthy(cached_tile)) {
    py::dict headers;
    headers["Cache-Control"_n] = rt::Text() << "public, max-age="_n << zoom_config["cache_ttl"_n];
    headers["X-Cache"_n] = py::handle("HIT"_n);
    co_return g["Response"_n](py::arg("content") = cached_tile, py::arg("media_type") = kTileMediaType,
                              py::arg("headers") = headers);
  }

  rt::Var bbox = g["xyz_to_bbox_web_mercator"_n](z, x, y);
  rt::Local<py::dict> params;
  params["min_x"_n] = bbox["minx"_n];
  params["min_y"_n] = bbox["miny"_n];
  params["max_x"_n] = bbox["maxx"_n];
  params["max_y"_n] = bbox["maxy"_n];
  const double timeout = query_time_limit(z.cast<long>());

  rt::Var mvt_content;
  try {
    mvt_content = co_await fetch_in_transaction(g, db, g["text"_n](sql), params, timeout, "scalar_one_or_none");
  } catch (py::error_already_set& e) {
    rt::Handling handling(e);
    py::object tile = rt::Text() << layer_name << "/" << z << "/" << x << "/" << y;
    if (e.matches(g["asyncio"_n].attr("TimeoutError"))) {
      log_error(g, rt::Text() << "Timeout generating tile " << tile);
      http_error(g, 408, rt::Text() << "Tile generation timeout at zoom " << z);
    }
    if (e.matches(g["SQLAlchemyError"_n])) {
      log_error(g, rt::Text() << "Database error for tile " << tile << ": " << e.value());
      http_error(g, 500, py::str("Database error"));
    }
    if (!rt::is_exception(e)) throw;
    log_error(g, rt::Text() << "Unexpected error for tile " << tile << ": " << e.value());
    http_error(g, 500, py::str("Internal server error"));
  }

  if (truthy(mvt_content)) {
    co_await g["safe_cache_set"_n](cache_key, mvt_content, zoom_config["cache_ttl"_n]);
    co_return g["Response"_n](py::arg("content") = mvt_content, py::arg("media_type") = kTileMediaType,
                              py::arg("headers") = py::dict());
  }
  log_info(g, rt::Text() << "Empty tile generated for " << layer_name << "/" << z << "/" << x << "/" << y
                         << " - bbox: " << bbox);
  co_return g["Response"_n](py::arg("status_code") = 204);
}

void init_tile_checks(const rt::Module& m) {
  py::object int_ = m["int"_n], float_ = m["float"_n];
  m.def<&validate_tile_coords>("validate_tile_coords", {P{"z", int_}, P{"x", int_}, P{"y", int_}}, m["bool"_n],
                               "Validate tile coordinates.");
  m.def<&calculate_bbox_area_degrees>("calculate_bbox_area_degrees",
                                      {P{"minx", float_}, P{"miny", float_}, P{"maxx", float_}, P{"maxy", float_}},
                                      float_, "Calculate bounding box area in square degrees.");
}

}  // namespace ravn::tessera
