// What a client can ask for (zoom guidance, the layer list) and whether the service is alive.
#include "tessera.hpp"

namespace ravn::tessera {
namespace {

py::dict text_table(std::initializer_list<std::pair<const char*, const char*>> rows) {
  py::dict table;
  for (const auto& [key, value] : rows) table[key] = value;
  return table;
}

const char* simplification_label(py::handle tolerance) {
  py::object t = py::reinterpret_borrow<py::object>(tolerance);
  if (t > py::int_(500)) return "heavy";
  if (t > py::int_(100)) return "moderate";
  if (t > py::int_(0)) return "light";
  return "none";
}

}  // namespace

rt::Coro get_layer_zoom_info(rt::Globals g, py::object layer_name) {
  require_layer(g, layer_name);
  py::object config = g["LAYER_CONFIG"_n][layer_name];
  py::dict zoom_levels;
  for (int zoom = 1; zoom <= 20; ++zoom) {
    py::object zoom_config = g["get_zoom_config"_n](zoom, layer_name);
    py::dict entry;
    if (truthy(zoom_config)) {
      entry["available"] = true;
      entry["tolerance"] = zoom_config["tolerance"];
      entry["feature_limit"] = zoom_config["feature_limit"];
      entry["simplification"] = simplification_label(zoom_config["tolerance"]);
    } else {
      entry["available"] = false;
    }
    zoom_levels[py::int_(zoom)] = entry;
  }

  py::dict data;
  data["layer"] = layer_name;
  data["min_zoom"] = config.attr("get")("min_zoom", 0);
  data["zoom_levels"] = zoom_levels;
  data["recommendations"] = text_table({
      {"world_view", "Use 'lgas' or 'districts' for zoom 1-6"},
      {"regional_view", "Use 'cadzones' for zoom 4-10"},
      {"detailed_view", "Use 'plots' for zoom 8+"},
      {"precise_view", "Use 'beacons' for zoom 12+"},
  });
  co_return api_reply(g, py::arg("data") = data);
}

rt::Coro get_available_layers(rt::Globals g) {
  py::dict layers_info;
  for (auto item : g["LAYER_CONFIG"_n].attr("items")()) {
    py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
    py::object name = pair[0], config = pair[1];
    py::dict endpoints;
    endpoints["xyz"] = py::str(rt::Text() << "/gis/" << name << "/{z}/{x}/{y}.pbf");
    endpoints["bbox"] = py::str(rt::Text() << "/gis/" << name << "/bbox/");
    endpoints["info"] = py::str(rt::Text() << "/gis/" << name << "/");
    endpoints["zoom_info"] = py::str(rt::Text() << "/gis/" << name << "/zoom-info/");
    py::dict layer;
    layer["name"] = name;
    layer["min_zoom"] = config.attr("get")("min_zoom", 0);
    layer["properties"] = config["properties"];
    layer["table"] = config["table"];
    layer["endpoints"] = endpoints;
    layers_info[name] = layer;
  }

  py::dict data;
  data["layers"] = layers_info;
  data["total_layers"] = py::len(layers_info);
  data["usage_guide"] = text_table({
      {"world_zoom_1_4", "Use 'lgas' layer"},
      {"country_zoom_5_7", "Use 'districts' or 'lgas' layer"},
      {"regional_zoom_6_10", "Use 'cadzones' layer"},
      {"local_zoom_8_14", "Use 'plots' layer"},
      {"detail_zoom_12_20", "Use 'beacons' layer"},
  });
  co_return api_reply(g, py::arg("data") = data);
}

rt::Coro health_check(rt::Globals g) {
  const char* cache_status = "healthy";
  try {
    co_await g["asyncio"_n].attr("wait_for")(g["cache"_n].attr("get")("health_check"), py::arg("timeout") = 2.0);
  } catch (...) {
    // Whatever went wrong, the probe itself answers: only the cache is reported down.
    cache_status = "unhealthy";
  }

  py::dict body;
  body["status"] = "healthy";
  body["cache_status"] = cache_status;
  body["available_layers"] = py::list(g["LAYER_CONFIG"_n].attr("keys")());
  body["zoom_support"] = "1-20 with layer-specific minimums";
  co_return g["JSONResponse"_n](body);
}

}  // namespace ravn::tessera
