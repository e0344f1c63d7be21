// Names and literal texts as Python strs, made once.
//
// Caches (runtime/src/names.cpp and below): each `"name"_n` is interned once per
// process and kept; literal() and the keyword-name tuples of rt::call are kept
// in small tables keyed by the literal's address. An entry is never stale: a str
// and a tuple of strs never change, and a table entry is used only after its
// text is compared with the literal's, so a buffer reused at the same address
// gets a fresh str. Sound for the one interpreter the modules load in (they
// refuse sub-interpreters); the GIL guards the tables.
#pragma once

#include "ravn/python_version.hpp"

#include <pybind11/pybind11.h>

#include <cstddef>

namespace ravn::rt {
namespace py = pybind11;

template <std::size_t N>
struct FixedString {
  char text[N]{};
  constexpr FixedString(const char (&s)[N]) {
    for (std::size_t i = 0; i < N; ++i) text[i] = s[i];
  }
};

// A name known at compile time, interned once: "logger"_n. It serves as an
// attribute name or a mapping key as it is: obj.attr("get"_n), config["table"_n].
template <FixedString S>
struct Name {
  static PyObject* key() {
    // Made once and never released: the process keeps it, whatever the module does.
    static PyObject* interned = PyUnicode_InternFromString(S.text);
    return interned;
  }
  operator py::handle() const { return key(); }
};

inline namespace literals {
template <FixedString S>
constexpr Name<S> operator""_n() {
  return {};
}
}  // namespace literals

// An interned str for a text that stays at one address (a literal), made once.
PyObject* literal(const char* text);

}  // namespace ravn::rt
