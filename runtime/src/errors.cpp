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

// The Python exception of the C++ handler this call is made from, if any.
py::object cxx_handled_exception() noexcept {
  std::exception_ptr handled = std::current_exception();
  if (!handled) return {};
  try {
    std::rethrow_exception(handled);
  } catch (py::error_already_set& e) {
    return e.value();
  } catch (...) {
  }
  return {};
}

// Sets the error indicator with `set`, chaining as Python's raise does: the
// interpreter chains with sys.exc_info(), so a C++ handler's exception stands
// in for it while the error is set.
template <class Set>
[[noreturn]] void raise_chained(Set set) {
  py::object handled = cxx_handled_exception();
  _PyErr_StackItem* item = PyThreadState_Get()->exc_info;
  PyObject* outer = nullptr;
  const bool stand_in = handled && handled.ptr() != item->exc_value;
  if (stand_in) {
    outer = item->exc_value;
    item->exc_value = handled.release().ptr();
  }
  set();
  if (stand_in) {
    Py_DECREF(item->exc_value);
    item->exc_value = outer;
  }
  throw py::error_already_set();
}
}  // namespace

void raise(py::handle exception) {
  raise_chained([&] {
    if (PyExceptionClass_Check(exception.ptr())) {
      PyErr_SetNone(exception.ptr());
    } else {
      PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr())), exception.ptr());
    }
  });
}

void raise(PyObject* type, const char* message) {
  raise_chained([&] { PyErr_SetString(type, message); });
}

void raise(PyObject* type, const py::str& message) { raise(py::reinterpret_borrow<py::object>(type)(message)); }

void propagate(py::handle exception) {
  PyObject* trace = PyException_GetTraceback(exception.ptr());  // new reference or null
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr()))), Py_NewRef(exception.ptr()), trace);
  throw py::error_already_set();
}

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

Handling::Handling(py::handle exception) noexcept : item_(PyThreadState_Get()->exc_info), outer_(item_->exc_value) {
  item_->exc_value = Py_NewRef(exception.ptr());
}

Handling::~Handling() {
  PyObject* handled = item_->exc_value;
  item_->exc_value = outer_;
  Py_XDECREF(handled);
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
  if (!item_) {
    item_ = PyThreadState_Get()->exc_info;
    outer_ = py::reinterpret_steal<py::object>(item_->exc_value);
    item_->exc_value = nullptr;
  }
  Py_XSETREF(item_->exc_value, Py_NewRef(exc.ptr()));
  value_ = std::move(exc);
}

void Pending::stop_handling() noexcept {
  if (!item_) return;
  PyObject* handled = item_->exc_value;
  item_->exc_value = outer_.release().ptr();
  item_ = nullptr;
  Py_XDECREF(handled);
}

void Pending::discard() noexcept {
  stop_handling();
  value_ = py::object();
}

void Pending::rethrow_if_any() {
  stop_handling();
  if (value_) {
    py::object exc = std::move(value_);
    propagate(exc);
  }
}

}  // namespace ravn::rt
