// f-string assembly and the other text services: truth testing, format().
#pragma once

#include "ravn/names.hpp"

#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <string>
#include <vector>

namespace ravn::rt {
namespace py = pybind11;

// f-string assembly: each value is formatted as `{value}` is, with format(value, "").
class Text {
 public:
  Text() = default;
  Text(const Text& other);
  Text& operator=(const Text&) = delete;
  ~Text();

  Text& operator<<(const char* literal);  // a literal: made once (dynamic text goes as std::string)
  Text& operator<<(const std::string& text);
  Text& operator<<(py::handle value);
  py::str str() const;
  operator py::str() const { return str(); }

 private:
  void add(PyObject* part);  // steals

  // Most texts have a handful of parts: no list, no allocation for them.
  static constexpr std::size_t kInline = 32;
  std::array<PyObject*, kInline> inline_;  // only the first size_ are set
  std::vector<PyObject*> more_;
  std::size_t size_ = 0;
};

// `if value:`. Truth testing can itself raise, which throws here.
inline bool truthy(py::handle value) {
  int r = PyObject_IsTrue(value.ptr());
  if (r < 0) throw py::error_already_set();
  return r != 0;
}

// `format(value, spec)`.
py::str format(py::handle value, const char* spec);

}  // namespace ravn::rt

// Text passes to Python as the str it builds (call arguments, item assignment).
namespace pybind11::detail {
template <>
struct type_caster<ravn::rt::Text> {
  PYBIND11_TYPE_CASTER(ravn::rt::Text, const_name("str"));
  bool load(handle, bool) { return false; }
  static handle cast(const ravn::rt::Text& text, return_value_policy, handle) { return text.str().release(); }
};
}  // namespace pybind11::detail
