// The engine that drives one C++ coroutine frame the way CPython drives a
// generator frame with a pending `yield from`. Internal to the runtime.
#pragma once

#include <cstddef>

#include "ravn/coro.hpp"
#include "ravn/errors.hpp"

namespace ravn::rt::engine {

// What a thread needs while it runs frames. Initial-exec TLS: a module's own
// thread-locals are otherwise reached through __tls_get_addr, a call on every
// frame entry and every rt::Var; this is a few bytes of the static TLS that the
// loader keeps spare for libraries loaded later.
struct Allocation {
  void* memory = nullptr;
  std::size_t size = 0;
};
struct ThreadFrames {
  FrameBase* running = nullptr;  // the frame running on this thread (innermost)
  Allocation last_allocation;    // operator new's block, for the promise's constructor
};
#if defined(__GNUC__)
extern constinit thread_local ThreadFrames t_frames __attribute__((tls_model("initial-exec")));
#else
extern constinit thread_local ThreadFrames t_frames;
#endif

// While a frame runs (its own code, or the iterator its pending await
// delegates to), its handled exception is on the thread's exception stack, as
// a generator's is, and the rt::Var locals it constructs join it. Entering a
// frame that is already the innermost one changes nothing.
class Entered {
 public:
  explicit Entered(FrameBase& frame) noexcept
      : thread_(PyThreadState_Get()), outer_item_(thread_->exc_info), outer_frame_(t_frames.running) {
    if (outer_item_ != &frame.handled) {
      frame.handled.previous_item = outer_item_;
      thread_->exc_info = &frame.handled;
    }
    t_frames.running = &frame;
  }
  ~Entered() {
    thread_->exc_info = outer_item_;
    t_frames.running = outer_frame_;
  }
  Entered(const Entered&) = delete;
  Entered& operator=(const Entered&) = delete;

 private:
  PyThreadState* thread_;
  _PyErr_StackItem* outer_item_;
  FrameBase* outer_frame_;
};

struct Frame {
  enum class State { created, suspended, running, done };

  std::coroutine_handle<> handle{};
  FrameBase* promise = nullptr;
  State state = State::created;

  // Runs the destructors of the frame's locals (no handlers, no awaits).
  void destroy() noexcept {
    if (handle) {
      std::coroutine_handle<> h = std::exchange(handle, {});
      Entered entered(*std::exchange(promise, nullptr));
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

// One resumption of a frame (promise and handle), helpers awaited in place
// included; the caller destroys a frame that has finished.
Outcome run(FrameBase& frame, std::coroutine_handle<> handle, Input in, py::object& out) noexcept;

// StopIteration or StopAsyncIteration leaving a body, as RuntimeError (PEP 479).
py::object body_error(py::object error, const char* what) noexcept;

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
// A generator made a coroutine by @types.coroutine.
bool is_generator_based_coroutine(PyObject* obj);

// Sets the error a body ended with; StopIteration leaving a body becomes
// RuntimeError("<what> raised StopIteration"), as PEP 479 has it.
void restore_body_error(py::object error, const char* what);

// Reports the frame's Python references to the garbage collector.
int visit_frame(const Frame& frame, visitproc visit, void* arg);

// tp_clear of a frame: only one that never started is destroyed (that runs no
// code of the body). A suspended frame is closed by finalisation, which runs
// its clean-up; destroying it here would skip that.
void clear_frame(Frame& frame) noexcept;

// A garbage-collected heap type that Python code cannot instantiate.
PyTypeObject* make_type(const char* name, int size, PyType_Slot* slots);

// send()/throw()/am_send of an awaitable object, built on its resume function
// (one resumption with a value or an exception, as am_send reports it).
using Resume = PySendResult (*)(PyObject* self, Input in, PyObject** result);

// A method's result from a resumption: the yielded value, or StopIteration(value).
PyObject* method_result(PySendResult res, PyObject* result);

template <Resume R>
PySendResult am_send(PyObject* self, PyObject* arg, PyObject** result) {
  return R(self, Input{py::reinterpret_borrow<py::object>(arg), {}}, result);
}

template <Resume R>
PyObject* send_method(PyObject* self, PyObject* arg) {
  PyObject* result = nullptr;
  // Two statements: `result` is read only after the resumption has set it.
  PySendResult res = am_send<R>(self, arg, &result);
  return method_result(res, result);
}

template <Resume R>
PyObject* iternext(PyObject* self) {
  return send_method<R>(self, Py_None);
}

template <Resume R>
PyObject* throw_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  py::object exc;
  try {
    exc = exception_from_throw_args(args, nargs);
  } catch (...) {
    restore_current_exception();
    return nullptr;
  }
  PyObject* result = nullptr;
  PySendResult res = R(self, Input{{}, std::move(exc)}, &result);
  return method_result(res, result);
}
PyTypeObject* async_generator_step_type();

// Setter of __name__/__qualname__: a str, never deleted, as on Python's functions.
int set_name_attribute(PyObject** slot, PyObject* value, const char* attribute);

}  // namespace ravn::rt::engine

namespace ravn::rt {
// A runtime coroutine suspended at an await, that is, driven by some awaiter.
bool coroutine_is_awaiting(PyObject* coro);
}  // namespace ravn::rt
