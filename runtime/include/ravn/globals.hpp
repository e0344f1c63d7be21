// Module-global lookup at the moment of use, and the small services every
// module needs from Python: print, logging, text formatting.
//
// Module-level names are never kept in C++: each use looks the name up in the
// module's own __dict__ (then in builtins), as Python's LOAD_GLOBAL does, so a
// monkeypatched attribute takes effect on the next call.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstdint>
#include <cstddef>
#include <initializer_list>
#include <type_traits>
#include <utility>
#include <vector>

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
  } else if constexpr (std::is_convertible_v<T&&, py::handle>) {  // a Name: a borrowed interned str
    return py::reinterpret_borrow<py::object>(static_cast<py::handle>(value));
  } else if constexpr (std::is_convertible_v<T&&, py::object>) {
    return py::object(std::forward<T>(value));
  } else {
    return py::cast(std::forward<T>(value));
  }
}

namespace detail {
// The tuple of keyword names for a call, made once per distinct set of literal names.
PyObject* keyword_names(const char* const* names, std::size_t count);

// The arguments of one vectorcall: slot 0 left free for the callee (or `self`),
// positional arguments, then keyword values with their names in `kwnames`.
template <std::size_t N>
struct CallArgs {
  std::array<py::object, N + 1> values;
  std::array<PyObject*, N + 1> stack{};
  py::object kwnames;
  std::size_t positional = 0;

  template <class... A>
  explicit CallArgs(py::handle first, A&&... args) {
    constexpr std::size_t keywords = (0 + ... + (std::is_same_v<std::decay_t<A>, py::arg_v> ? 1 : 0));
    [[maybe_unused]] std::array<const char*, keywords> names{};
    std::size_t next = 1, keyword = 0;
    if (first) values[next++] = py::reinterpret_borrow<py::object>(first);
    [[maybe_unused]] auto place = [&](auto&& arg) {
      using D = std::decay_t<decltype(arg)>;
      static_assert(!std::is_base_of_v<py::detail::args_proxy, D> && !std::is_same_v<D, py::args> &&
                        !std::is_same_v<D, py::kwargs>,
                    "unpacking (*args, **kwargs) goes through pybind11's call, not rt::call");
      if constexpr (std::is_same_v<D, py::arg_v>) {
        values[N + 1 - keywords + keyword] = arg.value;
        names[keyword++] = arg.name;
      } else {
        values[next++] = to_python(std::forward<decltype(arg)>(arg));
      }
    };
    (place(std::forward<A>(args)), ...);
    if constexpr (keywords > 0) kwnames = py::reinterpret_borrow<py::object>(keyword_names(names.data(), keywords));
    positional = next - 1;
    for (std::size_t i = 1; i <= N; ++i) stack[i] = values[i].ptr();
  }
  PyObject* const* args() const { return stack.data() + 1; }
  std::size_t nargsf() const { return positional | PY_VECTORCALL_ARGUMENTS_OFFSET; }
  PyObject* names() const { return kwnames ? kwnames.ptr() : nullptr; }
};

inline py::object checked(PyObject* result) {
  if (!result) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}
}  // namespace detail

// `f(*args, **kwargs)` through vectorcall, keywords given as py::arg("name") = value:
// no argument tuple or keyword dictionary is made for the call.
template <class... A>
py::object call(py::handle f, A&&... args) {
  detail::CallArgs<sizeof...(A)> call_args(py::handle(), std::forward<A>(args)...);
  return detail::checked(PyObject_Vectorcall(f.ptr(), call_args.args(), call_args.nargsf(), call_args.names()));
}

// `obj.name(*args, **kwargs)`, without making the bound method.
template <FixedString S, class... A>
py::object call_method(py::handle obj, Name<S>, A&&... args) {
  detail::CallArgs<sizeof...(A) + 1> call_args(obj, std::forward<A>(args)...);
  return detail::checked(
      PyObject_VectorcallMethod(Name<S>::key(), call_args.args(), call_args.nargsf(), call_args.names()));
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
    static Remembered remembered;  // one per name
    return Global(lookup(Name<S>::key(), remembered));
  }
  // A name's last lookup, valid while neither the module's dict nor the builtins
  // have changed since (dict version tags are never reused), as the interpreter's
  // own global-name caches work.
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

