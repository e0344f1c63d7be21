// The engine that drives one C++ coroutine frame the way CPython drives a
// generator frame with a pending `yield from`. Internal to the runtime.
#pragma once

#include "ravn/coro.hpp"

namespace ravn::rt::engine {

struct Frame {
  enum class State { created, suspended, running, done };

  std::coroutine_handle<> handle{};
  FrameBase* promise = nullptr;
  State state = State::created;

  // Runs the destructors of the frame's locals (no handlers, no awaits).
  void destroy() noexcept {
    if (handle) {
      std::coroutine_handle<> h = std::exchange(handle, {});
      promise = nullptr;
      state = State::done;
      h.destroy();
    }
    state = State::done;
  }
};

// What the frame did with one resumption.
enum class Outcome {
  yielded,   // a pending await handed a value to the event loop
  produced,  // an async generator reached co_yield
  returned,  // the body finished
  raised,    // the body ended with an exception
};

// Exactly one of `value` (what send() sends; None by default) or `error`.
struct Input {
  py::object value;
  py::object error;
};

// Resumes a suspended frame with `in`: forwards it to the pending await's
// iterator first, as `yield from` does, and resumes the C++ code only once
// that await has its result. `out` receives the yielded, produced or returned
// value, or the exception. Never throws.
Outcome step(Frame& frame, Input in, py::object& out) noexcept;

// Python's awaitable protocol: the iterator that `await obj` drives.
PyObject* awaitable_iter(PyObject* obj);

// The current Python error as an exception object (traceback attached), clearing it.
py::object fetch_error() noexcept;
// Sets Python's error indicator to `exception`.
void restore_error(py::handle exception) noexcept;
py::object new_exception(PyObject* type) noexcept;

// Parses throw()'s (type[, value[, traceback]]) into one exception object.
py::object exception_from_throw_args(PyObject* const* args, Py_ssize_t nargs);

// Registers `type` with the named collections.abc class.
void register_abc(PyTypeObject* type, const char* abc_name);

bool is_runtime_awaitable(PyObject* obj);
PyTypeObject* async_generator_step_type();

}  // namespace ravn::rt::engine
