// Module-global lookup at the moment of use, and the small services every
// module needs from Python: print, logging, text formatting.
//
// Module-level names are never kept in C++: each use looks the name up in the
// module's own __dict__ (then in builtins), as Python's LOAD_GLOBAL does, so a
// monkeypatched attribute takes effect on the next call.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <initializer_list>

namespace ravn::rt {
namespace py = pybind11;

template <std::size_t N>
struct FixedString {
  char text[N]{};
  constexpr FixedString(const char (&s)[N]) {
    for (std::size_t i = 0; i < N; ++i) text[i] = s[i];
  }
};

// A name known at compile time, interned once: "logger"_n.
template <FixedString S>
struct Name {
  static PyObject* key() {
    static PyObject* interned = PyUnicode_InternFromString(S.text);  // immortal enough: interned
    return interned;
  }
};

inline namespace literals {
template <FixedString S>
constexpr Name<S> operator""_n() {
  return {};
}
}  // namespace literals

class Globals {
 public:
  explicit Globals(py::dict namespace_dict) : dict_(std::move(namespace_dict)) {}

  template <FixedString S>
  py::object operator[](Name<S>) const {
    return lookup(Name<S>::key());
  }
  // NameError when the name is neither a module global nor a builtin.
  py::object lookup(PyObject* key) const;
  py::object lookup(const char* name) const;
  void set(const char* name, py::handle value) const;

  const py::dict& dict() const noexcept { return dict_; }

 private:
  py::dict dict_;
};

// f-string assembly: each value is formatted as `{value}` is, with format(value, "").
class Text {
 public:
  Text& operator<<(const char* literal);
  Text& operator<<(const std::string& literal);
  Text& operator<<(py::handle value);
  py::str str() const;
  operator py::str() const { return str(); }

 private:
  py::list parts_;
};

// `if value:`. Truth testing can itself raise, which throws here.
inline bool truthy(py::handle value) {
  int r = PyObject_IsTrue(value.ptr());
  if (r < 0) throw py::error_already_set();
  return r != 0;
}

// `format(value, spec)`.
py::str format(py::handle value, const char* spec);

// The module's print: looked up as a global, so it is the built-in print unless patched.
void print(const Globals& g, py::handle text);

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

