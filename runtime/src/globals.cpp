#include "ravn/globals.hpp"

#include "ravn/errors.hpp"

#include <cstring>
#include <unordered_map>

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

PyObject* literal(const char* text) {
  // Keyed by address; the text is compared too, so a reused buffer never gets a stale str.
  static std::unordered_map<const char*, PyObject*> made;
  PyObject*& entry = made[text];
  if (entry) {
    const char* utf8 = PyUnicode_AsUTF8(entry);
    if (utf8 && std::strcmp(utf8, text) == 0) return entry;
    PyErr_Clear();
    Py_CLEAR(entry);
  }
  entry = PyUnicode_InternFromString(text);
  if (!entry) throw py::error_already_set();
  return entry;
}

Text& Text::operator<<(const char* text) {
  if (PyList_Append(parts_.ptr(), literal(text)) < 0) throw py::error_already_set();
  return *this;
}

Text& Text::operator<<(const std::string& literal) {
  parts_.append(py::str(literal));
  return *this;
}

Text& Text::operator<<(py::handle value) {
  if (PyUnicode_CheckExact(value.ptr())) {
    if (PyList_Append(parts_.ptr(), value.ptr()) < 0) throw py::error_already_set();
    return *this;
  }
  PyObject* text = PyObject_Format(value.ptr(), literal(""));
  if (!text) throw py::error_already_set();
  int r = PyList_Append(parts_.ptr(), text);
  Py_DECREF(text);
  if (r < 0) throw py::error_already_set();
  return *this;
}

py::str Text::str() const {
  PyObject* joined = PyUnicode_Join(literal(""), parts_.ptr());
  if (!joined) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(joined);
}

py::str format(py::handle value, const char* spec) {
  PyObject* r = PyObject_Format(value.ptr(), literal(spec));
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(r);
}

void print(const Globals& g, py::handle text) { g.lookup("print")(text); }

}  // namespace ravn::rt
