// Python's operators, conversions and protocols on values (see values.hpp).
#include "ravn/values.hpp"

#include "ravn/calls.hpp"
#include "ravn/text.hpp"

#include <utility>
#include <vector>

namespace ravn::rt {

namespace {
py::object checked(PyObject* result) { return detail::checked(result); }
}  // namespace

bool compare(py::handle a, py::handle b, int op) {
  if (PyLong_CheckExact(a.ptr()) && PyLong_CheckExact(b.ptr())) {
    int overflow_a = 0, overflow_b = 0;
    const long x = PyLong_AsLongAndOverflow(a.ptr(), &overflow_a);
    const long y = PyLong_AsLongAndOverflow(b.ptr(), &overflow_b);
    if (!overflow_a && !overflow_b) {
      switch (op) {
        case Py_LT:
          return x < y;
        case Py_LE:
          return x <= y;
        case Py_EQ:
          return x == y;
        case Py_NE:
          return x != y;
        case Py_GT:
          return x > y;
        case Py_GE:
          return x >= y;
        default:
          break;
      }
    }
  }
  const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
  if (r < 0) throw py::error_already_set();
  return r != 0;
}

py::object eq(py::handle a, py::handle b) { return checked(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ)); }

bool equal(py::handle a, py::handle b) { return truthy(eq(a, b)); }

py::object abs(py::handle value) { return checked(PyNumber_Absolute(value.ptr())); }

Py_ssize_t length(py::handle value) {
  const Py_ssize_t n = PyObject_Length(value.ptr());
  if (n < 0) throw py::error_already_set();
  return n;
}

double to_double(py::handle value) {
  const double d = PyFloat_AsDouble(value.ptr());
  if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return d;
}

py::object int_from_double(double value) { return checked(PyLong_FromDouble(value)); }

py::handle constant(long value) {
  static std::vector<std::pair<long, PyObject*>> made;
  for (const auto& [v, o] : made) {
    if (v == value) return o;
  }
  PyObject* o = PyLong_FromLong(value);
  if (!o) throw py::error_already_set();
  made.emplace_back(value, o);
  return o;
}

py::object get(py::handle mapping, py::handle key, py::handle default_) {
  if (PyDict_CheckExact(mapping.ptr())) {
    PyObject* v = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
    if (!v && PyErr_Occurred()) throw py::error_already_set();
    return py::reinterpret_borrow<py::object>(v ? v : default_.ptr());
  }
  return call_method(mapping, "get"_n, key, default_);
}

std::optional<py::object> next_item(py::handle iterator) {
  PyObject* item = PyIter_Next(iterator.ptr());
  if (item) return py::reinterpret_steal<py::object>(item);
  if (PyErr_Occurred()) throw py::error_already_set();
  return std::nullopt;
}

py::object aiter(py::handle value) { return checked(PyObject_GetAIter(value.ptr())); }

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
    std::optional<py::object> item = next_item(iterator);
    if (!item) {
      if (i == count) return items;
      PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", count, i);
      throw py::error_already_set();
    }
    if (i == count) {
      PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", count);
      throw py::error_already_set();
    }
    PyTuple_SET_ITEM(items.ptr(), static_cast<Py_ssize_t>(i), item->release().ptr());
  }
  return items;
}

std::string_view utf8(py::handle text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (!data) throw py::error_already_set();
  return {data, static_cast<std::size_t>(size)};
}

py::str join(const char* separator, py::handle items) {
  return py::reinterpret_steal<py::str>(checked(PyUnicode_Join(literal(separator), items.ptr())).release());
}

py::object call_method(py::handle obj, const char* name) {
  return checked(PyObject_CallMethodNoArgs(obj.ptr(), literal(name)));
}

}  // namespace ravn::rt
