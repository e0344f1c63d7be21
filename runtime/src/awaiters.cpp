// The awaiters behind `co_await` in a frame: a Python awaitable, a C++ helper
// frame awaited in place, one step of `async for`, and an async generator's
// `co_yield`.
#include "frame.hpp"
#include "ravn/errors.hpp"

#include <utility>

namespace ravn::rt {

using engine::Frame;
using engine::Input;
using engine::Outcome;

namespace {
// What an await produced: the engine's delivery when the frame was suspended,
// else what await_ready kept.
void collect(bool suspended, FrameBase* frame, py::object& value, py::object& error) {
  if (!suspended) return;
  value = std::move(frame->incoming);
  error = std::move(frame->incoming_error);
}

py::object value_or_none(py::object& value) { return value ? std::move(value) : py::none(); }
}  // namespace

void FrameBase::unhandled_exception() noexcept { error = current_exception(); }

bool Await::await_ready() {
  PyObject* it = engine::awaitable_iter(awaitable.ptr());
  if (!it) {
    error = engine::fetch_error();
    return true;
  }
  py::object iter = py::reinterpret_steal<py::object>(it);
  awaitable = py::object();  // the iterator keeps what it needs
  PyObject* r = nullptr;
  switch (PyIter_Send(it, Py_None, &r)) {
    case PYGEN_NEXT:
      frame->delegate = std::move(iter);
      frame->outgoing = py::reinterpret_steal<py::object>(r);
      return false;
    case PYGEN_RETURN:
      value = py::reinterpret_steal<py::object>(r);
      return true;
    default:
      error = engine::fetch_error();
      return true;
  }
}

py::object Await::await_resume() {
  collect(suspended, frame, value, error);
  if (error) propagate(error);
  return value_or_none(value);
}

bool AwaitFrame::await_ready() {
  py::object out;
  Outcome o = engine::run(*inner_promise, inner, Input{py::none(), {}}, out);
  if (o == Outcome::yielded) {
    frame->child = inner_promise;
    frame->child_handle = inner;
    frame->outgoing = std::move(out);
    return false;
  }
  if (o == Outcome::returned) {
    value = std::move(out);
  } else {
    error = engine::body_error(std::move(out), "coroutine");
  }
  engine::Entered entered(*inner_promise);
  std::exchange(inner, {}).destroy();
  return true;
}

py::object AwaitFrame::await_resume() {
  collect(suspended, frame, value, error);
  if (error) propagate(error);
  return value_or_none(value);
}

std::optional<Var> AwaitNext::await_resume() {
  collect(suspended, frame, value, error);
  if (error) {
    if (matches(error, PyExc_StopAsyncIteration)) return std::nullopt;
    propagate(error);
  }
  return Var(value_or_none(value));
}

NextItem next(py::handle async_iterator) {
  PyAsyncMethods* am = Py_TYPE(async_iterator.ptr())->tp_as_async;
  if (!am || !am->am_anext) {
    PyErr_Format(PyExc_TypeError, "'async for' requires an iterator with __anext__ method, got %.100s",
                 Py_TYPE(async_iterator.ptr())->tp_name);
    throw py::error_already_set();
  }
  PyObject* awaitable = am->am_anext(async_iterator.ptr());
  if (!awaitable) throw py::error_already_set();
  return NextItem{py::reinterpret_steal<py::object>(awaitable)};
}

py::object AsyncGen::promise_type::YieldAwaiter::await_resume() {
  py::object value, error;
  collect(true, frame, value, error);  // a yield always suspends
  if (error) propagate(error);
  return value_or_none(value);
}

}  // namespace ravn::rt
