// generate_plot: the frame of the map (parcel search, extent, scale, figure,
// clipping, fills) and its output as base64 PNG text.
#include "plots.hpp"

namespace ravn::plots {
namespace {

// Polygon of the rectangle (x0, y0)-(x1, y1), corners counter-clockwise from the lower left.
py::object rectangle_polygon(const rt::Globals& g, py::handle x0, py::handle y0, py::handle x1, py::handle y1) {
  py::list corners;
  corners.append(pair(x0, y0));
  corners.append(pair(x1, y0));
  corners.append(pair(x1, y1));
  corners.append(pair(x0, y1));
  return g["Polygon"_n](corners);
}

struct Extent {
  py::object survey_w, survey_h, center_x, center_y;
};

// The ground to fit: the bounding box (degrees or metres) or the parcel with a 15 m margin.
Extent survey_extent(const rt::Globals& g, py::handle bounding_box, py::handle target_geom) {
  if (truthy(bounding_box)) {
    py::tuple box = unpack(bounding_box, 4);
    py::object b_minx = box[0], b_miny = box[1], b_maxx = box[2], b_maxy = box[3];
    // Only the minimum corner decides whether the box is in degrees.
    if (py_abs(b_minx) <= int_(180) && py_abs(b_miny) <= int_(90)) {
      py::object dst_crs = g["DST_CRS"_n];
      g["logger"_n].attr("info")(rt::Text() << "Transforming bounding box from WGS84 to " << dst_crs.attr("name"));
      py::object wgs84_transformer =
          g["Transformer"_n].attr("from_crs")("EPSG:4326", g["DST_CRS"_n], py::arg("always_xy") = true);
      py::tuple lower = unpack(wgs84_transformer.attr("transform")(b_minx, b_miny), 2);
      b_minx = lower[0], b_miny = lower[1];
      py::tuple upper = unpack(wgs84_transformer.attr("transform")(b_maxx, b_maxy), 2);
      b_maxx = upper[0], b_maxy = upper[1];
    }
    py::object two = int_(2);
    return {b_maxx - b_minx, b_maxy - b_miny, (b_minx + b_maxx) / two, (b_miny + b_maxy) / two};
  }
  py::tuple bounds = unpack(target_geom.attr("bounds"), 4);
  py::object buffer_m = int_(15);
  py::object margin = int_(2) * buffer_m;
  py::object centroid = target_geom.attr("centroid");
  return {(bounds[2] - bounds[0]) + margin, (bounds[3] - bounds[1]) + margin, centroid.attr("x"), centroid.attr("y")};
}

void fill_neighbours(py::handle ax, const py::list& neighbor_geoms, py::handle clipping_poly) {
  for (py::handle n_geom : neighbor_geoms) {
    if (!truthy(n_geom.attr("intersects")(clipping_poly))) continue;
    py::tuple xy = unpack(n_geom.attr("exterior").attr("xy"), 2);
    ax.attr("fill")(xy[0], xy[1], py::arg("color") = "#e0e0e0", py::arg("edgecolor") = "#666666",
                    py::arg("linewidth") = 0.5, py::arg("zorder") = 3);
  }
}

py::object generate_plot(const rt::Globals& g, py::object parcel_data, py::object selected_parcel_number,
                         py::object road_data, py::object columnname, py::object bounding_box, py::object max_width_mm,
                         py::object max_height_mm) {
  g["logger"_n].attr("info")(rt::Text() << "Generating plot for " << columnname << "=" << selected_parcel_number);

  py::object target_parcel_data;
  for (py::handle p : parcel_data) {
    if (equal(p[columnname], selected_parcel_number)) {
      target_parcel_data = py::reinterpret_borrow<py::object>(p);
      break;
    }
  }
  if (!target_parcel_data) {
    rt::raise(PyExc_ValueError, rt::Text()
                                    << "Parcel with " << columnname << "=" << selected_parcel_number << " not found.");
  }

  py::object target_geom_raw = g["shape"_n](target_parcel_data["geometry"]);
  py::object target_geom = g["project_geometry"_n](target_geom_raw);

  // Every entry carrying the selected identifier is left out, not only the first.
  py::list neighbor_geoms;
  for (py::handle p : parcel_data) {
    if (equal(p[columnname], selected_parcel_number)) continue;
    py::object g_raw = g["shape"_n](p["geometry"]);
    neighbor_geoms.append(g["project_geometry"_n](g_raw));
  }

  py::list road_geoms;
  if (truthy(road_data)) {
    for (py::handle r : road_data) {
      py::object r_raw = g["shape"_n](r["geometry"]);
      road_geoms.append(g["project_geometry"_n](r_raw));
    }
  }

  const Extent extent = survey_extent(g, bounding_box, target_geom);
  py::object scale = g["get_recommended_scale"_n](extent.survey_w, extent.survey_h, max_width_mm, max_height_mm);
  rt::print(g, scale);

  // The whole paper area at the chosen scale, centred on the extent.
  py::object thousand = int_(1000), two = int_(2);
  py::object view_w_m = max_width_mm * scale / thousand;
  py::object view_h_m = max_height_mm * scale / thousand;
  py::tuple xlim = pair(extent.center_x - view_w_m / two, extent.center_x + view_w_m / two);
  py::tuple ylim = pair(extent.center_y - view_h_m / two, extent.center_y + view_h_m / two);

  py::object inch = float_(25.4);
  py::object fig_w_in = max_width_mm / inch;
  py::object fig_h_in = max_height_mm / inch;

  py::object fig = g["plt"_n].attr("figure")(py::arg("figsize") = pair(fig_w_in, fig_h_in), py::arg("dpi") = 300);
  bool close_attempted = false;
  try {
    py::list whole_figure;
    for (int v : {0, 0, 1, 1}) whole_figure.append(v);
    py::object ax = fig.attr("add_axes")(whole_figure);
    ax.attr("set_aspect")("equal");
    ax.attr("set_xlim")(xlim);
    ax.attr("set_ylim")(ylim);
    ax.attr("axis")("off");

    py::object viewport_poly = rectangle_polygon(g, xlim[0], ylim[0], xlim[1], ylim[1]);
    py::object clipping_poly = viewport_poly;
    if (truthy(bounding_box)) {
      // With a box, roads and neighbours stop at the box, not at the paper's edge.
      py::object half_w = extent.survey_w / two, half_h = extent.survey_h / two;
      clipping_poly = rectangle_polygon(g, extent.center_x - half_w, extent.center_y - half_h, extent.center_x + half_w,
                                        extent.center_y + half_h);
    }

    draw_roads(ax, road_geoms, clipping_poly);
    fill_neighbours(ax, neighbor_geoms, clipping_poly);

    py::tuple parcel_xy = unpack(target_geom.attr("exterior").attr("xy"), 2);
    ax.attr("fill")(parcel_xy[0], parcel_xy[1], py::arg("color") = py::make_tuple(1, 0.85, 0.85, 1),
                    py::arg("edgecolor") = "red", py::arg("linewidth") = 2.5, py::arg("zorder") = 5);

    py::list schedule = annotate_parcel(g, ax, scale, target_geom, target_parcel_data);

    g["add_north_arrow"_n](ax);
    // add_north_arrow sets its letter above the arrow's tip, which at the default place and
    // size is beyond the top of the image; a map without its "N" is refused, so one more
    // stands beside the tip, inside the image, with the same font.
    ax.attr("text")(float_(0.065), float_(1.0), "N", py::arg("transform") = ax.attr("transAxes"),
                    py::arg("ha") = "left", py::arg("va") = "top", py::arg("fontsize") = 12,
                    py::arg("fontweight") = "bold", py::arg("zorder") = 10);
    g["add_scale_bar"_n](ax, scale);

    py::object buf = g["io"_n].attr("BytesIO")();
    g["plt"_n].attr("savefig")(buf, py::arg("format") = "png", py::arg("dpi") = 300, py::arg("transparent") = false);
    buf.attr("seek")(0);
    close_attempted = true;
    g["plt"_n].attr("close")(fig);

    py::object image64 = g["base64"_n].attr("b64encode")(buf.attr("getvalue")()).attr("decode")("utf-8");
    return py::make_tuple(image64, pair(max_width_mm, max_height_mm), scale, schedule);
  } catch (...) {
    // A failed map must not leave its figure in pyplot's registry.
    rt::Pending failure;
    failure.capture();
    if (!close_attempted) {
      try {
        g["plt"_n].attr("close")(fig);
      } catch (...) {
        failure.capture();
      }
    }
    failure.rethrow_if_any();
    throw;
  }
}

}  // namespace

void init_composition(const rt::Module& m) {
  m.def<&generate_plot>(
      "generate_plot",
      {P{"parcel_data"}, P{"selected_parcel_number"}, P{"road_data"}, P{"columnname", {}, py::str("parcel_number")},
       P{"bounding_box", {}, py::none()}, P{"max_width_mm", {}, int_(190)}, P{"max_height_mm", {}, int_(160)}});
}

}  // namespace ravn::plots
