// Calls through vectorcall: positional and keyword arguments without an
// argument tuple or keyword dictionary, methods without the bound method.
#pragma once

#include "ravn/names.hpp"

#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <type_traits>
#include <utility>

namespace ravn::rt {
namespace py = pybind11;

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

}  // namespace ravn::rt
