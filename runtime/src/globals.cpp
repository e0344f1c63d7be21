#include "ravn/globals.hpp"

#include "ravn/errors.hpp"

namespace ravn::rt {

namespace {
PyObject* builtins_dict() {
  static PyObject* dict = [] {
    PyObject* module = PyImport_ImportModule("builtins");
    if (!module) throw py::error_already_set();
    PyObject* d = PyModule_GetDict(module);  // borrowed; the builtins module lives as long as the interpreter
    Py_INCREF(d);
    Py_DECREF(module);
    return d;
  }();
  return dict;
}
}  // namespace

py::object Globals::lookup(PyObject* key) const {
  PyObject* v = PyDict_GetItemWithError(dict_.ptr(), key);
  if (!v) {
    if (PyErr_Occurred()) throw py::error_already_set();
    v = PyDict_GetItemWithError(builtins_dict(), key);
    if (!v) {
      if (PyErr_Occurred()) throw py::error_already_set();
      PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
      throw py::error_already_set();
    }
  }
  return py::reinterpret_borrow<py::object>(v);
}

py::object Globals::lookup(const char* name) const { return lookup(py::str(name).ptr()); }

void Globals::set(const char* name, py::handle value) const {
  if (PyDict_SetItemString(dict_.ptr(), name, value.ptr()) < 0) throw py::error_already_set();
}

Text& Text::operator<<(const char* literal) {
  parts_.append(py::str(literal));
  return *this;
}

Text& Text::operator<<(const std::string& literal) {
  parts_.append(py::str(literal));
  return *this;
}

Text& Text::operator<<(py::handle value) {
  if (PyUnicode_CheckExact(value.ptr())) {
    parts_.append(value);
  } else {
    parts_.append(format(value, ""));
  }
  return *this;
}

py::str Text::str() const {
  py::str empty("");
  PyObject* joined = PyUnicode_Join(empty.ptr(), parts_.ptr());
  if (!joined) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(joined);
}

py::str format(py::handle value, const char* spec) {
  py::str s(spec);
  PyObject* r = PyObject_Format(value.ptr(), s.ptr());
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(r);
}

void print(const Globals& g, py::handle text) { g.lookup("print")(text); }

}  // namespace ravn::rt
