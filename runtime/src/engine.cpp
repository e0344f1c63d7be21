// The engine: one resumption of a frame, delegating to its pending await's
// iterator as `yield from` does, and the pieces of the await protocol it shares
// with the Python types (errors in and out, awaitable iterators, throw()'s
// arguments, what the collector sees).
#include "frame.hpp"
#include "ravn/errors.hpp"

#include <utility>

namespace ravn::rt::engine {

py::object fetch_error() noexcept {
  PyObject *type, *value, *trace;
  PyErr_Fetch(&type, &value, &trace);
  if (!type) return {};
  PyErr_NormalizeException(&type, &value, &trace);
  if (trace) PyException_SetTraceback(value, trace);
  Py_XDECREF(type);
  Py_XDECREF(trace);
  return py::reinterpret_steal<py::object>(value);
}

void restore_error(py::handle exception) noexcept {
  PyObject* trace = PyException_GetTraceback(exception.ptr());
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr()))), Py_NewRef(exception.ptr()), trace);
}

py::object new_exception(PyObject* type) noexcept {
  PyObject* e = PyObject_CallNoArgs(type);
  if (!e) return fetch_error();
  return py::reinterpret_steal<py::object>(e);
}

bool is_generator_based_coroutine(PyObject* obj) {
  if (!PyGen_CheckExact(obj)) return false;
  // 3.11's generator holds its code object; no attribute lookup by name on every await.
  PyCodeObject* code = reinterpret_cast<PyGenObject*>(obj)->gi_code;
  return code && (code->co_flags & CO_ITERABLE_COROUTINE);
}

namespace {

// Calls obj.<name>(args...) if obj has that attribute; *found tells whether it had.
PyObject* call_optional_method(PyObject* obj, const char* name, PyObject* arg, bool* found) {
  PyObject* meth = PyObject_GetAttrString(obj, name);
  if (!meth) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      *found = false;
      return nullptr;
    }
    *found = true;
    return nullptr;
  }
  *found = true;
  PyObject* r = arg ? PyObject_CallOneArg(meth, arg) : PyObject_CallNoArgs(meth);
  Py_DECREF(meth);
  return r;
}

// `yield from`'s handling of an exception thrown in while delegating.
PySendResult throw_into_delegate(PyObject* delegate, PyObject* exception, PyObject** result) {
  bool found = false;
  if (PyErr_GivenExceptionMatches(exception, PyExc_GeneratorExit)) {
    // Close the iterator first; an error from closing it replaces GeneratorExit.
    PyObject* r = call_optional_method(delegate, "close", nullptr, &found);
    if (found && !r) return PYGEN_ERROR;
    Py_XDECREF(r);
    restore_error(exception);
    return PYGEN_ERROR;
  }
  PyObject* r = call_optional_method(delegate, "throw", exception, &found);
  if (!found) {
    restore_error(exception);
    return PYGEN_ERROR;
  }
  if (r) {
    *result = r;
    return PYGEN_NEXT;
  }
  if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
    PyObject* value = nullptr;
    if (_PyGen_FetchStopIterationValue(&value) == 0) {
      *result = value;
      return PYGEN_RETURN;
    }
  }
  return PYGEN_ERROR;
}

}  // namespace

bool is_runtime_awaitable(PyObject* obj) {
  return Py_IS_TYPE(obj, coroutine_type()) || Py_IS_TYPE(obj, async_generator_step_type());
}

namespace {
// CPython 3.11's frame state of a generator suspended at a yield or an await.
constexpr int8_t kNativeFrameSuspended = -1;

// `await coro` of a coroutine that another awaiter is driving through one of its awaits.
bool awaited_elsewhere(PyObject* obj) {
  if (PyCoro_CheckExact(obj)) {
    if (reinterpret_cast<PyCoroObject*>(obj)->cr_frame_state != kNativeFrameSuspended) return false;
    PyObject* pending = PyObject_GetAttrString(obj, "cr_await");
    if (!pending) {
      PyErr_Clear();
      return false;
    }
    bool waiting = pending != Py_None;
    Py_DECREF(pending);
    return waiting;
  }
  return Py_IS_TYPE(obj, coroutine_type()) && coroutine_is_awaiting(obj);
}
}  // namespace

PyObject* awaitable_iter(PyObject* obj) {
  if (PyCoro_CheckExact(obj) || is_runtime_awaitable(obj) || is_generator_based_coroutine(obj)) {
    if (awaited_elsewhere(obj)) {
      PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
      return nullptr;
    }
    return Py_NewRef(obj);
  }
  PyAsyncMethods* am = Py_TYPE(obj)->tp_as_async;
  if (am && am->am_await) {
    PyObject* it = am->am_await(obj);
    if (!it) return nullptr;
    if (PyCoro_CheckExact(it) || is_generator_based_coroutine(it)) {
      Py_DECREF(it);
      PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
      return nullptr;
    }
    if (!PyIter_Check(it)) {
      PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(it)->tp_name);
      Py_DECREF(it);
      return nullptr;
    }
    return it;
  }
  PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", Py_TYPE(obj)->tp_name);
  return nullptr;
}

namespace {
void destroy_child(FrameBase& p) noexcept {
  FrameBase* child = std::exchange(p.child, nullptr);
  std::coroutine_handle<> h = std::exchange(p.child_handle, {});
  if (h) {
    Entered entered(*child);
    h.destroy();
  }
}
}  // namespace

