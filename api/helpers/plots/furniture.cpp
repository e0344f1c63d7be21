// Map furniture: north arrow and scale bar.
#include <array>
#include <cmath>

#include "plots.hpp"

namespace ravn::plots {
namespace {

// Scale bar segment lengths in metres, ascending: a tie goes to the smaller.
constexpr std::array<long, 8> kNiceSteps{1, 2, 5, 10, 20, 25, 50, 100};

py::object add_north_arrow(const rt::Globals&, py::object ax, py::object loc, py::object size) {
  py::object arrow_x = loc[int_(0)];
  py::object arrow_y = loc[int_(1)];
  ax.attr("text")(arrow_x, arrow_y + size + float_(0.01), "N", py::arg("transform") = ax.attr("transAxes"),
                  py::arg("ha") = "center", py::arg("va") = "bottom", py::arg("fontsize") = 12,
                  py::arg("fontweight") = "bold", py::arg("zorder") = 10);
  py::dict arrowprops;
  arrowprops["facecolor"] = "black";
  arrowprops["width"] = 3;
  arrowprops["headwidth"] = 10;
  arrowprops["headlength"] = 12;
  ax.attr("annotate")("", py::arg("xy") = pair(arrow_x, arrow_y + size), py::arg("xytext") = pair(arrow_x, arrow_y),
                      py::arg("arrowprops") = arrowprops, py::arg("xycoords") = "axes fraction",
                      py::arg("zorder") = 10);
  return py::none();
}

py::object add_scale_bar(const rt::Globals& g, py::object ax, py::object scale, py::object /*position*/) {
  const long target_paper_mm = 50;
  py::object target_world_m = (int_(target_paper_mm) * scale) / int_(1000);
  const double approx_step = rt::to_double(target_world_m / int_(4));  // four segments

  double step = static_cast<double>(kNiceSteps[0]);
  double best = std::fabs(step - approx_step);
  for (long s : kNiceSteps) {
    double d = std::fabs(static_cast<double>(s) - approx_step);
    if (d < best) best = d, step = static_cast<double>(s);
  }
  // Past the table: the nearest whole hundred, by round() itself (halves to even,
  // OverflowError for an infinite scale rather than a bar of infinite length).
  if (approx_step > 100) step = rt::to_double(g["round"_n](float_(approx_step / 100))) * 100;

  // Two segments either side of the middle tick.
  const int num_steps_left = 2;
  const int total_steps = 4;
  const double total_len_m = total_steps * step;

  py::tuple xlim = ax.attr("get_xlim")(), ylim = ax.attr("get_ylim")();
  const double x0 = rt::to_double(xlim[0]), x1 = rt::to_double(xlim[1]);
  const double y0 = rt::to_double(ylim[0]), y1 = rt::to_double(ylim[1]);
  const double view_w = x1 - x0, view_h = y1 - y0;
  const double margin_x = view_w * 0.05, margin_y = view_h * 0.02;
  const double end_x = x1 - margin_x;
  const double start_x = end_x - total_len_m;
  const double start_y = y0 + margin_y;
  const double bar_height = view_h * 0.015;

  py::object rectangle = g["patches"_n].attr("Rectangle");
  py::object rect_main =
      rectangle(py::make_tuple(start_x, start_y), total_len_m, bar_height, py::arg("linewidth") = 1,
                py::arg("edgecolor") = "black", py::arg("facecolor") = "white", py::arg("zorder") = 10);
  ax.attr("add_patch")(rect_main);

  auto line = [&](double xa, double xb, double ya, double yb) {
    py::list xs, ys;
    xs.append(xa), xs.append(xb), ys.append(ya), ys.append(yb);
    ax.attr("plot")(xs, ys, py::arg("color") = "black", py::arg("linewidth") = 1, py::arg("zorder") = 12);
  };
  for (int i = 0; i < total_steps; ++i) {
    if (i % 2 == 0) {
      const double seg_start = start_x + i * step;
      py::object rect_blk = rectangle(py::make_tuple(seg_start, start_y), step, bar_height, py::arg("linewidth") = 0,
                                      py::arg("facecolor") = "black", py::arg("zorder") = 11);
      ax.attr("add_patch")(rect_blk);
    }
    const double div_x = start_x + (i + 1) * step;
    line(div_x, div_x, start_y, start_y + bar_height);
  }

  const double tick_h = bar_height * 0.5;
  const double label_y = start_y + bar_height + tick_h * 1.2;
  for (int val_idx = 0; val_idx <= total_steps; ++val_idx) {
    const double tick_x = start_x + val_idx * step;
    line(tick_x, tick_x, start_y + bar_height, start_y + bar_height + tick_h);
    // Distances from the middle tick: 2·step, step, 0, step, 2·step.
    const double val = std::fabs((val_idx - num_steps_left) * step);
    py::object label_text = rt::Text() << rt::int_from_double(val);
    ax.attr("text")(tick_x, label_y, label_text, py::arg("ha") = "center", py::arg("va") = "bottom",
                    py::arg("fontsize") = 9, py::arg("fontweight") = "bold", py::arg("zorder") = 13);
  }
  const double end_tick_x = start_x + total_steps * step;
  ax.attr("text")(end_tick_x + view_w * 0.01, label_y, "m", py::arg("ha") = "left", py::arg("va") = "bottom",
                  py::arg("fontsize") = 9, py::arg("fontweight") = "bold", py::arg("zorder") = 13);
  return py::none();
}

}  // namespace

void init_furniture(const rt::Module& m) {
  m.def<&add_north_arrow>("add_north_arrow",
                          {P{"ax"}, P{"loc", {}, py::make_tuple(0.05, 0.92)}, P{"size", {}, float_(0.08)}});
  m.def<&add_scale_bar>("add_scale_bar", {P{"ax"}, P{"scale"}, P{"position", {}, py::make_tuple(0.5, 0.05)}});
}

}  // namespace ravn::plots
