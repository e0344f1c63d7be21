// PlanImageGenerator's data: the parcel, its neighbours within 50 map units,
// the nearest roads and every parcel's boundary legs with their beacons.
// Statements go out one at a time on the caller's session, each awaited before
// the next is built; nothing is gathered, committed or cached.
#include "planwork.hpp"

namespace ravn::planwork {
namespace {

constexpr long kBufferDistance = 50;
constexpr long kMaxRoads = 3;

py::object init(const rt::Globals& g, py::object self, py::object db) {
  self.attr("db") = db;
  py::object repository = g["AsyncBaseRepository"_n];
  self.attr("plot_repository") = repository(db, g["PLOT"_n]);
  self.attr("beacon_repository") = repository(db, g["BEACON"_n]);
  self.attr("boundary_repository") = repository(db, g["BOUNDARY"_n]);
  self.attr("land_purpose_repository") = repository(db, g["LandPurpose"_n]);
  self.attr("road_repository") = repository(db, g["ROAD"_n]);
  return py::none();
}

py::object geo_interface(const rt::Globals& g, py::handle geometry) {
  return g["to_shape"_n](geometry).attr("__geo_interface__");
}

// text of `value` followed by `suffix`, as f"{value}{suffix}"
py::str with_suffix(py::handle value, const char* suffix) { return rt::Text() << value << suffix; }

// select(<model>).where(<condition>)
py::object select_where(const rt::Globals& g, py::handle model, py::handle condition) {
  return g["select"_n](model).attr("where")(condition);
}

py::dict beacon_entry(const rt::Globals& g, py::handle beacon, py::handle b) {
  py::dict entry;
  entry["beacon_id"] = beacon.attr("id");
  entry["beacon_name"] = beacon.attr("beacon_no");
  entry["geometry"] = geo_interface(g, beacon.attr("geometry"));
  entry["distance_to_next"] = b.attr("length");
  py::object deg = b.attr("angledeg"), min = b.attr("anglemin");
  entry["bearing_to_next"] = rt::Text() << deg << "°" << min << "'";
  entry["bearing_deg_to_next"] = with_suffix(deg, "°");
  entry["bearing_min_to_next"] = with_suffix(min, "'");
  return entry;
}

rt::Coro get_plot_details(rt::Globals g, py::object self, py::object plots, py::object db) {
  (void)self;
  rt::Local<py::list> data;
  rt::Var plot_iter = py::iter(plots);
  while (true) {
    rt::Var plot = rt::next_item(plot_iter).value_or(py::object());
    if (!plot) break;
    rt::Var geom = g["to_shape"_n](plot.attr("geometry"));
    rt::Var query = select_where(g, g["BOUNDARY"_n], eq(g["BOUNDARY"_n].attr("plotid"), plot.attr("id")));
    rt::Var result = co_await rt::call_method(db, "execute"_n, query);
    rt::Var boundary = result.attr("scalars")().attr("all")();
    py::object raw_address = plot.attr("address");
    rt::Var address = truthy(raw_address) ? raw_address.attr("upper")() : py::str("");

    rt::Local<py::list> boundary_data;
    rt::Var leg_iter = py::iter(boundary);
    while (true) {
      rt::Var b = rt::next_item(leg_iter).value_or(py::object());
      if (!b) break;
      query = select_where(g, g["BEACON"_n], eq(g["BEACON"_n].attr("id"), b.attr("beacon1id")));
      result = co_await rt::call_method(db, "execute"_n, query);
      py::object beacon = result.attr("scalar")();
      boundary_data.append(beacon_entry(g, beacon, b));
    }

    py::dict entry;
    entry["id"] = plot.attr("id");
    entry["name"] = plot.attr("plot_no");
    entry["area"] = plot.attr("area_system");
    entry["file_no"] = plot.attr("file_no");
    entry["geometry"] = geom.attr("__geo_interface__");
    entry["boundary"] = boundary_data;
    entry["surveyed_by"] = plot.attr("surveyed_by");
    entry["address"] = address;
    entry["plan_layout_no"] = plot.attr("plan_layout_no");
    data.append(entry);
  }
  co_return data;
}

// Every parcel within the buffer distance of `reference`, itself included.
py::object neighbour_query(const rt::Globals& g, py::handle reference) {
  py::object plot = g["PLOT"_n];
  return select_where(g, plot, g["ST_DWithin"_n](plot.attr("geometry"), reference, kBufferDistance));
}

// The nearest roads within the buffer distance, nearest first.
py::object road_query(const rt::Globals& g, py::handle reference) {
  py::object road = g["ROAD"_n];
  return select_where(g, road, g["ST_DWithin"_n](road.attr("geometry"), reference, kBufferDistance))
      .attr("order_by")(g["ST_Distance"_n](reference, road.attr("geometry")))
      .attr("limit")(kMaxRoads);
}

rt::Coro get_plot_with_nearby(rt::Globals g, py::object self, py::object db, py::object plot_id) {
  rt::Var repository = self.attr("plot_repository");
  rt::Var reference_plot = co_await rt::call_method(repository, "get_by_id"_n, plot_id);
  if (!truthy(reference_plot)) {
    py::dict empty;
    empty["plots"] = py::list();
    empty["roads"] = py::none();
    co_return empty;
  }
  rt::Var reference_geometry = reference_plot.attr("geometry");
  rt::Var query = neighbour_query(g, reference_geometry);
  rt::Var result = co_await rt::call_method(db, "execute"_n, query);
  rt::Var plots = result.attr("scalars")().attr("all")();

  query = road_query(g, reference_geometry);
  result = co_await rt::call_method(db, "execute"_n, query);
  rt::Var roads = result.attr("scalars")().attr("all")();

  rt::Var plot_details = co_await rt::call_method(self, "get_plot_details"_n, plots, db);

  py::object road_details = py::none();
  if (truthy(roads)) {
    py::list entries;
    for (py::handle road : roads) {
      py::dict entry;
      entry["name"] = road.attr("road_name");
      entry["geometry"] = geo_interface(g, road.attr("geometry"));
      entries.append(entry);
    }
    road_details = entries;
  }
  py::dict nearby;
  nearby["plots"] = plot_details;
  nearby["roads"] = road_details;
  co_return nearby;
}

}  // namespace

void init_generator(const rt::Module& m) {
  py::object session = m["AsyncSession"_n], int_ = m["int"_n];
  std::vector<std::pair<const char*, py::object>> members{
      {"__init__",
       m.function<&init>("__init__", {P{"self"}, P{"db", session}}, {}, std::nullopt, "PlanImageGenerator.__init__")},
      {"get_plot_with_nearby",
       m.function<&get_plot_with_nearby>("get_plot_with_nearby", {P{"self"}, P{"db", session}, P{"plot_id", int_}}, {},
                                         std::nullopt, "PlanImageGenerator.get_plot_with_nearby")},
      {"get_plot_details", m.function<&get_plot_details>("get_plot_details", {P{"self"}, P{"plots"}, P{"db", session}},
                                                         {}, std::nullopt, "PlanImageGenerator.get_plot_details")},
  };
  for (auto& method : document_methods(m)) members.push_back(std::move(method));
  m.set("PlanImageGenerator", m.make_class("PlanImageGenerator", std::nullopt, std::move(members)));
}

}  // namespace ravn::planwork
