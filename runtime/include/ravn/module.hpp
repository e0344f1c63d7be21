// Extension module entry points.
//
// RAVN_MODULE(name, load) exports PyInit_<name> with multi-phase initialisation:
// the module object already has its __name__ and __file__ when `load` runs, and
// an exception raised while loading reaches the importer as it is (a ValueError
// stays a ValueError), exactly as an error at the top level of a Python module.
#pragma once

#include <pybind11/pybind11.h>

#include "ravn/errors.hpp"

namespace ravn::rt {

// Creates the runtime's Python types; idempotent.
void init();

// ImportError in a sub-interpreter. The runtime's types, interned names and
// builtins are made once per process; made in a sub-interpreter, they would die
// with it and break the main interpreter's import.
bool refuse_subinterpreter(PyObject* module);

template <void (*Load)(pybind11::module_)>
int exec_module(PyObject* module) {
  if (refuse_subinterpreter(module)) return -1;
  try {
    init();
    Load(pybind11::reinterpret_borrow<pybind11::module_>(module));
    return 0;
  } catch (...) {
    restore_current_exception();
    return -1;
  }
}

}  // namespace ravn::rt

#define RAVN_MODULE(name, load)                                                                                \
  extern "C" PYBIND11_EXPORT PyObject* PyInit_##name() {                                                       \
    static PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void*>(&::ravn::rt::exec_module<load>)}, \
                                       {0, nullptr}};                                                          \
    static PyModuleDef definition = {                                                                          \
        PyModuleDef_HEAD_INIT, #name, nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr};                  \
    return PyModuleDef_Init(&definition);                                                                      \
  }
