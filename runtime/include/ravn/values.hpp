// Python's operators, conversions and protocols on values, for module code:
// each function is the Python expression in its comment, with Python's own
// errors, so module sources need no C-API call of their own.
#pragma once

#include "ravn/names.hpp"

#include <pybind11/pybind11.h>

#include <cstddef>
#include <optional>
#include <string_view>

namespace ravn::rt {
namespace py = pybind11;

// `a < b`, `a <= b`, `a == b`, `a != b`, `a > b`, `a >= b` (op: Py_LT ... Py_GE) as
// an `if` tests it. Two exact ints that fit a C long are compared without a call.
bool compare(py::handle a, py::handle b, int op);

// `a == b` as the object it makes (a SQL expression, a numpy array, a bool).
py::object eq(py::handle a, py::handle b);

// `a == b` as an `if` tests it: no identity shortcut, so NaN never equals itself.
bool equal(py::handle a, py::handle b);

// `abs(value)`.
py::object abs(py::handle value);

// `len(value)`.
Py_ssize_t length(py::handle value);

// The C double of `value` as float() computes it (__float__, then __index__).
double to_double(py::handle value);

// `int(value)` of a C double: OverflowError for an infinity, ValueError for NaN.
py::object int_from_double(double value);

// An int made once per process and kept, as a constant of Python code is: the
// same object on every use. Cache: a short list of (value, object) pairs that
// nothing invalidates, ints being immutable; the GIL guards it.
py::handle constant(long value);

// `mapping.get(key, default)`: an exact dict's own lookup, anything else
// through its get method.
py::object get(py::handle mapping, py::handle key, py::handle default_);

// `next(iterator)` for a `for` loop: the next item, or nullopt at the end.
std::optional<py::object> next_item(py::handle iterator);

// `aiter(value)`: the async iterator of `async for`.
py::object aiter(py::handle value);

// `a, b, ... = value`: exactly `count` items, taken as Python's unpacking takes
// them (at most one more than asked for), with its TypeError and ValueError texts.
py::tuple unpack(py::handle value, std::size_t count);

// The UTF-8 text of a str, valid while the str lives.
std::string_view utf8(py::handle text);

// `separator.join(items)`; `separator` is a literal.
py::str join(const char* separator, py::handle items);

// `obj.<name>()` for a method whose name is known only at run time; `name` is a
// literal (one of several the caller chooses from).
py::object call_method(py::handle obj, const char* name);

}  // namespace ravn::rt
