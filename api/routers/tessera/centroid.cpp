// Where a layer's data lies: the centre of its estimated extent and the tile to open first.
#include "tessera.hpp"

namespace ravn::tessera {
namespace {

// ST_EstimatedExtent reads the planner's statistics instead of scanning the
// table, so the answer costs the same for any table size. Its two-argument
// form takes the table as text, hence the unquoted names.
py::str centroid_sql_text(py::handle table_name_literal, py::handle geom_column_literal) {
  return rt::Text()
         << "\n"
         << "        WITH layer_stats AS (\n"
         << "            -- Use ST_EstimatedExtent for a fast approximation of the layer's bounding box.\n"
         << "            -- This is significantly more performant than ST_Extent on large tables.\n"
         << "            SELECT ST_EstimatedExtent('" << table_name_literal << "', '" << geom_column_literal
         << "') as bbox\n"
         << "        )\n"
         << "        SELECT\n"
         << "            -- Calculate the centroid of the estimated bbox and transform it to WGS84 (lat/lon)\n"
         << "            ST_Y(ST_Transform(ST_SetSRID(ST_Centroid(bbox), 3857), 4326)) as lat,\n"
         << "            ST_X(ST_Transform(ST_SetSRID(ST_Centroid(bbox), 3857), 4326)) as lon,\n"
         << "            \n"
         << "            -- Extract the coordinates of the estimated bounding box\n"
         << "            ST_XMin(bbox) as extent_minx,\n"
         << "            ST_YMin(bbox) as extent_miny,\n"
         << "            ST_XMax(bbox) as extent_maxx,\n"
         << "            ST_YMax(bbox) as extent_maxy\n"
         << "        FROM layer_stats\n"
         << "        -- Ensure we don't proceed if the extent could not be calculated\n"
         << "        WHERE bbox IS NOT NULL\n"
         << "    ";
}

}  // namespace

rt::Coro get_central_tile_info(rt::Globals g, py::object layer_name, py::object db) {
  require_layer(g, layer_name);
  rt::Var layer_config = g["LAYER_CONFIG"_n][layer_name];
  rt::Var geom_column = layer_config["geom_col"];
  rt::Var table = layer_config["table"];

  rt::Var cache_key = rt::Text() << "centroid:" << layer_name;
  rt::Var cached_centroid = co_await g["safe_cache_get"_n](cache_key, py::arg("timeout") = 2.0);
  if (truthy(cached_centroid)) {
    try {
      py::object json = py::module_::import("json");
      py::object centroid_data = json.attr("loads")(cached_centroid.attr("decode")());
      co_return api_reply(g, py::arg("data") = centroid_data);
    } catch (...) {
      // A damaged entry is only a miss: compute afresh and overwrite it.
    }
  }

  py::object table_name_literal = table.attr("strip")("\"");
  py::object geom_column_literal = geom_column.attr("strip")("\"");
  rt::Var centroid_sql = g["text"_n](centroid_sql_text(table_name_literal, geom_column_literal));

  rt::Var centroid;
  try {
    centroid = co_await fetch_in_transaction(g, db, centroid_sql, {}, 15.0, "first");
  } catch (py::error_already_set& e) {
    rt::Handling handling(e);
    if (e.matches(g["asyncio"_n].attr("TimeoutError"))) {
      log_error(g, rt::Text() << "Timeout calculating centroid for " << layer_name);
      http_error(g, 408, py::str("Centroid calculation timeout"));
    }
    if (!rt::is_exception(e)) throw;
    log_error(g, rt::Text() << "Error calculating centroid for " << layer_name << ": " << e.value());
    http_error(g, 500, py::str("Database error"));
  }

  // No statistics means no extent, and the WHERE clause then yields no row:
  // an ordinary answer for an empty or never-analysed table, not an error.
  if (!truthy(centroid) || centroid.attr("lat").is_none() || centroid.attr("lon").is_none()) {
    co_return api_reply(
        g, py::arg("status_code") = 404,
        py::arg("message") = py::str(rt::Text() << "No valid geometry found for layer '" << layer_name << "'"));
  }

  py::object tile = g["latlon_to_xyz"_n](centroid.attr("lat"), centroid.attr("lon"), g["DEFAULT_CENTROID_ZOOM"_n]);
  py::object bbox = g["xyz_to_bbox_web_mercator"_n](tile["z"], tile["x"], tile["y"]);

  py::object float_ = g["float"_n];
  py::dict centroid_wgs84;
  centroid_wgs84["latitude"] = float_(centroid.attr("lat"));
  centroid_wgs84["longitude"] = float_(centroid.attr("lon"));
  py::dict extent;
  extent["minx"] = float_(centroid.attr("extent_minx"));
  extent["miny"] = float_(centroid.attr("extent_miny"));
  extent["maxx"] = float_(centroid.attr("extent_maxx"));
  extent["maxy"] = float_(centroid.attr("extent_maxy"));
  py::dict layer_summary;
  layer_summary["min_zoom"] = layer_config.attr("get")("min_zoom", 0);
  layer_summary["properties"] = layer_config["properties"];

  rt::Local<py::dict> response_data;
  response_data["layer"] = layer_name;
  response_data["centroid_wgs84"] = centroid_wgs84;
  response_data["extent_web_mercator"] = extent;
  response_data["suggested_tile"] = tile;
  response_data["suggested_tile_bbox"] = bbox;
  response_data["tile_url"] = py::str(rt::Text() << "/gis/" << layer_name << "/" << tile["z"] << "/" << tile["x"] << "/"
                                                 << tile["y"] << ".pbf");
  response_data["layer_config"] = layer_summary;

  // The answer goes out whether or not it could be cached.
  try {
    py::object json = py::module_::import("json");
    py::object cache_data = json.attr("dumps")(response_data).attr("encode")();
    co_await g["safe_cache_set"_n](cache_key, cache_data, g["CACHE_TTL_LONG"_n] * py::int_(2));
  } catch (...) {
  }

  co_return api_reply(g, py::arg("data") = response_data);
}

}  // namespace ravn::tessera
