// Module-global lookup at the moment of use, and the umbrella header of the
// pieces every module needs from Python: names and literals (names.hpp), calls
// (calls.hpp), text and formatting (text.hpp).
//
// Each use of a module-level name looks it up in the module's own __dict__
// (then in builtins), as Python's LOAD_GLOBAL does, so a monkeypatched
// attribute takes effect on the next call.
//
// Cache: Globals::operator[] remembers each name's last lookup (one
// Remembered per name, a static of the template) with the version tags of the
// module dict and of builtins, and uses it again only while both tags are
// unchanged. Every change to a dict gives it a new tag, and tags are never
// reused, so any change to either dict (a patch, a deletion, an import that
// adds a name) invalidates it. The tags are read before the lookup, so a change
// made by Python code during the lookup is not taken for seen. The remembered
// value is borrowed: the unchanged dict still holds it.
#pragma once

#include "ravn/calls.hpp"
#include "ravn/names.hpp"
#include "ravn/text.hpp"

#include <pybind11/pybind11.h>

#include <cstdint>
#include <utility>

namespace ravn::rt {
namespace py = pybind11;

// A module global as looked up at this moment; calling it is a vectorcall.
class Global : public py::object {
 public:
  explicit Global(py::object value) : py::object(std::move(value)) {}
  template <class... A>
  py::object operator()(A&&... args) const {
    return ::ravn::rt::call(*this, std::forward<A>(args)...);
  }
};

class Globals {
 public:
  explicit Globals(py::dict namespace_dict) : dict_(std::move(namespace_dict)) {}

  template <FixedString S>
  Global operator[](Name<S>) const {
    static Remembered remembered;  // one per name
    return Global(lookup(Name<S>::key(), remembered));
  }
  // A name's last lookup, valid while neither the module's dict nor the builtins
  // have changed since (see the head of this file).
  struct Remembered {
    PyObject* dict = nullptr;
    std::uint64_t version = 0, builtins_version = 0;
    PyObject* value = nullptr;  // borrowed: the unchanged dict holds it
  };
  // NameError when the name is neither a module global nor a builtin.
  py::object lookup(PyObject* key) const;
  py::object lookup(PyObject* key, Remembered& remembered) const;
  py::object lookup(const char* name) const;
  void set(const char* name, py::handle value) const;

  const py::dict& dict() const noexcept { return dict_; }

 private:
  py::dict dict_;
};

// The module's print: looked up as a global, so it is the built-in print unless patched.
void print(const Globals& g, py::handle text);

}  // namespace ravn::rt
