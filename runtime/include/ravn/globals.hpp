// Module-global lookup at the moment of use, and the small services every
// module needs from Python: print, logging, text formatting.
//
// Module-level names are never kept in C++: each use looks the name up in the
// module's own __dict__ (then in builtins), as Python's LOAD_GLOBAL does, so a
// monkeypatched attribute takes effect on the next call.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <initializer_list>
#include <type_traits>
#include <utility>

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
    static PyObject* interned = PyUnicode_InternFromString(S.text);  // immortal enough: interned
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

template <class T>
py::object to_python(T&& value) {
  using D = std::decay_t<T>;
  if constexpr (std::is_base_of_v<py::handle, D>) {
    return py::reinterpret_borrow<py::object>(value);
  } else if constexpr (std::is_convertible_v<T&&, py::object>) {
    return py::object(std::forward<T>(value));
  } else {
    return py::cast(std::forward<T>(value));
  }
}

// `f(*args, **kwargs)` through vectorcall, keywords given as py::arg("name") = value:
// no argument tuple or keyword dictionary is made for the call.
template <class... A>
py::object call(py::handle f, A&&... args) {
  constexpr std::size_t n = sizeof...(A);
  constexpr std::size_t keywords = (0 + ... + (std::is_same_v<std::decay_t<A>, py::arg_v> ? 1 : 0));
  std::array<py::object, n + 1> values;  // slot 0: room for a bound method's self
  std::array<PyObject*, n + 1> stack{};
  py::object kwnames;
  if constexpr (keywords > 0) kwnames = py::reinterpret_steal<py::object>(PyTuple_New(keywords));
  std::size_t positional = 1, keyword = 0;
  auto place = [&](auto&& arg) {
    if constexpr (std::is_same_v<std::decay_t<decltype(arg)>, py::arg_v>) {
      values[n + 1 - keywords + keyword] = arg.value;
      PyTuple_SET_ITEM(kwnames.ptr(), keyword, Py_NewRef(literal(arg.name)));
      ++keyword;
    } else {
      values[positional++] = to_python(std::forward<decltype(arg)>(arg));
    }
  };
  (place(std::forward<A>(args)), ...);
  for (std::size_t i = 1; i <= n; ++i) stack[i] = values[i].ptr();
  PyObject* r = PyObject_Vectorcall(f.ptr(), stack.data() + 1, (n - keywords) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                    kwnames ? kwnames.ptr() : nullptr);
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

// `obj.name(args...)`, without making the bound method.
template <FixedString S, class... A>
py::object call_method(py::handle obj, Name<S>, A&&... args) {
  constexpr std::size_t n = sizeof...(A);
  std::array<py::object, n> values{to_python(std::forward<A>(args))...};
  std::array<PyObject*, n + 2> stack{};  // slot 0: scratch the callee may use
  stack[1] = obj.ptr();
  for (std::size_t i = 0; i < n; ++i) stack[i + 2] = values[i].ptr();
  PyObject* r = PyObject_VectorcallMethod(Name<S>::key(), stack.data() + 1, (n + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          nullptr);
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

// `key in container`, through the container's own membership test.
inline bool contains(py::handle container, py::handle key) {
  int r = PySequence_Contains(container.ptr(), key.ptr());
  if (r < 0) throw py::error_already_set();
  return r != 0;
}

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
    return Global(lookup(Name<S>::key()));
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

