// Load sequence of ravn.plots: imports, the raster back end, the serif fonts,
// the host logger, the coordinate systems, then the functions, in that order.
#include "plots.hpp"

namespace ravn::plots {

py::tuple unpack(py::handle value, std::size_t count) {
  PyObject* it = PyObject_GetIter(value.ptr());
  if (!it) {
    PyTypeObject* type = Py_TYPE(value.ptr());
    if (PyErr_ExceptionMatches(PyExc_TypeError) && !type->tp_iter && !PySequence_Check(value.ptr())) {
      PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", type->tp_name);
    }
    throw py::error_already_set();
  }
  py::object iterator = py::reinterpret_steal<py::object>(it);
  py::tuple items(count);
  for (std::size_t i = 0; i <= count; ++i) {
    PyObject* item = PyIter_Next(iterator.ptr());
    if (!item) {
      if (PyErr_Occurred()) throw py::error_already_set();
      if (i == count) return items;
      PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", count, i);
      throw py::error_already_set();
    }
    if (i == count) {
      Py_DECREF(item);
      PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", count);
      throw py::error_already_set();
    }
    PyTuple_SET_ITEM(items.ptr(), static_cast<Py_ssize_t>(i), item);
  }
  return items;
}

namespace {

void load(py::module_ module) {
  const rt::Module m(std::move(module));
  rt::import_module(m, "io");
  rt::import_module(m, "base64");
  rt::import_module(m, "math");
  rt::import_module(m, "numpy", "np");
  rt::import_module(m, "matplotlib", "mpl");
  rt::import_module(m, "matplotlib.pyplot", "plt");
  rt::import_module(m, "matplotlib.patches", "patches");
  rt::import_from(m, "shapely.geometry", {"Polygon", "LineString", "shape"});
  rt::import_from(m, "shapely.ops", {"transform"});
  rt::import_from(m, "pyproj", {"Transformer", "CRS"});
  rt::import_from(m, "logger", {"get_logger"});

  // Maps are only ever written to files: no display.
  py::object mpl = m["mpl"_n];
  mpl.attr("use")("Agg");
  py::object rc = mpl.attr("rcParams");
  rc["font.family"] = "serif";
  py::list serif;
  for (const char* family : {"Times New Roman", "Liberation Serif", "DejaVu Serif"}) serif.append(family);
  rc["font.serif"] = serif;

  m.set("logger", m["get_logger"_n]());
  m["logger"_n].attr("info")("Loaded plots module");

  py::object crs = m["CRS"_n];
  m.set("SRC_CRS", crs("EPSG:3857"));
  m.set("DST_CRS", crs("EPSG:3857"));
  m.set("TRANSFORMER",
        m["Transformer"_n].attr("from_crs")(m["SRC_CRS"_n], m["DST_CRS"_n], py::arg("always_xy") = true));

  init_scale(m);
  init_furniture(m);
  init_composition(m);
}

}  // namespace
}  // namespace ravn::plots

RAVN_MODULE(plots, ravn::plots::load)
