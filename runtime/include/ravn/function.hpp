// Function objects that look and call like Python functions.
//
// A module function is written in C++ as
//     py::object name(const rt::Globals& g, py::object a, py::object b);   // def
//     rt::Coro   name(rt::Globals g, py::object a, py::object b);          // async def
//     rt::AsyncGen name(rt::Globals g, py::object a);                      // async generator
// and published with a Python signature (names, kinds, real annotation
// objects, defaults, return annotation) that inspect.signature() reports and
// that argument binding follows, with Python's own TypeError texts. Parameters
// annotated `int` or `str` are checked at call time, before any coroutine
// object exists. The object binds as a method when placed on a class.
#pragma once

#include "ravn/coro.hpp"
#include "ravn/errors.hpp"
#include "ravn/globals.hpp"

#include <pybind11/pybind11.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace ravn::rt {
namespace py = pybind11;

struct Param {
  enum Kind { positional_or_keyword, keyword_only };
  std::string name;
  py::object annotation{};  // empty: no annotation
  py::object default_{};    // empty: required
  Kind kind = positional_or_keyword;
};

// Builds the argument vector (parameter order, borrowed) and calls the C++ body.
using Trampoline = PyObject* (*)(PyObject* function, PyObject* const* args);

struct FunctionSpec {
  std::string name;
  std::string qualname;  // defaults to name
  std::optional<std::string> doc;
  std::vector<Param> params;
  py::object returns{};  // empty: no return annotation
  bool is_coroutine = false;
  Trampoline call = nullptr;
};

py::object make_function(const Globals& globals, FunctionSpec spec);

// What a trampoline needs from the function object.
const Globals& function_globals(PyObject* function);
PyObject* function_name(PyObject* function);
PyObject* function_qualname(PyObject* function);

namespace detail {
template <class T>
struct Body;
template <class R, class G, class... A>
struct Body<R (*)(G, A...)> {
  using result = R;
  static constexpr std::size_t arity = sizeof...(A);
};

template <auto F, std::size_t... I>
PyObject* invoke(PyObject* fn, PyObject* const* args, std::index_sequence<I...>) {
  using R = typename Body<decltype(F)>::result;
  const Globals& g = function_globals(fn);
  if constexpr (std::is_same_v<R, Coro>) {
    return make_coroutine(F(g, py::reinterpret_borrow<py::object>(args[I])...), function_name(fn),
                          function_qualname(fn))
        .release()
        .ptr();
  } else if constexpr (std::is_same_v<R, AsyncGen>) {
    return make_async_generator(F(g, py::reinterpret_borrow<py::object>(args[I])...), function_name(fn),
                                function_qualname(fn))
        .release()
        .ptr();
  } else {
    return py::object(F(g, py::reinterpret_borrow<py::object>(args[I])...)).release().ptr();
  }
}

template <auto F>
PyObject* trampoline(PyObject* fn, PyObject* const* args) {
  try {
    return invoke<F>(fn, args, std::make_index_sequence<Body<decltype(F)>::arity>{});
  } catch (...) {
    restore_current_exception();
    return nullptr;
  }
}
}  // namespace detail

// A module's namespace while it is being built: definitions go into its __dict__.
class Module {
 public:
  explicit Module(py::module_ m);

  const Globals& globals() const noexcept { return globals_; }
  template <FixedString S>
  py::object operator[](Name<S> n) const {
    return globals_[n];
  }
  void set(const char* name, py::handle value) const { globals_.set(name, value); }

  // A function object for body F with the given Python signature.
  template <auto F>
  py::object function(const char* name, std::vector<Param> params, py::object returns = {},
                      std::optional<std::string> doc = std::nullopt, const char* qualname = nullptr) const {
    using R = typename detail::Body<decltype(F)>::result;
    if (detail::Body<decltype(F)>::arity != params.size()) throw std::logic_error("parameter count mismatch");
    FunctionSpec spec{name,
                      qualname ? qualname : name,
                      std::move(doc),
                      std::move(params),
                      std::move(returns),
                      std::is_same_v<R, Coro>,
                      &detail::trampoline<F>};
    return make_function(globals_, std::move(spec));
  }

  // Defines a module-level function (bound as a module attribute).
  template <auto F>
  py::object def(const char* name, std::vector<Param> params, py::object returns = {},
                 std::optional<std::string> doc = std::nullopt) const {
    py::object f = function<F>(name, std::move(params), std::move(returns), std::move(doc));
    set(name, f);
    return f;
  }

  // `class Name(*bases): ...` as type(name, bases, namespace) makes it; no bases: plain `object`.
  py::object make_class(const char* name, std::optional<std::string> doc,
                        std::vector<std::pair<const char*, py::object>> members, py::tuple bases = py::tuple()) const;

  py::module_ module;

 private:
  Globals globals_;
};

}  // namespace ravn::rt
