// Python's operations on values, as the module sources need them: comparisons,
// numbers, mappings, iteration and unpacking, each with Python's own semantics and
// error texts. Module code uses these instead of the C API.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <optional>
#include <string_view>

namespace ravn::rt {
namespace py = pybind11;

enum class Op { lt = Py_LT, le = Py_LE, eq = Py_EQ, ne = Py_NE, gt = Py_GT, ge = Py_GE };

// `a < b` (and the others) as an `if` tests it. Two exact ints compare as C longs
// without a call; anything else (bools, int subclasses, huge ints, floats) goes
// through Python's comparison.
bool compare(py::handle a, py::handle b, Op op);

// `a == b` as the object it makes (an SQL expression, a bool, NotImplemented's
// fallback), and as an `if` tests it: no identity shortcut, so NaN never equals itself.
py::object equals(py::handle a, py::handle b);
bool equal(py::handle a, py::handle b);

// An int constant made once, as a Python literal's constants are.
py::handle constant(long value);

// `abs(v)`, `float(v)` as a C double, `int(d)` of a double, `len(v)`.
py::object abs(py::handle v);
double as_double(py::handle v);
py::object int_from(double d);
Py_ssize_t length(py::handle v);

// `mapping.get(key, default)`: the dict's own lookup when it is exactly a dict,
// its `get` method otherwise.
py::object get(py::handle mapping, py::handle key, py::handle default_);

// `separator.join(items)` for a literal separator.
py::str join(const char* separator, py::handle items);

// A str's UTF-8 text, valid while the str lives.
std::string_view utf8(py::handle text);

// `next(iterator)` for a `for` loop: nullopt when the iterator is exhausted.
std::optional<py::object> next_item(py::handle iterator);

// `aiter(obj)`: the async iterator an `async for` loop steps with `co_await rt::next(...)`.
py::object aiter(py::handle obj);

// `a, b, ... = value`: takes at most count + 1 items, as Python does, and raises
// Python's TypeError and ValueError texts.
py::tuple unpack(py::handle value, std::size_t count);

// `obj.<name>()` for a method name known only at run time.
py::object call_method(py::handle obj, py::handle name);

}  // namespace ravn::rt
