// ravn.plots: the survey map of one parcel, drawn with matplotlib.
// Each source file holds one concern and an init_* function that binds its
// names into the module's namespace, called in load order by module.cpp.
//
// Arithmetic on values that come from callers, shapely or numpy stays on
// Python objects, so numbers, errors and numeric types are those of the
// equivalent Python expressions; plain C++ doubles are used only where every
// operand is already a float.
#pragma once

#include <pybind11/pybind11.h>

#include "ravn/rt.hpp"

namespace ravn::plots {
namespace py = pybind11;
namespace rt = ravn::rt;
using namespace rt::literals;
using P = rt::Param;
using rt::truthy;

void init_scale(const rt::Module& m);        // project_geometry, get_recommended_scale
void init_furniture(const rt::Module& m);    // add_north_arrow, add_scale_bar
void init_composition(const rt::Module& m);  // generate_plot

// Roads clipped to the map: dashed lines and dashed road outlines.
void draw_roads(py::handle ax, const py::list& road_geoms, py::handle clipping_poly);

// Beacons, their names, leg bearings and lengths, the parcel's name and area;
// returns the boundary schedule rows.
py::list annotate_parcel(const rt::Globals& g, py::handle ax, py::handle scale, py::handle target_geom,
                         py::handle target_parcel_data);

// `a == b` as an `if` tests it: no identity shortcut, so NaN never equals itself.
using rt::equal;

inline py::object int_(long v) { return py::int_(v); }
inline py::object float_(double v) { return py::float_(v); }

inline py::object py_abs(py::handle v) { return rt::abs(v); }

// `a, b, ... = value` with Python's ValueError texts.
using rt::unpack;

// `value[i]` and `value.name` as objects, ready for arithmetic.
inline py::object item(py::handle value, long i) { return value[int_(i)]; }
inline py::object attr(py::handle value, const char* name) { return value.attr(name); }

// `(a, b)` as a tuple object.
inline py::tuple pair(py::handle a, py::handle b) { return py::make_tuple(a, b); }

}  // namespace ravn::plots
