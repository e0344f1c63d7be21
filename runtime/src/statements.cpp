#include "ravn/statements.hpp"

#include "frame.hpp"
#include "ravn/coro.hpp"
#include "ravn/globals.hpp"

namespace ravn::rt {

namespace {
// Special methods are looked up on the type and bound through their descriptor, as
// the interpreter does, with no attribute lookup on the instance.
py::object special_method(py::handle obj, PyObject* name, const char* protocol) {
  PyTypeObject* type = Py_TYPE(obj.ptr());
  PyObject* method = _PyType_Lookup(type, name);  // borrowed
  if (!method) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the asynchronous context manager protocol%s",
                 type->tp_name, protocol);
    throw py::error_already_set();
  }
  descrgetfunc get = Py_TYPE(method)->tp_descr_get;
  PyObject* bound = get ? get(method, obj.ptr(), reinterpret_cast<PyObject*>(type)) : Py_NewRef(method);
  if (!bound) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(bound);
}

// What __aenter__ or __aexit__ returned, if `await` can take it; otherwise the
// TypeError that `async with` raises in its own words, where a plain `await`
// would say "can't be used in 'await' expression".
py::object awaitable_from(py::object result, const char* method) {
  PyObject* r = result.ptr();
  PyAsyncMethods* am = Py_TYPE(r)->tp_as_async;
  if (PyCoro_CheckExact(r) || engine::is_runtime_awaitable(r) || (am && am->am_await) ||
      engine::is_generator_based_coroutine(r)) {
    return result;
  }
  PyErr_Format(PyExc_TypeError, "'async with' received an object from %s that does not implement __await__: %.100s",
               method, Py_TYPE(r)->tp_name);
  throw py::error_already_set();
}
}  // namespace

AsyncWith::AsyncWith(py::handle manager) : manager_(py::reinterpret_borrow<py::object>(manager)) {}

py::object AsyncWith::enter() {
  py::object aenter = special_method(manager_, Name<"__aenter__">::key(), "");
  exit_ = special_method(manager_, Name<"__aexit__">::key(), " (missed __aexit__ method)");
  return awaitable_from(detail::checked(PyObject_CallNoArgs(aenter.ptr())), "__aenter__");
}

py::object AsyncWith::exit() {
  if (!pending_) {
    PyObject* args[] = {Py_None, Py_None, Py_None};
    return awaitable_from(detail::checked(PyObject_Vectorcall(exit_.ptr(), args, 3, nullptr)), "__aexit__");
  }
  const py::object& exc = pending_.value();
  py::object trace = py::reinterpret_steal<py::object>(PyException_GetTraceback(exc.ptr()));
  PyObject* args[] = {reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr(), trace ? trace.ptr() : Py_None};
  return awaitable_from(detail::checked(PyObject_Vectorcall(exit_.ptr(), args, 3, nullptr)), "__aexit__");
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
