// The Python coroutine type (ravn.coroutine) around a C++ frame.
#include "frame.hpp"
#include "ravn/errors.hpp"
#include "ravn/globals.hpp"

#include <frameobject.h>
#include <structmember.h>

#include <cstddef>

namespace ravn::rt {

using engine::Frame;
using engine::Input;
using engine::Outcome;

namespace {

struct CoroObject {
  PyObject_HEAD
  Frame frame;
  PyObject* name;
  PyObject* qualname;
  PyObject* weakrefs;
  PyObject* frame_object;  // cr_frame, made on first use
};

PyTypeObject* g_coroutine_type = nullptr;

CoroObject* as_coro(PyObject* o) { return reinterpret_cast<CoroObject*>(o); }

}  // namespace

bool coroutine_is_awaiting(PyObject* coro) {
  const Frame& f = as_coro(coro)->frame;
  return f.state == Frame::State::suspended && f.promise && (f.promise->delegate || f.promise->child);
}

namespace {

PySendResult coro_resume(PyObject* self, Input in, PyObject** result) {
  Frame& f = as_coro(self)->frame;
  switch (f.state) {
    case Frame::State::running:
      PyErr_SetString(PyExc_ValueError, "coroutine already executing");
      return PYGEN_ERROR;
    case Frame::State::done:
      PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
      return PYGEN_ERROR;
    case Frame::State::created:
      if (in.error) {  // thrown in before the first line ran: the body never starts
        f.destroy();
        engine::restore_error(in.error);
        return PYGEN_ERROR;
      }
      if (in.value && !in.value.is_none()) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
        return PYGEN_ERROR;
      }
      break;
    case Frame::State::suspended:
      break;
  }
  py::object out;
  switch (engine::step(f, std::move(in), out)) {
    case Outcome::yielded:
      *result = out.release().ptr();
      return PYGEN_NEXT;
    case Outcome::returned:
      *result = out.release().ptr();
      return PYGEN_RETURN;
    case Outcome::raised:
      engine::restore_body_error(std::move(out), "coroutine");
      return PYGEN_ERROR;
    case Outcome::produced:
      break;
  }
  PyErr_SetString(PyExc_SystemError, "coroutine frame used co_yield");
  return PYGEN_ERROR;
}

PyObject* coro_close(PyObject* self, PyObject*) {
  Frame& f = as_coro(self)->frame;
  switch (f.state) {
    case Frame::State::running:
      PyErr_SetString(PyExc_ValueError, "coroutine already executing");
      return nullptr;
    case Frame::State::created:
      f.destroy();
      Py_RETURN_NONE;
    case Frame::State::done:
      Py_RETURN_NONE;
    case Frame::State::suspended:
      break;
  }
  py::object out;
  switch (engine::step(f, Input{{}, engine::new_exception(PyExc_GeneratorExit)}, out)) {
    case Outcome::yielded:
    case Outcome::produced:
      PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
      return nullptr;
    case Outcome::returned:
      Py_RETURN_NONE;
    case Outcome::raised:
      if (matches(out, PyExc_GeneratorExit)) Py_RETURN_NONE;
      engine::restore_body_error(std::move(out), "coroutine");
      return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* coro_await(PyObject* self) {
  if (coroutine_is_awaiting(self)) {
    PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
    return nullptr;
  }
  return Py_NewRef(self);
}

void coro_finalize(PyObject* self) {
  CoroObject* c = as_coro(self);
  PyObject *type, *value, *trace;
  PyErr_Fetch(&type, &value, &trace);
  if (c->frame.state == Frame::State::created && c->frame.handle) {
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%U' was never awaited", c->qualname) < 0) {
      PyErr_WriteUnraisable(self);
    }
  } else if (c->frame.state == Frame::State::suspended) {
    PyObject* r = coro_close(self, nullptr);
    if (r) {
      Py_DECREF(r);
    } else {
      PyErr_WriteUnraisable(self);
    }
  }
  PyErr_Restore(type, value, trace);
}

int coro_traverse(PyObject* self, visitproc visit, void* arg) {
  CoroObject* c = as_coro(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(c->name);
  Py_VISIT(c->qualname);
  Py_VISIT(c->frame_object);
  return engine::visit_frame(c->frame, visit, arg);
}

int coro_clear(PyObject* self) {
  engine::clear_frame(as_coro(self)->frame);
  Py_CLEAR(as_coro(self)->frame_object);
  return 0;
}

void coro_dealloc(PyObject* self) {
  CoroObject* c = as_coro(self);
  // Still tracked while the finaliser runs, in case it resurrects the object. A
  // finished frame has nothing to finalise.
  if (c->frame.state != Frame::State::done && PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
  PyObject_GC_UnTrack(self);
  if (c->weakrefs) PyObject_ClearWeakRefs(self);
  c->frame.destroy();
  c->frame.~Frame();
  Py_CLEAR(c->name);
  Py_CLEAR(c->qualname);
  Py_CLEAR(c->frame_object);
  PyTypeObject* tp = Py_TYPE(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject* coro_repr(PyObject* self) {
  return PyUnicode_FromFormat("<coroutine object %U at %p>", as_coro(self)->qualname, self);
}

PyObject* get_running(PyObject* self, void*) {
  return PyBool_FromLong(as_coro(self)->frame.state == Frame::State::running);
}
PyObject* get_suspended(PyObject* self, void*) {
  return PyBool_FromLong(as_coro(self)->frame.state == Frame::State::suspended);
}
// A real frame object while the coroutine can still run, None once it has
// finished, as on Python's coroutines (inspect.getcoroutinestate reads it to
// tell a new coroutine from a closed one). It stands for the C++ frame: an
// empty code object named after the function, the function's globals, no
// locals and no line.
PyObject* get_frame(PyObject* self, void*) {
  CoroObject* c = as_coro(self);
  if (c->frame.state == Frame::State::done) {
    Py_CLEAR(c->frame_object);
    Py_RETURN_NONE;
  }
  if (!c->frame_object) {
    const py::handle* globals = c->frame.promise ? c->frame.promise->globals() : nullptr;
    py::object dict =
        globals ? py::reinterpret_borrow<py::object>(*globals) : py::reinterpret_steal<py::object>(PyDict_New());
    if (!dict) return nullptr;
    PyObject* file = PyDict_GetItemWithError(dict.ptr(), Name<"__file__">::key());
    if (!file && PyErr_Occurred()) return nullptr;
    // A getter is C: nothing here may throw, and a name that has no UTF-8 form is an error, not a null text.
    const char* filename = file && PyUnicode_Check(file) ? PyUnicode_AsUTF8(file) : "<native>";
    if (!filename) return nullptr;
    const char* name = PyUnicode_AsUTF8(c->name);
    if (!name) return nullptr;
    PyCodeObject* code = PyCode_NewEmpty(filename, name, 0);
    if (!code) return nullptr;
    PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), code, dict.ptr(), nullptr);
    Py_DECREF(code);
    if (!frame) return nullptr;
    c->frame_object = reinterpret_cast<PyObject*>(frame);
  }
  return Py_NewRef(c->frame_object);
}
PyObject* get_await(PyObject* self, void*) {
  const FrameBase* p = as_coro(self)->frame.promise;
  while (p && p->child) p = p->child;
  if (p && p->delegate) return Py_NewRef(p->delegate.ptr());
  Py_RETURN_NONE;
}
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_coro(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_coro(self)->qualname); }
int set_name(PyObject* self, PyObject* value, void*) {
  return engine::set_name_attribute(&as_coro(self)->name, value, "__name__");
}
int set_qualname(PyObject* self, PyObject* value, void*) {
  return engine::set_name_attribute(&as_coro(self)->qualname, value, "__qualname__");
}

PyMethodDef coro_methods[] = {
    {"send", reinterpret_cast<PyCFunction>(engine::send_method<coro_resume>), METH_O,
     "send(arg) -> send 'arg' into coroutine."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine::throw_method<coro_resume>)),
     METH_FASTCALL, "throw(value) -> raise exception in coroutine."},
    {"close", coro_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coro_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, nullptr, nullptr},
    {"cr_frame", get_frame, nullptr, nullptr, nullptr},
    {"cr_code", get_none, nullptr, nullptr, nullptr},
    {"cr_origin", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef coro_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(CoroObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

}  // namespace

PyTypeObject* coroutine_type() {
  if (!g_coroutine_type) {
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(coro_dealloc)},
        {Py_tp_finalize, reinterpret_cast<void*>(coro_finalize)},
        {Py_tp_traverse, reinterpret_cast<void*>(coro_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(coro_clear)},
        {Py_tp_repr, reinterpret_cast<void*>(coro_repr)},
        {Py_tp_iternext, reinterpret_cast<void*>(engine::iternext<coro_resume>)},
        {Py_tp_methods, coro_methods},
        {Py_tp_getset, coro_getset},
        {Py_tp_members, coro_members},
        {Py_am_await, reinterpret_cast<void*>(coro_await)},
        {Py_am_send, reinterpret_cast<void*>(engine::am_send<coro_resume>)},
        {0, nullptr},
    };
    g_coroutine_type = engine::make_type("ravn.coroutine", sizeof(CoroObject), slots);
    engine::register_abc(g_coroutine_type, "Coroutine");
  }
  return g_coroutine_type;
}

py::object make_coroutine(Coro&& coro, py::handle name, py::handle qualname) {
  PyTypeObject* tp = coroutine_type();
  CoroObject* c = PyObject_GC_New(CoroObject, tp);
  if (!c) throw py::error_already_set();
  new (&c->frame) Frame{};
  c->frame.promise = &coro.frame.promise();
  c->frame.handle = coro.frame.release();
  c->name = Py_NewRef(name.ptr());
  c->qualname = Py_NewRef(qualname.ptr());
  c->weakrefs = nullptr;
  c->frame_object = nullptr;
  PyObject_GC_Track(c);
  return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(c));
}

}  // namespace ravn::rt
