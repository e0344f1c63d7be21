// The deed plan and the site plan: template, parcel data, map, placeholders,
// PDF. Both read the template afresh on every call and keep nothing.
#include "planwork.hpp"

namespace ravn::planwork {
namespace {

constexpr const char* kAgency = "TARVESH STATE GEOGRAPHIC INFORMATION SYSTEMS SERVICES";
constexpr const char* kSurveyorGeneral = "ZORVAN PELLIK";
constexpr const char* kSitePlanPage = "@page { size: A4; margin: 0; }";
constexpr const char* kDeedPlanPage =
    "\n        @page {\n            size: A4;\n            margin: 0;\n        }\n        ";
constexpr long kMaxWidthMm = 190;
constexpr long kMaxHeightMm = 160;

// async with aiofiles.open(<project_root>/templates/<name>, "r", encoding="utf-8") as f: return await f.read()
rt::Coro read_template(rt::Globals g, py::object name) {
  rt::Var path = g["os"_n].attr("path").attr("join")(g["project_root"_n], name);
  rt::AsyncWith file(g["aiofiles"_n].attr("open")(path, "r", py::arg("encoding") = "utf-8"));
  rt::Var handle = co_await file.enter();
  rt::Var text;
  try {
    text = co_await rt::call_method(handle, "read"_n);
  } catch (...) {
    file.fail();
  }
  file.finish(co_await file.exit());
  co_return text;
}

// What generate_plot returns, unpacked as `image, (width, height), scale, schedule = ...`.
struct Map {
  py::object image, width, height, scale, schedule;
};

Map draw_map(const rt::Globals& g, py::handle plots, py::handle plot_id, py::handle roads, py::handle bounding_box) {
  py::tuple result =
      unpack(g["generate_plot"_n](plots, plot_id, roads, "id", bounding_box, py::arg("max_width_mm") = kMaxWidthMm,
                                  py::arg("max_height_mm") = kMaxHeightMm),
             4);
  py::tuple size = unpack(result[1], 2);
  return {result[0], size[0], size[1], result[2], result[3]};
}

// [p for p in plots if p["id"] == plot_id][0]
py::object selected_plot(py::handle plots, py::handle plot_id) {
  py::list matches;
  for (py::handle p : plots) {
    if (truthy(eq(p[py::str("id")], plot_id))) matches.append(p);
  }
  return matches[py::int_(0)];
}

// The first beacon of the boundary, where the plan's coordinates are given.
struct FirstBeacon {
  py::object entry, latitude, longitude;
};

FirstBeacon first_beacon(py::handle plot) {
  py::object beacon = plot[py::str("boundary")][py::int_(0)];
  py::object coordinates = beacon[py::str("geometry")][py::str("coordinates")];
  return {beacon, coordinates[py::int_(0)], coordinates[py::int_(1)]};
}

py::object surveyed_by(py::handle plot) {
  py::object value = plot[py::str("surveyed_by")];
  return value.is_none() ? py::str(kAgency) : value;
}

// "(" + format_date_html(datetime.now()) + ")"
py::str print_date(const rt::Globals& g) {
  return rt::Text() << "(" << g["format_date_html"_n](g["datetime"_n].attr("now")()) << ")";
}

using Replacements = std::vector<std::pair<const char*, py::object>>;

// Each placeholder in turn, every occurrence, on the whole text.
py::object fill(py::object html, const Replacements& table) {
  for (const auto& [placeholder, value] : table) html = html.attr("replace")(placeholder, value);
  return html;
}

// io.BytesIO(HTML(string=html).write_pdf(stylesheets=[CSS(string=page_style)]))
py::object render_pdf(const rt::Globals& g, py::handle html, const char* page_style) {
  py::object custom_css = g["CSS"_n](py::arg("string") = page_style);
  py::list stylesheets;
  stylesheets.append(custom_css);
  py::object pdf_bytes = g["HTML"_n](py::arg("string") = html).attr("write_pdf")(py::arg("stylesheets") = stylesheets);
  return g["io"_n].attr("BytesIO")(pdf_bytes);
}

py::object upper(py::handle text) { return text.attr("upper")(); }

rt::Coro generate_deedplan_html(rt::Globals g, py::object self, py::object plot_id, py::object district,
                                py::object file_no, py::object person_name, py::object cadzone,
                                py::object bounding_box) {
  rt::Var html_content = co_await read_template(g, py::str("templates/deedplan.html"));
  rt::Var db = self.attr("db");
  rt::Var plot_data = co_await rt::call_method(self, "get_plot_with_nearby"_n, db, g["int"_n](plot_id));
  py::object plots = plot_data[py::str("plots")];
  py::object roads = plot_data[py::str("roads")];
  if (!truthy(plots)) co_return py::none();

  Map map = draw_map(g, plots, plot_id, roads, bounding_box);
  py::object selected = selected_plot(plots, plot_id);
  FirstBeacon beacon = first_beacon(selected);
  py::object surveyor = surveyed_by(selected);
  py::object tracing_no = selected[py::str("plan_layout_no")];
  if (tracing_no.is_none()) tracing_no = py::str("");
  py::object address = selected[py::str("address")];
  address = truthy(address) ? upper(address) : py::str("");
  py::str schedule_html = schedule_table(map.schedule);

  Replacements table;
  table.emplace_back("{{parcel_number}}", html_text(selected[py::str("name")]));
  table.emplace_back("{{image}}", rt::format(map.image, ""));
  table.emplace_back("{{width}}", rt::format(map.width, ""));
  table.emplace_back("{{height}}", rt::format(map.height, ""));
  table.emplace_back("{{district}}", html_text(upper(district)));
  table.emplace_back("{{cadzone}}", html_text(upper(cadzone)));
  table.emplace_back("{{file_no}}", html_text(upper(file_no)));
  table.emplace_back("{{person_name}}", html_text(upper(person_name)));
  table.emplace_back("{{date}}", html_text(print_date(g)));
  table.emplace_back("{{tracing_no}}", html_text(tracing_no));
  table.emplace_back("{{beacon_number}}", html_text(beacon.entry[py::str("beacon_name")]));
  table.emplace_back("{{beacon_longitude}}", html_text(beacon.longitude));
  table.emplace_back("{{beacon_latitude}}", html_text(beacon.latitude));
  table.emplace_back("{{surveyed_by}}", html_text(surveyor));
  table.emplace_back("{{scale}}", html_text(map.scale));
  table.emplace_back("{{address}}", html_text(address));
  table.emplace_back("{{surveyor_general}}", html_text(py::str(kSurveyorGeneral)));
  table.emplace_back("{{schedule_table}}", schedule_html);

  co_return render_pdf(g, fill(html_content, table), kDeedPlanPage);
}

rt::Coro generate_siteplan_html(rt::Globals g, py::object self, py::object plot_id, py::object bounding_box) {
  rt::Var html_content = co_await read_template(g, py::str("templates/siteplan.html"));
  rt::Var db = self.attr("db");
  rt::Var plot_data = co_await rt::call_method(self, "get_plot_with_nearby"_n, db, g["int"_n](plot_id));
  py::object plots = plot_data[py::str("plots")];
  py::object roads = plot_data[py::str("roads")];
  if (!truthy(plots)) co_return py::none();

  py::object selected = selected_plot(plots, plot_id);
  Map map = draw_map(g, plots, plot_id, roads, bounding_box);
  FirstBeacon beacon = first_beacon(selected);
  py::object surveyor = surveyed_by(selected);
  py::str schedule_html = schedule_table(map.schedule);

  Replacements table;
  table.emplace_back("{{file_no}}", html_text(selected.attr("get")("file_no", "")));
  table.emplace_back("{{image}}", rt::format(map.image, ""));
  table.emplace_back("{{width}}", rt::format(map.width, ""));
  table.emplace_back("{{height}}", rt::format(map.height, ""));
  table.emplace_back("{{scale}}", html_text(map.scale));
  table.emplace_back("{{parcel_number}}", html_text(selected[py::str("name")]));
  table.emplace_back("{{date}}", html_text(print_date(g)));
  table.emplace_back("{{beacon_number}}", html_text(beacon.entry[py::str("beacon_name")]));
  table.emplace_back("{{beacon_longitude}}", html_text(beacon.longitude));
  table.emplace_back("{{beacon_latitude}}", html_text(beacon.latitude));
  table.emplace_back("{{surveyor_general}}", html_text(py::str(kSurveyorGeneral)));
  table.emplace_back("{{surveyed_by}}", html_text(surveyor));
  table.emplace_back("{{schedule_table}}", schedule_html);

  py::object pdf_stream = render_pdf(g, fill(html_content, table), kSitePlanPage);
  co_return g["api_response"_n](py::arg("file") = pdf_stream,
                                py::arg("filename") = rt::Text() << "SitePlan_" << plot_id << ".pdf");
}

}  // namespace

std::vector<std::pair<const char*, py::object>> document_methods(const rt::Module& m) {
  py::object int_ = m["int"_n], str_ = m["str"_n];
  return {
      {"generate_deedplan_html", m.function<&generate_deedplan_html>(
                                     "generate_deedplan_html",
                                     {P{"self"}, P{"plot_id", int_}, P{"district", str_}, P{"file_no", str_},
                                      P{"person_name", str_}, P{"cadzone", str_}, P{"bounding_box", {}, py::none()}},
                                     {}, std::nullopt, "PlanImageGenerator.generate_deedplan_html")},
      {"generate_siteplan_html",
       m.function<&generate_siteplan_html>("generate_siteplan_html",
                                           {P{"self"}, P{"plot_id", int_}, P{"bounding_box", {}, py::none()}}, {},
                                           std::nullopt, "PlanImageGenerator.generate_siteplan_html")},
  };
}

}  // namespace ravn::planwork
