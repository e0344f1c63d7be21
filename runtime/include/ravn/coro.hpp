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
//  - locals that hold Python objects are rt::Var (or rt::Local<T>), so the
//    garbage collector sees them while the frame is suspended;
//  - no co_await inside a catch handler: capture with rt::Pending and await after;
//  - a frame closed early (close(), aclose(), garbage collection) receives
//    GeneratorExit at its pending await, so clean-up code runs;
//  - `co_await helper(...)` of a C++ coroutine that is not a module function
//    runs the helper's frame in place: no Python object between the two.
//
// What the collector sees of a frame: its parameters (registered by the
// promise's constructor), its rt::Var locals (each joins the frame whose memory
// holds it), the iterator of the pending await, values in transit and the
// exception the frame is handling. A temporary of a co_await expression also
// lives across the suspension, unseen: keep such temporaries to module-level
// objects (`g["asyncio"_n].attr("wait_for")`), and call methods of the frame's
// own objects with rt::call_method.
#pragma once

#include "ravn/python_version.hpp"

#include <pybind11/pybind11.h>

#include <array>
#include <concepts>
#include <coroutine>
#include <cstddef>
#include <optional>
#include <type_traits>
#include <utility>

namespace ravn::rt {
namespace py = pybind11;

struct FrameBase;
class Coro;
class Globals;

// A link in the list of Python references that a frame reports to the garbage collector.
struct FrameLink {
  FrameLink* prev = nullptr;
  FrameLink* next = nullptr;
  const py::handle* object = nullptr;

  void join(const py::handle* owner) noexcept;  // joins the running frame if its memory holds `owner`
  void leave() noexcept {
    if (prev) {
      prev->next = next;
      next->prev = prev;
      prev = next = nullptr;
    }
  }
};

// A Python reference owned by a coroutine frame and visible to the garbage
// collector while the frame is suspended. Outside a coroutine frame it is the
// plain pybind11 type.
template <class T = py::object>
class Local : public T {
 public:
  Local() { link_.join(this); }
  template <class U>
    requires(!std::same_as<std::remove_cvref_t<U>, Local> && std::constructible_from<T, U &&>)
  Local(U&& value) : T(std::forward<U>(value)) {
    link_.join(this);
  }
  Local(const Local& other) : T(static_cast<const T&>(other)) { link_.join(this); }
  Local(Local&& other) noexcept : T(std::move(static_cast<T&>(other))) { link_.join(this); }
  Local& operator=(const Local& other) {
    T::operator=(static_cast<const T&>(other));
    return *this;
  }
  Local& operator=(Local&& other) noexcept {
    T::operator=(std::move(static_cast<T&>(other)));
    return *this;
  }
  template <class U>
    requires(!std::same_as<std::remove_cvref_t<U>, Local> && std::constructible_from<T, U &&>)
  Local& operator=(U&& value) {
    T::operator=(T(std::forward<U>(value)));
    return *this;
  }
  ~Local() { link_.leave(); }

 private:
  FrameLink link_;
};
using Var = Local<py::object>;

// The awaiter behind `co_await <python awaitable>`.
struct Await {
  FrameBase* frame;
  py::object awaitable;            // dropped once its iterator is the frame's delegate
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

// The awaiter behind `co_await helper(...)` for a C++ coroutine that is not a
// module function: the helper's frame runs inside the awaiting one, with no
// Python coroutine object in between. Its suspensions are the awaiting frame's.
struct AwaitFrame {
  FrameBase* frame;
  std::coroutine_handle<> inner;
  FrameBase* inner_promise;
  py::object value{};
  py::object error{};
  bool suspended = false;

  bool await_ready();
  void await_suspend(std::coroutine_handle<>) noexcept { suspended = true; }
  py::object await_resume();
};
struct AwaitNext : Await {
  std::optional<Var> await_resume();
};
NextItem next(py::handle async_iterator);

// State shared by the C++ frame and the Python object that drives it.
struct FrameBase {
  static constexpr std::size_t kMaxParams = 12;

