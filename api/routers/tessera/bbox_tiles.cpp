// One vector tile for an arbitrary rectangle in EPSG:4326 or EPSG:3857.
#include "tessera.hpp"

namespace ravn::tessera {
namespace {

constexpr const char* kTransformSql = R"(
            SELECT 
                ST_XMin(bbox_3857) as min_x, ST_YMin(bbox_3857) as min_y,
                ST_XMax(bbox_3857) as max_x, ST_YMax(bbox_3857) as max_y
            FROM (
                SELECT ST_Transform(
                    ST_MakeEnvelope(:x1, :y1, :x2, :y2, :input_srid), 3857
                ) as bbox_3857
            ) as sub
        )";

// Table and column names come from the catalogue only; the corners and the
// limit are bound parameters.
py::str bbox_tile_sql(py::handle layer_name, py::handle properties, py::handle id_col, py::handle geom_expr,
                      py::handle table, py::handle geom_col) {
  return rt::Text() << "\n    SELECT ST_AsMVT(mvt_data, '" << layer_name << "', 4096, 'mvt_geom') AS mvt\n"
                    << "    FROM (\n"
                    << "        SELECT " << properties << ",\n"
                    << "            " << id_col << " AS feature_id,\n"
                    << "            ST_AsMVTGeom(\n"
                    << "                " << geom_expr << ",\n"
                    << "                ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857),\n"
                    << "                4096,\n"
                    << "                32,\n"
                    << "                true\n"
                    << "            ) AS mvt_geom\n"
                    << "        FROM " << table << "\n"
                    << "        WHERE " << geom_col << " && ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)\n"
                    << "            AND ST_Intersects(" << geom_col
                    << ", ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857))\n"
                    << "        ORDER BY ST_Area(" << geom_col << ") DESC\n"
                    << "        LIMIT :max_features\n"
                    << "    ) AS mvt_data\n"
                    << "    WHERE mvt_data.mvt_geom IS NOT NULL\n"
                    << "    ";
}

bool within(py::handle value, double low, double high) {
  py::object v = py::reinterpret_borrow<py::object>(value);
  return py::float_(low) <= v && v <= py::float_(high);
}

py::dict tile_headers(const rt::Globals& g, const char* cache_state) {
  py::dict headers;
  headers["Cache-Control"] = rt::Text() << "public, max-age=" << g["CACHE_TTL_SHORT"_n];
  headers["X-Cache"] = cache_state;
  return headers;
}

// Connection refused or reset, a lost or unusable connection: the server's
// fault, whatever the request held.
bool database_unreachable(py::handle error) {
  if (rt::matches(error, PyExc_OSError)) return true;
  py::module_ exc = py::module_::import("sqlalchemy.exc");
  if (rt::matches(error, exc.attr("OperationalError")) || rt::matches(error, exc.attr("InterfaceError"))) return true;
  return rt::matches(error, exc.attr("DBAPIError")) && truthy(error.attr("connection_invalidated"));
}

}  // namespace

