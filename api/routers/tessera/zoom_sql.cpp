// Zoom tiers and the per-zoom MVT statement.
#include "tessera.hpp"

namespace ravn::tessera {
namespace {

// The statement is assembled from these fixed pieces; clients and caches
// depend on its exact text.
constexpr auto P1 = "\n    SELECT ST_AsMVT(mvt_data, '"_n;
constexpr auto P2 = "', 4096, 'mvt_geom') AS mvt\n    FROM (\n        SELECT "_n;
constexpr auto P3 = ",\n            "_n;
constexpr auto P4 = " AS feature_id,\n            ST_AsMVTGeom(\n                "_n;
constexpr auto P5 =
    ",\n                ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857),\n                4096,\n                "_n;
constexpr auto P6 = ",\n                true\n            ) AS mvt_geom\n        FROM "_n;
constexpr auto P7 = "\n        WHERE "_n;
constexpr auto P8 = "\n        ORDER BY ST_Area("_n;
constexpr auto P9 = ") DESC\n        LIMIT "_n;
constexpr auto P10 = "\n    ) AS mvt_data\n    WHERE mvt_data.mvt_geom IS NOT NULL;\n    "_n;
constexpr auto F1 = " && ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)"_n;
constexpr auto F2 = "\n        "_n;
constexpr auto F3 = " && ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)\n        AND ST_Intersects("_n;
constexpr auto F4 = ", ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857))\n        "_n;
constexpr auto S1 = "ST_SimplifyPreserveTopology("_n;

struct Tier {
  int bound;  // highest zoom of the tier
  int tolerance, feature_limit, buffer;
  bool long_lived;
};
constexpr Tier kTiers[] = {
    {4, 1000, 2000, 512, true},  {6, 500, 3000, 256, true},  {8, 250, 5000, 256, true}, {10, 100, 8000, 256, true},
    {12, 50, 10000, 256, false}, {14, 10, 15000, 64, false}, {16, 0, 20000, 16, false},
};
constexpr Tier kTopTier{0, 0, 30000, 8, false};

using rt::compare;
using rt::constant;

py::object get_zoom_config(const rt::Globals& g, py::object zoom, py::object layer_name) {
  py::object catalogue = g["LAYER_CONFIG"_n];
  py::object config = rt::get(catalogue, layer_name, py::dict());
  py::object min_zoom = rt::get(config, "min_zoom"_n, constant(0));
  if (compare(zoom, min_zoom, Py_LT)) return py::none();
  const Tier* tier = &kTopTier;
  for (const Tier& t : kTiers) {
    if (rt::compare(zoom, rt::constant(t.bound), Py_LE)) {
      tier = &t;
      break;
    }
  }
  py::dict result;
  result["tolerance"_n] = rt::constant(tier->tolerance);
  result["feature_limit"_n] = rt::constant(tier->feature_limit);
  result["buffer"_n] = rt::constant(tier->buffer);
  result["cache_ttl"_n] = tier->long_lived ? g["CACHE_TTL_LONG"_n] : g["CACHE_TTL_SHORT"_n];
  return result;
}

py::object generate_mvt_sql(const rt::Globals& g, py::object layer_name, py::object zoom) {
  py::object catalogue = g["LAYER_CONFIG"_n];
  // Only catalogue keys reach the SQL text, which quotes the layer name unescaped.
  if (!rt::contains(catalogue, layer_name)) rt::raise(PyExc_ValueError, rt::Text() << "Unknown layer: " << layer_name);
  py::object layer_config = catalogue[layer_name];

  py::object effective_zoom = truthy(zoom) ? zoom : py::reinterpret_borrow<py::object>(rt::constant(10));
  py::object zoom_config = g["get_zoom_config"_n](effective_zoom, layer_name);
  if (zoom_config.is_none()) {
    rt::raise(PyExc_ValueError, rt::Text()
                                    << "Layer " << layer_name << " not available at zoom level " << py::str(zoom));
  }

  py::object table = layer_config["table"_n];
  py::object id_col = layer_config["id_col"_n];
  py::object geom_col = layer_config["geom_col"_n];
  // ", ".join(...), which is what str.join runs.
  py::object properties = rt::join(", ", layer_config["properties"_n]);

  py::object tolerance = zoom_config["tolerance"_n];
  py::object feature_limit = g["min"_n](zoom_config["feature_limit"_n], g["MAX_FEATURES_GLOBAL"_n]);
  py::object buffer = zoom_config["buffer"_n];
  // A missing zoom filters as zoom 10 does: exactly.
  const bool short_filter = !zoom.is_none() && rt::compare(zoom, rt::constant(6), Py_LE);

  // One text, each value formatted as the f-string that defines it formats it.
  rt::Text sql;
  sql << P1 << layer_name << P2 << properties << P3 << id_col << P4;
  if (rt::compare(tolerance, rt::constant(0), Py_GT)) {
    sql << S1 << geom_col << ", "_n << tolerance << ")"_n;
  } else {
    sql << geom_col;
  }
  sql << P5 << buffer << P6 << table << P7;
  if (short_filter) {
    sql << geom_col << F1;
  } else {
    sql << F2 << geom_col << F3 << geom_col << F4;
  }
  sql << P8 << geom_col << P9 << feature_limit << P10;
  return py::make_tuple(sql.str(), zoom_config);
}

}  // namespace

void init_zoom_sql(const rt::Module& m) {
  py::object int_ = m["int"_n], str_ = m["str"_n], dict_ = m["dict"_n];
  m.def<&get_zoom_config>("get_zoom_config", {P{"zoom", int_}, P{"layer_name", str_}}, dict_,
                          "Get optimized configuration - FIXED to show features when zoomed out.");
  m.def<&generate_mvt_sql>("generate_mvt_sql", {P{"layer_name", str_}, P{"zoom", m["Optional"_n][int_], py::none()}},
                           m["tuple"_n][py::make_tuple(str_, dict_)],
                           "Generate MVT SQL with better low-zoom handling.");
}

}  // namespace ravn::tessera