  FrameBase() noexcept;  // a user-declared constructor: never aggregate-initialised from arguments
  FrameBase(const FrameBase&) = delete;
  FrameBase& operator=(const FrameBase&) = delete;
  ~FrameBase();

  // The frame's memory: a Var joins the frame only if it lies inside it.
  static void* operator new(std::size_t size);
  static void operator delete(void* memory, std::size_t size) noexcept;

  // The frame running on this thread (innermost), or null.
  static FrameBase* running() noexcept;
  bool holds(const void* address) const noexcept { return address >= begin_ && address < end_; }

  // The function's globals (the frame's copy of its rt::Globals parameter), or null.
  const py::handle* globals() const noexcept { return globals_; }

  // The promise's constructor sees the frame's copies of the parameters.
  template <class... A>
  void adopt_params(A&... args) noexcept {
    static_assert((0 + ... + (is_reference_param<A> ? 1 : 0)) <= kMaxParams, "too many Python parameters");
    (adopt(args), ...);
  }

  py::object delegate;         // iterator of the pending await (yield-from target)
  py::object outgoing;         // value handed to the event loop at this suspension
  py::object incoming;         // result delivered to the pending await or co_yield
  py::object incoming_error;   // exception delivered to the pending await or co_yield
  FrameBase* child = nullptr;  // a C++ helper frame being awaited in place (owned)
  std::coroutine_handle<> child_handle{};
  py::object result;                           // co_return value
  py::object error;                            // exception that ended the frame
  bool produced = false;                       // suspended at co_yield (async generators)
  _PyErr_StackItem handled{nullptr, nullptr};  // the exception the frame is handling (sys.exc_info())
  FrameLink locals;                            // sentinel of the rt::Var list
  std::array<const py::handle*, kMaxParams> params{};

  std::suspend_always initial_suspend() noexcept { return {}; }
  std::suspend_always final_suspend() noexcept { return {}; }
  void unhandled_exception() noexcept;

  template <class T>
  Await await_transform(T&& awaitable) {
    return Await{this, py::object(std::forward<T>(awaitable))};
  }
  AwaitNext await_transform(NextItem n) { return AwaitNext{{this, std::move(n.awaitable), true}}; }
  // A C++ coroutine awaited from C++ (a helper that is not a module function).
  AwaitFrame await_transform(Coro&& inner);

 private:
  template <class A>
  static constexpr bool is_reference_param =
      std::is_base_of_v<py::handle, std::remove_cv_t<A>> || std::is_same_v<std::remove_cv_t<A>, Globals>;
  template <class A>
  void adopt(A& arg) noexcept {
    if constexpr (std::is_base_of_v<py::handle, std::remove_cv_t<A>>) {
      add_param(&arg);
    } else if constexpr (std::is_same_v<std::remove_cv_t<A>, Globals>) {
      globals_ = globals_dict(arg);
      add_param(globals_);
    }
  }
  void add_param(const py::handle* param) noexcept;
  static const py::handle* globals_dict(const Globals& g) noexcept;

  const void* begin_ = nullptr;
  const void* end_ = nullptr;
  const py::handle* globals_ = nullptr;
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
    template <class... A>
    explicit promise_type(A&... args) noexcept {
      adopt_params(args...);
    }
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
    template <class... A>
    explicit promise_type(A&... args) noexcept {
      adopt_params(args...);
    }
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

inline AwaitFrame FrameBase::await_transform(Coro&& inner) {
  FrameBase* promise = &inner.frame.promise();
  return AwaitFrame{this, inner.frame.release(), promise};
}
py::object make_async_generator(AsyncGen&& gen, py::handle name, py::handle qualname);

// The Python types, created on first use and registered with collections.abc.
PyTypeObject* coroutine_type();
PyTypeObject* async_generator_type();

}  // namespace ravn::rt
