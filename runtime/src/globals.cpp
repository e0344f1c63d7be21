// Module-global lookup: the module's dict, then builtins, remembered by version tag (see globals.hpp).
#include "ravn/globals.hpp"

#include "ravn/errors.hpp"

#include <cstdint>

namespace ravn::rt {

namespace {
// Made once, in the main interpreter: the modules refuse to load in any other
// (module.hpp), so this is the builtins every lookup of theirs should see. The
// first call comes while the module loads, and importing the already-loaded
// builtins runs no Python code, so no other thread can reach the static's
// guard meanwhile (it would wait there holding the GIL).
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

namespace {
std::uint64_t version_of(PyObject* dict) { return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag; }
}  // namespace

py::object Globals::lookup(PyObject* key, Remembered& remembered) const {
  PyObject* dict = dict_.ptr();
  PyObject* builtins = builtins_dict();
  if (remembered.dict == dict && remembered.version == version_of(dict) &&
      remembered.builtins_version == version_of(builtins)) {
    return py::reinterpret_borrow<py::object>(remembered.value);
  }
  // Tags read before the lookup: a key's __eq__ or __hash__ may run Python code
  // that changes either dict during it, and that change must not count as seen.
  const std::uint64_t version = version_of(dict), builtins_version = version_of(builtins);
  py::object value = lookup(key);
  remembered = {dict, version, builtins_version, value.ptr()};
  return value;
}

py::object Globals::lookup(const char* name) const { return lookup(py::str(name).ptr()); }

void Globals::set(const char* name, py::handle value) const {
  if (PyDict_SetItemString(dict_.ptr(), name, value.ptr()) < 0) throw py::error_already_set();
}

void print(const Globals& g, py::handle text) { g.lookup("print")(text); }

}  // namespace ravn::rt