rt::Coro get_tile_bbox(rt::Globals g, py::object layer_name, py::object minx, py::object miny, py::object maxx,
                       py::object maxy, py::object srid, py::object max_features, py::object simplify,
                       py::object request, py::object db) {
  if (!request.is_none()) {
    rt::Var rate_key = rt::Text() << "rate_limit:gis:bbox:" << client_address(request);
    try {
      co_await count_request(g, rate_key, 20, py::str("Too many bbox requests."));
    } catch (py::error_already_set& e) {
      rt::Handling handling(e);
      if (!rt::is_exception(e) || e.matches(g["HTTPException"_n])) throw;
      // A Redis failure lifts the limit for this request, silently.
    }
  }

  require_layer(g, layer_name);
  const bool wgs84 = srid.equal(py::int_(4326));
  if (!wgs84 && !srid.equal(py::int_(3857))) {
    http_error(g, 400, py::str("Only SRID 4326 (WGS84) and 3857 (Web Mercator) are supported"));
  }
  if (wgs84) {
    if (!(within(minx, -180, 180) && within(maxx, -180, 180))) http_error(g, 400, py::str("Invalid longitude values"));
    if (!(within(miny, -90, 90) && within(maxy, -90, 90))) http_error(g, 400, py::str("Invalid latitude values"));
    py::object bbox_area = g["calculate_bbox_area_degrees"_n](minx, miny, maxx, maxy);
    if (bbox_area > g["MAX_BBOX_AREA_WGS84"_n]) {
      http_error(
          g, 400,
          rt::Text() << "Bounding box too large. Maximum area: " << g["MAX_BBOX_AREA_WGS84"_n] << " square degrees");
    }
  }
  max_features = g["min"_n](max_features, g["MAX_FEATURES_GLOBAL"_n]);
  // A negative LIMIT is an error in SQL: the client's mistake, not the server's.
  if (max_features < py::int_(0)) http_error(g, 400, py::str("max_features must not be negative"));

  rt::Var min_x = minx, min_y = miny, max_x = maxx, max_y = maxy;
  if (!srid.equal(py::int_(3857))) {
    try {
      py::dict bind;
      bind["x1"] = minx;
      bind["y1"] = miny;
      bind["x2"] = maxx;
      bind["y2"] = maxy;
      bind["input_srid"] = srid;
      rt::Var result = co_await rt::call_method(db, "execute"_n, g["text"_n](kTransformSql), bind);
      py::object coords = result.attr("first")();
      min_x = coords.attr("min_x");
      min_y = coords.attr("min_y");
      max_x = coords.attr("max_x");
      max_y = coords.attr("max_y");
    } catch (py::error_already_set& e) {
      rt::Handling handling(e);
      if (!rt::is_exception(e)) throw;
      log_error(g, rt::Text() << "Coordinate transformation error: " << e.value());
      // The coordinates may be what the database rejected, but not when it could not be reached.
      if (database_unreachable(e.value())) http_error(g, 500, py::str("Internal server error"));
      http_error(g, 400, py::str("Invalid coordinate transformation"));
    }
  }

  rt::Var cache_key = rt::Text() << "bbox:" << layer_name << ":" << rt::format(min_x, ".0f") << ":"
                                 << rt::format(min_y, ".0f") << ":" << rt::format(max_x, ".0f") << ":"
                                 << rt::format(max_y, ".0f") << ":" << max_features << ":" << simplify;
  rt::Var cached_tile = co_await g["safe_cache_get"_n](cache_key, py::arg("timeout") = 2.0);
  if (truthy(cached_tile)) {
    co_return g["Response"_n](py::arg("content") = cached_tile, py::arg("media_type") = kTileMediaType,
                              py::arg("headers") = tile_headers(g, "HIT"));
  }

  py::object layer_config = g["LAYER_CONFIG"_n][layer_name];
  py::object geom_col = layer_config["geom_col"];
  rt::Var bbox_area = wgs84 ? g["calculate_bbox_area_degrees"_n](minx, miny, maxx, maxy) : py::object(py::float_(0.01));
  py::object geom_expr = truthy(simplify) && bbox_area > py::float_(0.01)
                             ? py::object(rt::Text() << "ST_SimplifyPreserveTopology(" << geom_col << ", 50)")
                             : geom_col;
  py::str sql = bbox_tile_sql(layer_name, py::str(", ").attr("join")(layer_config["properties"]),
                              layer_config["id_col"], geom_expr, layer_config["table"], geom_col);
  rt::Local<py::dict> params;
  params["min_x"] = min_x;
  params["min_y"] = min_y;
  params["max_x"] = max_x;
  params["max_y"] = max_y;
  params["max_features"] = max_features;

  rt::Var mvt_content;
  try {
    mvt_content = co_await fetch_in_transaction(g, db, g["text"_n](sql), params, 20.0, "scalar_one_or_none");
  } catch (py::error_already_set& e) {
    rt::Handling handling(e);
    if (e.matches(g["asyncio"_n].attr("TimeoutError"))) {
      log_error(g, rt::Text() << "Timeout generating bbox tile for " << layer_name);
      http_error(g, 408, py::str("Query timeout"));
    }
    if (!rt::is_exception(e)) throw;
    log_error(g, rt::Text() << "Error generating bbox tile for " << layer_name << ": " << e.value());
    http_error(g, 500, py::str("Internal server error"));
  }

  if (truthy(mvt_content)) {
    co_await g["safe_cache_set"_n](cache_key, mvt_content, g["CACHE_TTL_SHORT"_n]);
    co_return g["Response"_n](py::arg("content") = mvt_content, py::arg("media_type") = kTileMediaType,
                              py::arg("headers") = tile_headers(g, "MISS"));
  }
  co_return g["Response"_n](py::arg("status_code") = 204);
}

}  // namespace ravn::tessera
