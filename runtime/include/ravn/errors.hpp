// Python exceptions as C++ exceptions, and back.
//
// A Python exception travels through C++ code as pybind11::error_already_set,
// so `try`/`catch` and destructors behave like Python's `try`/`except`/`finally`.
// `except X` is `catch (py::error_already_set& e) { if (!e.matches(X)) throw; ... }`;
// never catch everything unless the exception is kept and re-raised (see Pending),
// because a bare catch would also swallow cancellation.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace ravn::rt {
namespace py = pybind11;

// Raise an exception instance (or class) as a C++ exception carrying it.
[[noreturn]] void raise(py::handle exception);
[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise(PyObject* type, const py::str& message);

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

// An exception caught in a handler and acted on after it: co_await is not
// allowed inside a handler, so clean-up that awaits runs after the handler and
// then re-raises. A later capture replaces the earlier exception and chains it
// as __context__, as a raise inside `except`/`finally` does in Python.
class Pending {
 public:
  void capture() noexcept;  // inside a handler
  explicit operator bool() const noexcept { return static_cast<bool>(value_); }
  bool matches(py::handle cls) const { return value_ && rt::matches(value_, cls); }
  bool is_exception() const { return matches(PyExc_Exception); }
  const py::object& value() const noexcept { return value_; }
  void rethrow_if_any();

 private:
  py::object value_;
};

}  // namespace ravn::rt
