// What the map says: roads, beacons and their names, bearings and lengths of
// the boundary legs, the parcel's name and area, and the boundary schedule.
// Every label is laid out in paper millimetres, converted to ground metres
// through the scale (L mm on paper = L * scale / 1000 m).
#include <cmath>

#include "plots.hpp"

namespace ravn::plots {
namespace {

void dashed(py::handle ax, py::handle x, py::handle y, int zorder) {
  ax.attr("plot")(x, y, py::arg("color") = "black", py::arg("linewidth") = 0.8, py::arg("linestyle") = "--",
                  py::arg("zorder") = zorder);
}

// Road areas are outlined (holes are not drawn); points are not roads.
void plot_road_element(py::handle ax, py::handle geom) {
  py::object kind = geom.attr("geom_type");
  if (equal(kind, py::str("Polygon"))) {
    py::tuple xy = unpack(geom.attr("exterior").attr("xy"), 2);
    dashed(ax, xy[0], xy[1], 2);
  } else if (equal(kind, py::str("MultiPolygon"))) {
    for (py::handle part : geom.attr("geoms")) plot_road_element(ax, part);
  } else if (equal(kind, py::str("MultiLineString"))) {
    for (py::handle line : geom.attr("geoms")) {
      py::tuple xy = unpack(line.attr("xy"), 2);
      dashed(ax, xy[0], xy[1], 1);
    }
  } else if (equal(kind, py::str("LineString"))) {
    py::tuple xy = unpack(geom.attr("xy"), 2);
    dashed(ax, xy[0], xy[1], 1);
  } else if (equal(kind, py::str("GeometryCollection"))) {
    for (py::handle part : geom.attr("geoms")) plot_road_element(ax, part);
  }
}

// Vector work goes through the module's numpy, as the labels' positions are numpy values.
py::object vec(const rt::Globals& g, py::handle x, py::handle y) {
  py::list items;
  items.append(x);
  items.append(y);
  return g["np"_n].attr("array")(items);
}

// shapely's Point, imported where the labels need it as `from shapely.geometry import Point` would.
py::object point_class() { return py::module_::import("shapely.geometry").attr("Point"); }

py::object norm(const rt::Globals& g, py::handle v) { return g["np"_n].attr("linalg").attr("norm")(v); }

py::object degrees_of(const rt::Globals& g, py::handle v) {
  py::object np = g["np"_n];
  return np.attr("degrees")(np.attr("arctan2")(item(v, 1), item(v, 0)));
}

// Text along a direction pointing left would read upside down: turn it half a circle.
bool reads_upside_down(double angle) { return (90 < angle && angle < 270) || (-270 < angle && angle < -90); }

struct Point2 {
  py::object x, y;
};

Point2 beacon_point(const rt::Globals& g, py::handle beacon) {
  py::object point = g["project_geometry"_n](g["shape"_n](beacon["geometry"]));
  return {point.attr("x"), point.attr("y")};
}

bool is_zero(py::handle v) { return equal(v, int_(0)); }

// Whether the parcel contains the text boxes of its name (bottom 2 mm above `at`) and of its
// area (top 0.75 m below it). The boxes are estimated, not measured: 0.6 em a character and
// 1.2 em a line, in points on paper, converted to ground metres through the scale.
bool parcel_holds_labels(py::handle target_geom, py::handle at, double scale, py::handle name, long name_pt,
                         py::handle area_text, long area_pt) {
  const double m_per_pt = 25.4 / 72.0 * scale / 1000.0;
  const double x = rt::to_double(attr(at, "x")), y = rt::to_double(attr(at, "y"));
  auto chars = [](py::handle text) { return static_cast<double>(rt::length(py::str(text))); };
  py::object box = py::module_::import("shapely.geometry").attr("box");
  auto holds = [&](double n_chars, long points, double bottom) {
    const double half_w = n_chars * 0.6 * points * m_per_pt / 2, h = 1.2 * points * m_per_pt;
    return truthy(target_geom.attr("contains")(box(x - half_w, bottom, x + half_w, bottom + h)));
  };
  const double area_h = 1.2 * area_pt * m_per_pt;
  return holds(chars(name), name_pt, y + 2 * scale / 1000.0) && holds(chars(area_text), area_pt, y - 0.75 - area_h);
}

}  // namespace

void draw_roads(py::handle ax, const py::list& road_geoms, py::handle clipping_poly) {
  for (py::handle r_geom : road_geoms) {
    py::object clipped = r_geom.attr("intersection")(clipping_poly);
    if (!truthy(clipped.attr("is_empty"))) plot_road_element(ax, clipped);
  }
}

py::list annotate_parcel(const rt::Globals& g, py::handle ax, py::handle scale_h, py::handle target_geom,
                         py::handle target_parcel_data) {
  py::object scale = py::reinterpret_borrow<py::object>(scale_h);
  const long base_fontsize = 10;
  long font_scale_adj = 2;
  if (scale < int_(2000)) {
    font_scale_adj = 0;
  } else if (scale < int_(5000)) {
    font_scale_adj = 1;
  }
  const long fontsize = std::max(6L, base_fontsize - font_scale_adj);

  py::object beacons = target_parcel_data.attr("get")("boundary", py::list());
  py::object centroid = target_geom.attr("centroid");
  py::list schedule;
  const Py_ssize_t n = rt::length(beacons);

  py::object mm = scale / int_(1000);  // ground metres per paper millimetre
  py::object offset_dist = mm * int_(2);
  py::object min_len_for_label = mm * int_(15);

  Py_ssize_t i = 0;
  for (py::handle beacon : beacons) {
    const Point2 b = beacon_point(g, beacon);
    py::object next_beacon = beacons[py::int_((i + 1) % n)];
    const Point2 nb = beacon_point(g, next_beacon);
    py::object prev_beacon = beacons[py::int_((i + n - 1) % n)];
    const Point2 pb = beacon_point(g, prev_beacon);
    ++i;

    ax.attr("plot")(b.x, b.y, py::arg("marker") = "o", py::arg("color") = "black", py::arg("markersize") = 3,
                    py::arg("zorder") = 6);

    // Both legs from the beacon; a coincident neighbour leaves no corner to label.
    py::object vec_prev = vec(g, pb.x - b.x, pb.y - b.y);
    py::object vec_next = vec(g, nb.x - b.x, nb.y - b.y);
    py::object norm_prev = norm(g, vec_prev), norm_next = norm(g, vec_next);
    if (is_zero(norm_prev) || is_zero(norm_next)) continue;

    // The bisector points into the opening of the corner; a straight corner takes the leg's normal.
    py::object u_prev = vec_prev / norm_prev, u_next = vec_next / norm_next;
    py::object bisector = u_prev + u_next;
    if (is_zero(norm(g, bisector))) bisector = vec(g, -item(u_next, 1), item(u_next, 0));
    bisector = bisector / norm(g, bisector);

    // 6 mm from the beacon, 1.5 mm more for each character beyond the fourth.
    py::object beacon_name = beacon["beacon_name"];
    const Py_ssize_t text_len = rt::length(beacon_name);
    py::object extra_offset = int_(0);
    if (text_len - 4 > 0) extra_offset = float_(static_cast<double>(text_len - 4) * 1.5);
    py::object offset_m = mm * (int_(6) + extra_offset);
    py::object lx = b.x + item(bisector, 0) * offset_m;
    py::object ly = b.y + item(bisector, 1) * offset_m;
    // Names stand outside: at a convex corner the bisector points into the parcel.
    if (truthy(target_geom.attr("contains")(point_class()(lx, ly)))) {
      bisector = -bisector;
      lx = b.x + item(bisector, 0) * offset_m;
      ly = b.y + item(bisector, 1) * offset_m;
    }
    py::object lbl_angle = degrees_of(g, bisector);
    if (reads_upside_down(rt::to_double(lbl_angle))) lbl_angle = lbl_angle + int_(180);
    ax.attr("text")(lx, ly, beacon_name, py::arg("fontsize") = fontsize, py::arg("ha") = "center",
                    py::arg("va") = "center", py::arg("rotation") = lbl_angle, py::arg("rotation_mode") = "anchor",
                    py::arg("fontweight") = "bold", py::arg("zorder") = 7);

    py::object two = int_(2);
    py::object mid_x = (b.x + nb.x) / two, mid_y = (b.y + nb.y) / two;
    py::object line_vec = vec(g, nb.x - b.x, nb.y - b.y);
    py::object line_len = norm(g, line_vec);
    py::object line_unit = line_vec / line_len;
    py::object line_angle = degrees_of(g, line_unit);
    bool is_reversed = false;
    if (reads_upside_down(rt::to_double(line_angle))) {
      line_angle = line_angle + int_(180);
      is_reversed = true;
    }

    // perp points away from the centroid: bearings outside the leg, the length inside.
    py::object perp = vec(g, -item(line_unit, 1), item(line_unit, 0));
    py::object mid_to_cent = vec(g, attr(centroid, "x") - mid_x, attr(centroid, "y") - mid_y);
    if (g["np"_n].attr("dot")(perp, mid_to_cent) > int_(0)) perp = -perp;
    py::object dx_pos = mid_x - item(perp, 0) * offset_dist;
    py::object dy_pos = mid_y - item(perp, 1) * offset_dist;
    // The centroid can lie outside a leg of a concave parcel (the inner legs of an L), which
    // would put the length outside and the bearings inside. When the parcel itself says so
    // (the length's point is outside and its mirror inside), turn the leg's labels over.
    if (!truthy(target_geom.attr("contains")(point_class()(dx_pos, dy_pos)))) {
      py::object mirror_x = mid_x + item(perp, 0) * offset_dist;
      py::object mirror_y = mid_y + item(perp, 1) * offset_dist;
      if (truthy(target_geom.attr("contains")(point_class()(mirror_x, mirror_y)))) {
        perp = -perp;
        dx_pos = mirror_x, dy_pos = mirror_y;
      }
    }

    // Legs shorter than 15 mm on paper have no room for their labels.
    if (line_len > min_len_for_label) {
      py::object start = vec(g, b.x, b.y);
      py::object p1 = start + line_unit * (line_len * float_(0.25));
      py::object p2 = start + line_unit * (line_len * float_(0.75));
      py::object p1_off = p1 + perp * offset_dist;
      py::object p2_off = p2 + perp * offset_dist;
      py::object deg_text = rt::Text() << beacon.attr("get")("bearing_deg_to_next", "");
      py::object min_text = rt::Text() << beacon.attr("get")("bearing_min_to_next", "");
      // Degrees come first in the reading direction.
      py::object deg_at = is_reversed ? p2_off : p1_off;
      py::object min_at = is_reversed ? p1_off : p2_off;
      for (auto [at, text] : {std::pair{deg_at, deg_text}, std::pair{min_at, min_text}}) {
        ax.attr("text")(item(at, 0), item(at, 1), text, py::arg("fontsize") = fontsize - 1, py::arg("ha") = "center",
                        py::arg("va") = "center", py::arg("rotation") = line_angle, py::arg("rotation_mode") = "anchor",
                        py::arg("zorder") = 7);
      }
      py::object d_text = rt::Text() << rt::format(beacon.attr("get")("distance_to_next", 0), ".2f") << "m";
      ax.attr("text")(dx_pos, dy_pos, d_text, py::arg("fontsize") = fontsize - 1, py::arg("ha") = "center",
                      py::arg("va") = "center", py::arg("rotation") = line_angle, py::arg("rotation_mode") = "anchor",
                      py::arg("fontweight") = "bold", py::arg("zorder") = 7);
    }

    py::object deg_str = beacon.attr("get")("bearing_deg_to_next", "");
    py::object min_str = beacon.attr("get")("bearing_min_to_next", "");
    py::object dist_val = beacon.attr("get")("distance_to_next", 0);
    py::dict row;
    row["from"] = beacon.attr("get")("beacon_name", "?");
    row["to"] = next_beacon.attr("get")("beacon_name", "?");
    row["bearing"] = rt::Text() << deg_str << " " << min_str;
    row["distance"] = rt::format(dist_val, ".2f");
    schedule.append(row);
  }

  // Name and area stand at the centroid while the parcel holds both texts there; the centroid
  // of a concave parcel can lie by an inner corner or outside it, so otherwise both move
  // together, keeping their offsets, to the point deepest inside the parcel.
  py::object name = target_parcel_data["name"];
  py::object area_val = target_parcel_data.attr("get")("area", 0);
  py::object area_text = rt::Text() << area_val << " m²";
  py::object anchor = centroid;
  if (!parcel_holds_labels(target_geom, centroid, rt::to_double(scale), name, fontsize + 2, area_text, fontsize - 2)) {
    anchor =
        py::module_::import("shapely.ops").attr("polylabel")(target_geom, py::arg("tolerance") = scale / int_(10000));
  }
  // The area's offset is in ground metres: it does not follow the scale.
  ax.attr("text")(attr(anchor, "x"), attr(anchor, "y") + mm * int_(2), name, py::arg("fontsize") = fontsize + 2,
                  py::arg("fontweight") = "bold", py::arg("ha") = "center", py::arg("va") = "bottom",
                  py::arg("zorder") = 8);
  ax.attr("text")(attr(anchor, "x"), attr(anchor, "y") - float_(0.75), area_text, py::arg("fontsize") = fontsize - 2,
                  py::arg("ha") = "center", py::arg("va") = "top", py::arg("zorder") = 8);
  return schedule;
}

}  // namespace ravn::plots
