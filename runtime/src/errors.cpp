#include "ravn/errors.hpp"

#include <exception>
#include <new>
#include <stdexcept>

namespace ravn::rt {

namespace {
// The exception object held by error_already_set, with its traceback attached.
py::object exception_of(const py::error_already_set& e) {
  py::object value = e.value();
  PyObject* attached = PyException_GetTraceback(value.ptr());  // new reference or null
  if (attached) {
    Py_DECREF(attached);
  } else if (e.trace()) {
    PyException_SetTraceback(value.ptr(), e.trace().ptr());
  }
  return value;
}

py::object fetch_error() {
  PyObject *type, *value, *trace;
  PyErr_Fetch(&type, &value, &trace);
  PyErr_NormalizeException(&type, &value, &trace);
  if (trace) PyException_SetTraceback(value, trace);
  Py_XDECREF(type);
  Py_XDECREF(trace);
  return py::reinterpret_steal<py::object>(value);
}
}  // namespace

void raise(py::handle exception) {
  if (PyExceptionClass_Check(exception.ptr())) {
    PyErr_SetNone(exception.ptr());
  } else {
    PyObject* trace = PyException_GetTraceback(exception.ptr());  // new reference or null
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr()))), Py_NewRef(exception.ptr()),
                  trace);
  }
  throw py::error_already_set();
}

void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw py::error_already_set();
}

void raise(PyObject* type, const py::str& message) { raise(py::reinterpret_borrow<py::object>(type)(message)); }

py::object current_exception() noexcept {
  try {
    throw;
  } catch (py::error_already_set& e) {
    return exception_of(e);
  } catch (py::builtin_exception& e) {
    e.set_error();
  } catch (std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
  }
  return fetch_error();
}

void restore_current_exception() noexcept {
  PyObject* exc = current_exception().release().ptr();
  PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
  PyErr_Restore(type, exc, PyException_GetTraceback(exc));
}

bool matches(py::handle exception, py::handle cls) {
  int r = PyErr_GivenExceptionMatches(exception.ptr(), cls.ptr());
  return r != 0;
}

void Pending::capture() noexcept {
  py::object exc = current_exception();
  if (value_ && exc.ptr() != value_.ptr()) {
    PyObject* context = PyException_GetContext(exc.ptr());
    if (context == nullptr) {
      PyException_SetContext(exc.ptr(), value_.release().ptr());  // steals
    } else {
      Py_DECREF(context);
    }
  }
  value_ = std::move(exc);
}

void Pending::rethrow_if_any() {
  if (value_) {
    py::object exc = std::move(value_);
    raise(exc);
  }
}

}  // namespace ravn::rt
