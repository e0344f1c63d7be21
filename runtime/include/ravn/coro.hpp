// C++20 coroutines that are Python coroutines and async generators.
//
// A C++ coroutine returning `Coro` becomes a Python coroutine object when the
// function object (function.hpp) calls it; one returning `AsyncGen` becomes a
// Python async generator object. Inside either, `co_await obj` awaits any
// Python awaitable with `yield from` semantics: every value the awaitable
// yields goes straight out to the event loop, every value sent or exception
// thrown in goes straight back to it, and the C++ code resumes only when the
// await has a result, which it returns, or an exception, which it throws as
// py::error_already_set at the co_await (cancellation and time-outs included).
//
// Rules for code inside such a coroutine:
//  - parameters are taken by value (py::object), so the frame owns them;
//  - no co_await inside a catch handler: capture with rt::Pending and await after;
//  - a frame closed early (close(), aclose(), garbage collection) receives
//    GeneratorExit at its pending await, so clean-up code runs.
#pragma once

#include <pybind11/pybind11.h>

#include <coroutine>
#include <optional>
#include <utility>

namespace ravn::rt {
namespace py = pybind11;

struct FrameBase;
class Coro;

// The awaiter behind `co_await <python awaitable>`.
struct Await {
  FrameBase* frame;
  py::object awaitable;
  bool end_on_stop_async = false;  // rt::next(): StopAsyncIteration ends a loop
  py::object value{};
  py::object error{};
  bool suspended = false;

  bool await_ready();
  void await_suspend(std::coroutine_handle<>) noexcept { suspended = true; }
  py::object await_resume();
};

// `co_await rt::next(iterator)`: one step of `async for`; nullopt at StopAsyncIteration.
struct NextItem {
  py::object awaitable;
};
struct AwaitNext : Await {
  std::optional<py::object> await_resume();
};
NextItem next(py::handle async_iterator);

// State shared by the C++ frame and the Python object that drives it.
struct FrameBase {
  FrameBase() noexcept {}  // a user-declared constructor: never aggregate-initialised from arguments
  FrameBase(const FrameBase&) = delete;
  FrameBase& operator=(const FrameBase&) = delete;

  py::object delegate;        // iterator of the pending await (yield-from target)
  py::object outgoing;        // value handed to the event loop at this suspension
  py::object incoming;        // result delivered to the pending await or co_yield
  py::object incoming_error;  // exception delivered to the pending await or co_yield
  py::object result;          // co_return value
  py::object error;           // exception that ended the frame
  bool produced = false;      // suspended at co_yield (async generators)

  std::suspend_always initial_suspend() noexcept { return {}; }
  std::suspend_always final_suspend() noexcept { return {}; }
  void unhandled_exception() noexcept;

  template <class T>
  Await await_transform(T&& awaitable) {
    return Await{this, py::object(std::forward<T>(awaitable))};
  }
  AwaitNext await_transform(NextItem n) { return AwaitNext{{this, std::move(n.awaitable), true}}; }
  // A C++ coroutine awaited from C++ (a helper that is not a module function).
  Await await_transform(Coro&& inner);
};

template <class Promise>
class FrameHandle {
 public:
  explicit FrameHandle(std::coroutine_handle<Promise> h) noexcept : h_(h) {}
  FrameHandle(FrameHandle&& o) noexcept : h_(std::exchange(o.h_, {})) {}
  FrameHandle& operator=(FrameHandle&&) = delete;
  ~FrameHandle() {
    if (h_) h_.destroy();
  }
  std::coroutine_handle<> release() noexcept { return std::exchange(h_, {}); }
  FrameBase& promise() const noexcept { return h_.promise(); }

 private:
  std::coroutine_handle<Promise> h_;
};

class Coro {
 public:
  struct promise_type : FrameBase {
    promise_type() noexcept {}
    Coro get_return_object() noexcept { return Coro(std::coroutine_handle<promise_type>::from_promise(*this)); }
    void return_value(py::object v) noexcept { result = std::move(v); }
  };
  FrameHandle<promise_type> frame;

 private:
  explicit Coro(std::coroutine_handle<promise_type> h) noexcept : frame(h) {}
};

class AsyncGen {
 public:
  struct promise_type : FrameBase {
    promise_type() noexcept {}
    AsyncGen get_return_object() noexcept { return AsyncGen(std::coroutine_handle<promise_type>::from_promise(*this)); }
    void return_void() noexcept {}

    // `co_yield v` hands v to the consumer; the expression's value is what asend() sends back,
    // and athrow()/aclose() raise at it.
    struct YieldAwaiter {
      FrameBase* frame;
      bool await_ready() const noexcept { return false; }
      void await_suspend(std::coroutine_handle<>) const noexcept {}
      py::object await_resume();
    };
    YieldAwaiter yield_value(py::object v) {
      outgoing = std::move(v);
      produced = true;
      return YieldAwaiter{this};
    }
  };
  FrameHandle<promise_type> frame;

 private:
  explicit AsyncGen(std::coroutine_handle<promise_type> h) noexcept : frame(h) {}
};

// Python objects for a new frame; `name` and `qualname` are those of the function.
py::object make_coroutine(Coro&& coro, py::handle name, py::handle qualname);

inline Await FrameBase::await_transform(Coro&& inner) {
  static py::handle helper_name = py::str("<helper>").release();
  return Await{this, make_coroutine(std::move(inner), helper_name, helper_name)};
}
py::object make_async_generator(AsyncGen&& gen, py::handle name, py::handle qualname);

// The Python types, created on first use and registered with collections.abc.
PyTypeObject* coroutine_type();
PyTypeObject* async_generator_type();

}  // namespace ravn::rt
