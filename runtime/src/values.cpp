#include "ravn/values.hpp"

#include "ravn/globals.hpp"

#include <utility>
#include <vector>

namespace ravn::rt {
namespace {
py::object checked(PyObject* result) {
  if (!result) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}
bool truth(PyObject* result) {
  py::object value = checked(result);
  int r = PyObject_IsTrue(value.ptr());
  if (r < 0) throw py::error_already_set();
  return r != 0;
}
}  // namespace

bool compare(py::handle a, py::handle b, Op op) {
  if (PyLong_CheckExact(a.ptr()) && PyLong_CheckExact(b.ptr())) {
    int overflow_a = 0, overflow_b = 0;
    long x = PyLong_AsLongAndOverflow(a.ptr(), &overflow_a), y = PyLong_AsLongAndOverflow(b.ptr(), &overflow_b);
    if (!overflow_a && !overflow_b) {
      switch (op) {
        case Op::lt: return x < y;
        case Op::le: return x <= y;
        case Op::eq: return x == y;
        case Op::ne: return x != y;
        case Op::gt: return x > y;
        case Op::ge: return x >= y;
      }
    }
  }
  return truth(PyObject_RichCompare(a.ptr(), b.ptr(), static_cast<int>(op)));
}

py::object equals(py::handle a, py::handle b) { return checked(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ)); }

bool equal(py::handle a, py::handle b) { return truth(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ)); }

// Kept for the process's life, as the interpreter keeps a code object's constants.
// Making an int runs no Python code, so no other thread can change the list between
// the search and the insertion (the GIL is held throughout).
py::handle constant(long value) {
  static std::vector<std::pair<long, PyObject*>> made;
  for (const auto& [v, o] : made) {
    if (v == value) return o;
  }
  PyObject* o = checked(PyLong_FromLong(value)).release().ptr();
  made.emplace_back(value, o);
  return o;
}

py::object abs(py::handle v) { return checked(PyNumber_Absolute(v.ptr())); }

double as_double(py::handle v) {
  double d = PyFloat_AsDouble(v.ptr());
  if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return d;
}

py::object int_from(double d) { return checked(PyLong_FromDouble(d)); }

Py_ssize_t length(py::handle v) {
  Py_ssize_t n = PyObject_Length(v.ptr());
  if (n < 0) throw py::error_already_set();
  return n;
}

py::object get(py::handle mapping, py::handle key, py::handle default_) {
  if (PyDict_CheckExact(mapping.ptr())) {
    PyObject* v = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
    if (!v && PyErr_Occurred()) throw py::error_already_set();
    return py::reinterpret_borrow<py::object>(v ? v : default_.ptr());
  }
  static PyObject* get_name = PyUnicode_InternFromString("get");
  PyObject* args[] = {mapping.ptr(), key.ptr(), default_.ptr()};
  return checked(PyObject_VectorcallMethod(get_name, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

py::str join(const char* separator, py::handle items) {
  return py::reinterpret_steal<py::str>(checked(PyUnicode_Join(literal(separator), items.ptr())).release());
}

std::string_view utf8(py::handle text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (!data) throw py::error_already_set();
  return {data, static_cast<std::size_t>(size)};
}

std::optional<py::object> next_item(py::handle iterator) {
  PyObject* item = PyIter_Next(iterator.ptr());
  if (!item) {
    if (PyErr_Occurred()) throw py::error_already_set();
    return std::nullopt;
  }
  return py::reinterpret_steal<py::object>(item);
}

py::object aiter(py::handle obj) { return checked(PyObject_GetAIter(obj.ptr())); }

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

py::object call_method(py::handle obj, py::handle name) {
  return checked(PyObject_CallMethodNoArgs(obj.ptr(), name.ptr()));
}

}  // namespace ravn::rt
