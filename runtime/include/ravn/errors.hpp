// Python exceptions as C++ exceptions, and back.
//
// A Python exception travels through C++ code as pybind11::error_already_set,
// so `try`/`catch` and destructors behave like Python's `try`/`except`/`finally`.
// `except X` is `catch (py::error_already_set& e) { if (!e.matches(X)) throw; ... }`;
// never catch everything unless the exception is kept and re-raised (see Pending),
// because a bare catch would also swallow cancellation.
#pragma once

#include <pybind11/pybind11.h>

#include "ravn/coro.hpp"

#include <string>

namespace ravn::rt {
namespace py = pybind11;

// `raise exception` (an instance or a class). The exception being handled,
// by a C++ handler the call is made from or by Python, becomes its
// __context__, as Python's raise inside `except` does.
[[noreturn]] void raise(py::handle exception);
[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise(PyObject* type, const py::str& message);

// Continues an exception's propagation without chaining anything to it (an
// await's exception, a re-raise after clean-up), as an exception passing
// through a Python frame does.
[[noreturn]] void propagate(py::handle exception);

// The Python exception object of the C++ exception being handled (call inside
// a handler). Foreign C++ exceptions become MemoryError or RuntimeError.
py::object current_exception() noexcept;

// Set Python's error indicator from the C++ exception being handled.
void restore_current_exception() noexcept;

// `isinstance(exception, cls)` as an `except cls:` clause decides it.
bool matches(py::handle exception, py::handle cls);

// `except Exception` rather than a bare `except`: cancellation, GeneratorExit
// and KeyboardInterrupt are not Exceptions.
inline bool is_exception(const py::error_already_set& e) { return e.matches(PyExc_Exception); }

// Makes a C++ handler a Python handler for its duration: Python code it calls
// sees the exception as the one being handled (sys.exc_info()), so what that
// code raises keeps it as __context__. Declare it first in the handler:
//     catch (py::error_already_set& e) { rt::Handling handling(e); ... }
class Handling {
 public:
  explicit Handling(const py::error_already_set& e) noexcept : Handling(e.value()) {}
  explicit Handling(py::handle exception) noexcept;
  ~Handling();
  Handling(const Handling&) = delete;
  Handling& operator=(const Handling&) = delete;

 private:
  _PyErr_StackItem* item_;
  PyObject* outer_;  // owned: the handled exception to restore
};

// An exception caught in a handler and acted on after it: co_await is not
// allowed inside a handler, so clean-up that awaits runs after the handler and
// then re-raises. Until then the exception counts as being handled, as in the
// `except`/`finally` block the clean-up stands for, so what the clean-up raises
// chains it as __context__; a later capture replaces the earlier exception.
// Capture in a handler of its own, without an rt::Handling guard.
class Pending {
 public:
  Pending() noexcept = default;
  ~Pending() { stop_handling(); }
  Pending(const Pending&) = delete;
  Pending& operator=(const Pending&) = delete;

  void capture() noexcept;  // inside a handler
  explicit operator bool() const noexcept { return static_cast<bool>(value_); }
  bool matches(py::handle cls) const { return value_ && rt::matches(value_, cls); }
  bool is_exception() const { return matches(PyExc_Exception); }
  const py::object& value() const noexcept { return value_; }
  void rethrow_if_any();
  void discard() noexcept;  // handled for good (a suppressing __aexit__)

 private:
  void stop_handling() noexcept;

  Local<> value_;
  Local<> outer_;  // the exception handled before the capture, restored after
  _PyErr_StackItem* item_ = nullptr;
};

}  // namespace ravn::rt
