#include "ravn/statements.hpp"

#include "ravn/coro.hpp"
#include "ravn/globals.hpp"

namespace ravn::rt {

namespace {
// Special methods are looked up on the type, as the interpreter does.
py::object special_method(py::handle obj, const char* name, const char* protocol) {
  py::object type = py::reinterpret_borrow<py::object>(py::type::handle_of(obj));
  PyObject* method = PyObject_GetAttrString(type.ptr(), name);
  if (!method) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the asynchronous context manager protocol%s",
                 Py_TYPE(obj.ptr())->tp_name, protocol);
    throw py::error_already_set();
  }
  py::object unbound = py::reinterpret_steal<py::object>(method);
  PyObject* bound = PyObject_CallMethod(unbound.ptr(), "__get__", "OO", obj.ptr(), type.ptr());
  if (!bound) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(bound);
}
}  // namespace

AsyncWith::AsyncWith(py::handle manager) : manager_(py::reinterpret_borrow<py::object>(manager)) {}

py::object AsyncWith::enter() {
  py::object aenter = special_method(manager_, "__aenter__", "");
  exit_ = special_method(manager_, "__aexit__", " (missed __aexit__ method)");
  return aenter();
}

py::object AsyncWith::exit() {
  if (!pending_) return exit_(py::none(), py::none(), py::none());
  const py::object& exc = pending_.value();
  py::object trace = py::reinterpret_steal<py::object>(PyException_GetTraceback(exc.ptr()));
  return exit_(py::type::handle_of(exc), exc, trace ? trace : py::none());
}

void AsyncWith::finish(py::handle exit_result) {
  if (!pending_) return;
  if (truthy(exit_result)) {
    pending_.discard();
    return;
  }
  pending_.rethrow_if_any();
}

}  // namespace ravn::rt
