// The layer catalogue: the only source of table and column names in SQL text.
#include "tessera.hpp"

namespace ravn::tessera {
namespace {

py::dict layer(const char* table, const char* id_col, const char* geom_col,
               std::initializer_list<const char*> properties, int min_zoom) {
  py::dict entry;
  entry["table"] = table;
  entry["id_col"] = id_col;
  entry["geom_col"] = geom_col;
  py::list props;
  for (const char* p : properties) props.append(p);
  entry["properties"] = props;
  entry["min_zoom"] = min_zoom;
  return entry;
}

}  // namespace

void init_catalogue(const rt::Module& m) {
  py::dict config;
  config["plots"] = layer(R"("GIS"."PLOT")", R"("ID")", R"("GEOMETRY")",
                          {R"("ID")", R"("PLOT_NO")", R"("STATUS")", R"("AREA_SYSTEM")", R"("GENERAL_LU")",
                           R"("CADZONE")", R"("DETAIL_LU")", R"("file_no")"},
                          8);
  config["beacons"] = layer(R"("GIS"."BEACON")", R"("ID")", R"("GEOMETRY")",
                            {R"("ID")", R"("BEACON_NO")", R"("STATUS")", R"("REMARK")"}, 12);
  config["cadzones"] =
      layer(R"("GIS"."CadZones")", R"("id")", R"("geometry")", {R"("id")", R"("name")", R"("district_id")"}, 4);
  config["districts"] =
      layer(R"("GIS"."Districts")", R"("id")", R"("geometry")", {R"("id")", R"("name")", R"("lga_id")"}, 3);
  config["lgas"] = layer(R"("GIS"."LGAs")", R"("id")", R"("geometry")", {R"("id")", R"("name")"}, 2);
  config["roads"] =
      layer(R"("GIS"."ROAD")", R"("ID")", R"("GEOMETRY")", {R"("ID")", R"("ROAD_NAME")", R"("ROAD_TYPE")"}, 10);
  m.set("LAYER_CONFIG", config);
}

}  // namespace ravn::tessera