// One resumption of frame `p` with `in`: first the helper frame it awaits in
// place, or else the iterator its pending await delegates to, as `yield from`
// does; its own code runs only once that await has its result. A finished frame
// is left for the caller to destroy.
Outcome run(FrameBase& p, std::coroutine_handle<> h, Input in, py::object& out) noexcept {
  Entered entered(p);
  if (p.child) {
    Outcome o = run(*p.child, p.child_handle, std::move(in), out);
    if (o == Outcome::yielded) return o;
    if (o == Outcome::returned) {
      p.incoming = std::move(out);
    } else {
      p.incoming_error = body_error(std::move(out), "coroutine");
    }
    destroy_child(p);
  } else if (p.delegate) {
    py::object delegate = p.delegate;  // the frame may drop it while we call into it
    PyObject* r = nullptr;
    PySendResult res = in.error ? throw_into_delegate(delegate.ptr(), in.error.ptr(), &r)
                                : PyIter_Send(delegate.ptr(), in.value ? in.value.ptr() : Py_None, &r);
    if (res == PYGEN_NEXT) {
      out = py::reinterpret_steal<py::object>(r);
      return Outcome::yielded;
    }
    p.delegate = py::object();
    if (res == PYGEN_RETURN) {
      p.incoming = py::reinterpret_steal<py::object>(r);
    } else {
      p.incoming_error = fetch_error();
    }
  } else if (in.error) {
    p.incoming_error = std::move(in.error);
  } else {
    p.incoming = in.value ? std::move(in.value) : py::none();
  }

  h.resume();
  if (h.done()) {
    if (p.error) {
      out = std::move(p.error);
      return Outcome::raised;
    }
    out = p.result ? std::move(p.result) : py::none();
    return Outcome::returned;
  }
  out = std::move(p.outgoing);
  if (p.produced) {
    p.produced = false;
    return Outcome::produced;
  }
  return Outcome::yielded;
}

Outcome step(Frame& frame, Input in, py::object& out) noexcept {
  frame.state = Frame::State::running;
  Outcome o = run(*frame.promise, frame.handle, std::move(in), out);
  if (o == Outcome::returned || o == Outcome::raised) {
    frame.destroy();
  } else {
    frame.state = Frame::State::suspended;
  }
  return o;
}

py::object exception_from_throw_args(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs < 1 || nargs > 3) {
    PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
    throw py::error_already_set();
  }
  PyObject* type = args[0];
  PyObject* value = nargs > 1 ? args[1] : Py_None;
  PyObject* trace = nargs > 2 ? args[2] : Py_None;
  if (trace != Py_None && !PyTraceBack_Check(trace)) {
    raise(PyExc_TypeError, "throw() third argument must be a traceback object");
  }
  if (PyExceptionInstance_Check(type)) {
    if (value != Py_None) raise(PyExc_TypeError, "instance exception may not have a separate value");
    py::object exc = py::reinterpret_borrow<py::object>(type);
    if (trace != Py_None) PyException_SetTraceback(exc.ptr(), trace);
    return exc;
  }
  if (!PyExceptionClass_Check(type)) {
    PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(type)->tp_name);
    throw py::error_already_set();
  }
  PyObject* t = Py_NewRef(type);
  PyObject* v = Py_NewRef(value);
  PyObject* tb = trace == Py_None ? nullptr : Py_NewRef(trace);
  PyErr_NormalizeException(&t, &v, &tb);
  PyErr_Restore(t, v, tb);
  return fetch_error();
}

void register_abc(PyTypeObject* type, const char* abc_name) {
  py::module_::import("collections.abc").attr(abc_name).attr("register")(py::handle(reinterpret_cast<PyObject*>(type)));
}

// PEP 479: StopIteration must not leak out of a coroutine body.
py::object body_error(py::object error, const char* what) noexcept {
  if (matches(error, PyExc_StopIteration) || matches(error, PyExc_StopAsyncIteration)) {
    const char* kind = matches(error, PyExc_StopIteration) ? "StopIteration" : "StopAsyncIteration";
    PyErr_Format(PyExc_RuntimeError, "%s raised %s", what, kind);
    py::object replacement = fetch_error();
    PyException_SetCause(replacement.ptr(), Py_NewRef(error.ptr()));
    PyException_SetContext(replacement.ptr(), error.release().ptr());
    return replacement;
  }
  return error;
}

void restore_body_error(py::object error, const char* what) { restore_error(body_error(std::move(error), what)); }

int visit_promise(const FrameBase& p, visitproc visit, void* arg) {
  for (const py::object* o : {&p.delegate, &p.outgoing, &p.incoming, &p.incoming_error, &p.result, &p.error}) {
    Py_VISIT(o->ptr());
  }
  for (const py::handle* param : p.params) {
    if (param) Py_VISIT(param->ptr());
  }
  for (const FrameLink* l = p.locals.next; l != &p.locals; l = l->next) Py_VISIT(l->object->ptr());
  Py_VISIT(p.handled.exc_value);
  // A helper frame awaited in place reports through the frame that awaits it.
  return p.child ? visit_promise(*p.child, visit, arg) : 0;
}

int visit_frame(const Frame& f, visitproc visit, void* arg) {
  return f.promise ? visit_promise(*f.promise, visit, arg) : 0;
}

void clear_frame(Frame& f) noexcept {
  if (f.state == Frame::State::created) f.destroy();
}

PyTypeObject* make_type(const char* name, int size, PyType_Slot* slots) {
  PyType_Spec spec{name, size, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
  PyObject* t = PyType_FromSpec(&spec);
  if (!t) throw py::error_already_set();
  return reinterpret_cast<PyTypeObject*>(t);
}

PyObject* method_result(PySendResult res, PyObject* result) {
  if (res == PYGEN_NEXT) return result;
  if (res == PYGEN_RETURN) {
    if (result == Py_None) {
      PyErr_SetNone(PyExc_StopIteration);
    } else {
      _PyGen_SetStopIterationValue(result);
    }
    Py_DECREF(result);
  }
  return nullptr;
}

}  // namespace ravn::rt::engine
