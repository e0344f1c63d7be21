// The Python async generator type, driven by the same engine as coroutines.
#include "frame.hpp"
#include "ravn/errors.hpp"

#include <structmember.h>

namespace ravn::rt {

using engine::Frame;
using engine::Input;
using engine::Outcome;

namespace {

struct AgenObject {
  PyObject_HEAD
  Frame frame;
  PyObject* name;
  PyObject* qualname;
  PyObject* weakrefs;
  PyObject* finalizer;  // the event loop's hook, set on first iteration
  bool hooks_done;
  bool step_active;  // an asend/athrow/aclose awaitable is running the frame
};

enum class Mode { asend, athrow, aclose };
enum class StepState { init, iter, closed };

struct StepObject {
  PyObject_HEAD
  AgenObject* gen;
  PyObject* payload;  // the value to send (asend) or the exception to throw (athrow)
  Mode mode;
  StepState state;
};

PyTypeObject* g_agen_type = nullptr;
PyTypeObject* g_step_type = nullptr;

AgenObject* as_agen(PyObject* o) { return reinterpret_cast<AgenObject*>(o); }
StepObject* as_step(PyObject* o) { return reinterpret_cast<StepObject*>(o); }

// First iteration: register with the running event loop's hooks, as native
// async generators do, so the loop can finalise one that is dropped unfinished.
bool init_hooks(AgenObject* gen) {
  if (gen->hooks_done) return true;
  gen->hooks_done = true;
  PyObject* hooks = PySys_GetObject("get_asyncgen_hooks");  // borrowed
  if (!hooks) return true;
  PyObject* pair = PyObject_CallNoArgs(hooks);
  if (!pair) return false;
  PyObject* firstiter = PySequence_GetItem(pair, 0);
  PyObject* finalizer = PySequence_GetItem(pair, 1);
  Py_DECREF(pair);
  if (!firstiter || !finalizer) {
    Py_XDECREF(firstiter);
    Py_XDECREF(finalizer);
    return false;
  }
  if (finalizer != Py_None) {
    gen->finalizer = finalizer;
  } else {
    Py_DECREF(finalizer);
  }
  bool ok = true;
  if (firstiter != Py_None) {
    PyObject* r = PyObject_CallOneArg(firstiter, reinterpret_cast<PyObject*>(gen));
    ok = r != nullptr;
    Py_XDECREF(r);
  }
  Py_DECREF(firstiter);
  return ok;
}

PyObject* new_step(PyObject* self, Mode mode, PyObject* payload) {
  AgenObject* gen = as_agen(self);
  if (!init_hooks(gen)) return nullptr;
  StepObject* s = PyObject_GC_New(StepObject, g_step_type);
  if (!s) return nullptr;
  s->gen = reinterpret_cast<AgenObject*>(Py_NewRef(self));
  s->payload = Py_XNewRef(payload);
  s->mode = mode;
  s->state = StepState::init;
  PyObject_GC_Track(s);
  return reinterpret_cast<PyObject*>(s);
}

const char* step_name(Mode mode) {
  switch (mode) {
    case Mode::asend:
      return "anext(): asynchronous generator is already running";
    case Mode::athrow:
      return "athrow(): asynchronous generator is already running";
    case Mode::aclose:
      return "aclose(): asynchronous generator is already running";
  }
  return "";
}

PySendResult finish_step(StepObject* s, Outcome outcome, py::object out, PyObject** result) {
  AgenObject* gen = s->gen;
  if (outcome == Outcome::yielded) {
    *result = out.release().ptr();
    return PYGEN_NEXT;
  }
  s->state = StepState::closed;
  gen->step_active = false;
  const bool closing = s->mode == Mode::aclose;
  switch (outcome) {
    case Outcome::produced:
      if (closing) {
        PyErr_SetString(PyExc_RuntimeError, "async generator ignored GeneratorExit");
        return PYGEN_ERROR;
      }
      *result = out.release().ptr();
      return PYGEN_RETURN;
    case Outcome::returned:
      if (closing) {
        *result = Py_NewRef(Py_None);
        return PYGEN_RETURN;
      }
      PyErr_SetNone(PyExc_StopAsyncIteration);
      return PYGEN_ERROR;
    case Outcome::raised:
      if (closing && matches(out, PyExc_GeneratorExit)) {
        *result = Py_NewRef(Py_None);
        return PYGEN_RETURN;
      }
      engine::restore_body_error(std::move(out), "async generator");
      return PYGEN_ERROR;
    case Outcome::yielded:
      break;
  }
  return PYGEN_ERROR;
}

// One resumption of the awaitable returned by asend()/athrow()/aclose().
PySendResult step_resume(PyObject* self, Input in, PyObject** result) {
  StepObject* s = as_step(self);
  AgenObject* gen = s->gen;
  Frame& f = gen->frame;
  if (s->state == StepState::closed) {
    PyErr_SetString(PyExc_RuntimeError, s->mode == Mode::asend ? "cannot reuse already awaited __anext__()/asend()"
                                                               : "cannot reuse already awaited aclose()/athrow()");
    return PYGEN_ERROR;
  }
  if (s->state == StepState::init) {
    if (gen->step_active) {
      PyErr_SetString(PyExc_RuntimeError, step_name(s->mode));
      return PYGEN_ERROR;
    }
    if (f.state == Frame::State::done) {
      s->state = StepState::closed;
      if (s->mode == Mode::asend) {
        PyErr_SetNone(PyExc_StopAsyncIteration);
        return PYGEN_ERROR;
      }
      *result = Py_NewRef(Py_None);
      return PYGEN_RETURN;
    }
    if (in.error) {
      // thrown into the awaitable before it started: goes to the generator as athrow would
    } else if (s->mode == Mode::asend) {
      if (!in.value || in.value.is_none()) in.value = py::reinterpret_borrow<py::object>(s->payload);
    } else {
      if (in.value && !in.value.is_none()) {
        PyErr_SetString(PyExc_RuntimeError, "can't send non-None value to a just-started coroutine");
        return PYGEN_ERROR;
      }
      in = Input{{},
                 s->mode == Mode::athrow ? py::reinterpret_borrow<py::object>(s->payload)
                                         : engine::new_exception(PyExc_GeneratorExit)};
    }
    s->state = StepState::iter;
    if (f.state == Frame::State::created) {
      if (in.error) {  // never started: the body does not run
        f.destroy();
        return finish_step(s, Outcome::raised, std::move(in.error), result);
      }
      if (!in.value.is_none()) {
        s->state = StepState::closed;
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started async generator");
        return PYGEN_ERROR;
      }
    }
    gen->step_active = true;
  }
  if (f.state == Frame::State::running) {
    PyErr_SetString(PyExc_ValueError, "async generator already executing");
    return PYGEN_ERROR;
  }
  py::object out;
  Outcome o = engine::step(f, std::move(in), out);
  return finish_step(s, o, std::move(out), result);
}

PyObject* step_close(PyObject* self, PyObject*) {
  StepObject* s = as_step(self);
  if (s->state == StepState::iter) s->gen->step_active = false;
  s->state = StepState::closed;
  Py_RETURN_NONE;
}

PyObject* step_await(PyObject* self) { return Py_NewRef(self); }

int step_traverse(PyObject* self, visitproc visit, void* arg) {
  StepObject* s = as_step(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(reinterpret_cast<PyObject*>(s->gen));
  Py_VISIT(s->payload);
  return 0;
}

int step_clear(PyObject* self) {
  StepObject* s = as_step(self);
  Py_CLEAR(s->payload);
  return 0;
}

void step_dealloc(PyObject* self) {
  StepObject* s = as_step(self);
  PyObject_GC_UnTrack(self);
  if (s->state == StepState::iter) s->gen->step_active = false;
  Py_CLEAR(s->gen);
  Py_CLEAR(s->payload);
  PyTypeObject* tp = Py_TYPE(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyMethodDef step_methods[] = {
    {"send", reinterpret_cast<PyCFunction>(engine::send_method<step_resume>), METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine::throw_method<step_resume>)),
     METH_FASTCALL, nullptr},
    {"close", step_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// --- the generator object

PyObject* agen_anext(PyObject* self) { return new_step(self, Mode::asend, Py_None); }
PyObject* agen_aiter(PyObject* self) { return Py_NewRef(self); }
PyObject* agen_asend(PyObject* self, PyObject* value) { return new_step(self, Mode::asend, value); }
PyObject* agen_aclose(PyObject* self, PyObject*) { return new_step(self, Mode::aclose, nullptr); }
PyObject* agen_athrow(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  try {
    py::object exc = engine::exception_from_throw_args(args, nargs);
    return new_step(self, Mode::athrow, exc.ptr());
  } catch (...) {
    restore_current_exception();
    return nullptr;
  }
}

void agen_finalize(PyObject* self) {
  AgenObject* gen = as_agen(self);
  if (gen->frame.state != Frame::State::suspended) return;
  PyObject *type, *value, *trace;
  PyErr_Fetch(&type, &value, &trace);
  if (gen->finalizer) {
    // The loop schedules aclose() as a task; that keeps this object alive until then.
    PyObject* finalizer = gen->finalizer;
    gen->finalizer = nullptr;
    PyObject* r = PyObject_CallOneArg(finalizer, self);
    Py_DECREF(finalizer);
    if (r) {
      Py_DECREF(r);
    } else {
      PyErr_WriteUnraisable(self);
    }
  } else {
    py::object out;
    Outcome o = engine::step(gen->frame, Input{{}, engine::new_exception(PyExc_GeneratorExit)}, out);
    if (o == Outcome::yielded || o == Outcome::produced) {
      PyErr_SetString(PyExc_RuntimeError, "async generator ignored GeneratorExit");
      PyErr_WriteUnraisable(self);
    } else if (o == Outcome::raised && !matches(out, PyExc_GeneratorExit)) {
      engine::restore_body_error(std::move(out), "async generator");
      PyErr_WriteUnraisable(self);
    }
  }
  PyErr_Restore(type, value, trace);
}

int agen_traverse(PyObject* self, visitproc visit, void* arg) {
  AgenObject* gen = as_agen(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(gen->name);
  Py_VISIT(gen->qualname);
  Py_VISIT(gen->finalizer);
  return engine::visit_frame(gen->frame, visit, arg);
}

int agen_clear(PyObject* self) {
  AgenObject* gen = as_agen(self);
  engine::clear_frame(gen->frame);
  Py_CLEAR(gen->finalizer);
  return 0;
}

void agen_dealloc(PyObject* self) {
  AgenObject* gen = as_agen(self);
  // Still tracked while the finaliser runs: if it resurrects the object (the loop's
  // finaliser hook does), cycles through it must stay collectable.
  if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected by the loop's finalizer
  PyObject_GC_UnTrack(self);
  if (gen->weakrefs) PyObject_ClearWeakRefs(self);
  gen->frame.destroy();
  gen->frame.~Frame();
  Py_CLEAR(gen->name);
  Py_CLEAR(gen->qualname);
  Py_CLEAR(gen->finalizer);
  PyTypeObject* tp = Py_TYPE(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject* agen_repr(PyObject* self) {
  return PyUnicode_FromFormat("<async_generator object %U at %p>", as_agen(self)->qualname, self);
}

PyObject* agen_get_running(PyObject* self, void*) { return PyBool_FromLong(as_agen(self)->step_active); }
PyObject* agen_get_await(PyObject* self, void*) {
  const FrameBase* p = as_agen(self)->frame.promise;
  while (p && p->child) p = p->child;
  if (p && p->delegate) return Py_NewRef(p->delegate.ptr());
  Py_RETURN_NONE;
}
PyObject* agen_get_none(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* agen_get_name(PyObject* self, void*) { return Py_NewRef(as_agen(self)->name); }
PyObject* agen_get_qualname(PyObject* self, void*) { return Py_NewRef(as_agen(self)->qualname); }
int agen_set_name(PyObject* self, PyObject* value, void*) {
  return engine::set_name_attribute(&as_agen(self)->name, value, "__name__");
}
int agen_set_qualname(PyObject* self, PyObject* value, void*) {
  return engine::set_name_attribute(&as_agen(self)->qualname, value, "__qualname__");
}

PyMethodDef agen_methods[] = {
    {"asend", agen_asend, METH_O, "asend(v) -> send 'v' in generator."},
    {"athrow", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(agen_athrow)), METH_FASTCALL,
     "athrow(typ[,val[,tb]]) -> raise exception in generator."},
    {"aclose", agen_aclose, METH_NOARGS, "aclose() -> raise GeneratorExit inside generator."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef agen_getset[] = {
    {"__name__", agen_get_name, agen_set_name, nullptr, nullptr},
    {"__qualname__", agen_get_qualname, agen_set_qualname, nullptr, nullptr},
    {"ag_running", agen_get_running, nullptr, nullptr, nullptr},
    {"ag_await", agen_get_await, nullptr, nullptr, nullptr},
    {"ag_frame", agen_get_none, nullptr, nullptr, nullptr},
    {"ag_code", agen_get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef agen_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(AgenObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

}  // namespace

PyTypeObject* engine::async_generator_step_type() {
  async_generator_type();
  return g_step_type;
}

PyTypeObject* async_generator_type() {
  if (!g_agen_type) {
    PyType_Slot step_slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(step_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(step_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(step_clear)},
        {Py_tp_iternext, reinterpret_cast<void*>(engine::iternext<step_resume>)},
        {Py_tp_methods, step_methods},
        {Py_am_await, reinterpret_cast<void*>(step_await)},
        {Py_am_send, reinterpret_cast<void*>(engine::am_send<step_resume>)},
        {0, nullptr},
    };
    g_step_type = engine::make_type("ravn.async_generator_step", sizeof(StepObject), step_slots);
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(agen_dealloc)},
        {Py_tp_finalize, reinterpret_cast<void*>(agen_finalize)},
        {Py_tp_traverse, reinterpret_cast<void*>(agen_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(agen_clear)},
        {Py_tp_repr, reinterpret_cast<void*>(agen_repr)},
        {Py_tp_methods, agen_methods},
        {Py_tp_getset, agen_getset},
        {Py_tp_members, agen_members},
        {Py_am_aiter, reinterpret_cast<void*>(agen_aiter)},
        {Py_am_anext, reinterpret_cast<void*>(agen_anext)},
        {0, nullptr},
    };
    g_agen_type = engine::make_type("ravn.async_generator", sizeof(AgenObject), slots);
    engine::register_abc(g_agen_type, "AsyncGenerator");
  }
  return g_agen_type;
}

py::object make_async_generator(AsyncGen&& gen, py::handle name, py::handle qualname) {
  PyTypeObject* tp = async_generator_type();
  AgenObject* a = PyObject_GC_New(AgenObject, tp);
  if (!a) throw py::error_already_set();
  new (&a->frame) Frame{};
  a->frame.promise = &gen.frame.promise();
  a->frame.handle = gen.frame.release();
  a->name = Py_NewRef(name.ptr());
  a->qualname = Py_NewRef(qualname.ptr());
  a->weakrefs = nullptr;
  a->finalizer = nullptr;
  a->hooks_done = false;
  a->step_active = false;
  PyObject_GC_Track(a);
  return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(a));
}

}  // namespace ravn::rt
