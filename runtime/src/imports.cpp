#include "ravn/imports.hpp"

#include "ravn/errors.hpp"
#include "ravn/globals.hpp"
#include "ravn/module.hpp"

#include <string>

namespace ravn::rt {

void import_from(const Module& m, const char* module, std::initializer_list<const char*> names) {
  py::module_ source = py::module_::import(module);
  for (const char* name : names) {
    if (!py::hasattr(source, name)) {
      PyObject* submodule = PyImport_ImportModule((std::string(module) + "." + name).c_str());
      if (submodule) {
        Py_DECREF(submodule);
      } else {
        PyErr_Clear();
      }
    }
    if (!py::hasattr(source, name)) {
      py::object file = py::getattr(source, "__file__", py::none());
      py::str location = file.is_none() ? py::str("unknown location") : py::str(file);
      py::object error = py::reinterpret_borrow<py::object>(PyExc_ImportError)(
          Text() << "cannot import name '" << py::str(name) << "' from '" << py::str(module) << "' (" << location
                 << ")",
          py::arg("name") = module, py::arg("path") = file);
      raise(error);
    }
    m.set(name, source.attr(name));
  }
}

void import_module(const Module& m, const char* module, const char* as) {
  py::module_ imported = py::module_::import(module);
  m.set(as ? as : module, imported);
}

bool refuse_subinterpreter(PyObject* module) {
  if (PyInterpreterState_Get() == PyInterpreterState_Main()) return false;
  const char* name = PyModule_GetName(module);
  PyErr_Format(PyExc_ImportError,
               "%s cannot be imported in a sub-interpreter: the ravn modules run in the main interpreter only",
               name ? name : "module");
  return true;
}

}  // namespace ravn::rt
