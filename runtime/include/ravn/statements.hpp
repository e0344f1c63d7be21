// Python statements whose meaning C++ lacks: `async with`.
#pragma once

#include "ravn/coro.hpp"
#include "ravn/errors.hpp"

#include <pybind11/pybind11.h>

namespace ravn::rt {
namespace py = pybind11;

// `async with manager as value: body`, written as
//     rt::AsyncWith with(manager);
//     py::object value = co_await with.enter();
//     try { body } catch (...) { with.fail(); }
//     with.finish(co_await with.exit());
// Every exception of the body, cancellation included, is handed to __aexit__,
// and re-raised afterwards unless __aexit__ returns true; an exception raised
// by __aexit__ itself propagates from the co_await in its place, with the
// body's exception as its __context__.
class AsyncWith {
 public:
  explicit AsyncWith(py::handle manager);
  py::object enter();  // awaitable of __aenter__()
  void fail() noexcept { pending_.capture(); }
  py::object exit();  // awaitable of __aexit__(type, value, traceback)
  void finish(py::handle exit_result);

 private:
  Local<> manager_;
  Local<> exit_;
  Pending pending_;
};

}  // namespace ravn::rt
