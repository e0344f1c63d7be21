// The coroutine engine and the Python coroutine type.
#include "frame.hpp"
#include "ravn/errors.hpp"
#include "ravn/globals.hpp"

#include <frameobject.h>
#include <structmember.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace ravn::rt {

// ---------------------------------------------------------------------------
// Frames: memory, parameters, locals, handled exception.

namespace {
// Per thread: several threads may each run an event loop, and Python code that a
// frame calls lets another thread run its own frames before this one resumes, so
// frames of different threads do not nest and one process-wide pointer would be
// left on a frame that another thread has finished and freed.
thread_local FrameBase* t_running_frame = nullptr;

// operator new runs just before the promise's constructor, for the same frame.
// Only the frame's copies of its parameters are made in between (reference
// counts, no Python code), so no other thread can run there; per thread anyway,
// so that nothing depends on that.
struct Allocation {
  void* memory = nullptr;
  std::size_t size = 0;
};
thread_local Allocation t_last_allocation;
}  // namespace

// Frames of the same function have the same size, and a request makes several:
// freed frames are kept on a short list per size class and handed out again.
// One list for the process: operator new and delete run with the GIL held and
// call no Python code between reading the list and writing it, so no other
// thread can come in between (3.11 has one GIL for all interpreters, and the
// modules refuse sub-interpreters anyway).
//
// The sanitizer build keeps the list off unless RAVN_FRAME_POOL=1 is set, so
// that a use after free is caught as such; with it on, a frame on the list is
// poisoned, so that a use of a recycled frame is caught all the same.
constexpr std::size_t kFrameGrain = 64;
constexpr std::size_t kPooledClasses = 32;  // frames up to 2 KiB
constexpr std::size_t kPooledPerClass = 64;
struct FreeFrame {
  FreeFrame* next;
};
struct FramePool {
  FreeFrame* head[kPooledClasses] = {};
  std::size_t count[kPooledClasses] = {};
};
FramePool g_frame_pool;

#if defined(__SANITIZE_ADDRESS__)
bool pool_frames() {
  static const bool on = [] {
    const char* v = std::getenv("RAVN_FRAME_POOL");
    return v && std::strcmp(v, "1") == 0;
  }();
  return on;
}
void poison(void* memory, std::size_t size) { ASAN_POISON_MEMORY_REGION(memory, size); }
void unpoison(void* memory, std::size_t size) { ASAN_UNPOISON_MEMORY_REGION(memory, size); }
#else
constexpr bool pool_frames() { return true; }
void poison(void*, std::size_t) {}
void unpoison(void*, std::size_t) {}
#endif

void* FrameBase::operator new(std::size_t size) {
  const std::size_t cls = (size + kFrameGrain - 1) / kFrameGrain;
  void* memory = nullptr;
  if (pool_frames() && cls < kPooledClasses && g_frame_pool.head[cls]) {
    FreeFrame* f = g_frame_pool.head[cls];
    unpoison(f, cls * kFrameGrain);
    g_frame_pool.head[cls] = f->next;
    --g_frame_pool.count[cls];
    memory = f;
  } else {
    memory = ::operator new(cls * kFrameGrain);
  }
  t_last_allocation = {memory, size};
  return memory;
}

void FrameBase::operator delete(void* memory, std::size_t size) noexcept {
  const std::size_t cls = (size + kFrameGrain - 1) / kFrameGrain;
  if (pool_frames() && cls < kPooledClasses && g_frame_pool.count[cls] < kPooledPerClass) {
    auto* f = static_cast<FreeFrame*>(memory);
    f->next = g_frame_pool.head[cls];
    g_frame_pool.head[cls] = f;
    ++g_frame_pool.count[cls];
    poison(f, cls * kFrameGrain);
    return;
  }
  ::operator delete(memory, cls * kFrameGrain);
}

FrameBase::FrameBase() noexcept {
  locals.prev = locals.next = &locals;
  const auto* memory = static_cast<const char*>(t_last_allocation.memory);
  const auto* self = reinterpret_cast<const char*>(this);
  if (memory && self >= memory && self < memory + t_last_allocation.size) {
    begin_ = memory;
    end_ = memory + t_last_allocation.size;
  }
  t_last_allocation = {};
}

FrameBase::~FrameBase() {
  // Locals are gone by now; anything still linked lives elsewhere and must not point back here.
  for (FrameLink* l = locals.next; l != &locals;) {
    FrameLink* next = l->next;
    l->prev = l->next = nullptr;
    l = next;
  }
  if (child_handle) {  // destroyed while awaiting a helper in place: the helper goes too
    engine::Entered entered(*child);
    std::exchange(child_handle, {}).destroy();
  }
  PyThreadState* thread = PyThreadState_Get();
  if (thread->exc_info == &handled) thread->exc_info = handled.previous_item;
  Py_CLEAR(handled.exc_value);
}

FrameBase* FrameBase::running() noexcept { return t_running_frame; }

void FrameBase::add_param(const py::handle* param) noexcept {
  for (const py::handle*& slot : params) {
    if (!slot) {
      slot = param;
      return;
    }
  }
}

const py::handle* FrameBase::globals_dict(const Globals& g) noexcept { return &g.dict(); }

void FrameLink::join(const py::handle* owner) noexcept {
  FrameBase* frame = FrameBase::running();
  if (!frame || !frame->holds(owner)) return;
  object = owner;
  prev = &frame->locals;
  next = frame->locals.next;
  next->prev = this;
  frame->locals.next = this;
}

namespace engine {

Entered::Entered(FrameBase& frame) noexcept
    : thread_(PyThreadState_Get()), outer_item_(thread_->exc_info), outer_frame_(t_running_frame) {
  if (outer_item_ != &frame.handled) {
    frame.handled.previous_item = outer_item_;
    thread_->exc_info = &frame.handled;
  }
  t_running_frame = &frame;
}

Entered::~Entered() {
  thread_->exc_info = outer_item_;
  t_running_frame = outer_frame_;
}

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
  PyObject* code = PyObject_GetAttrString(obj, "gi_code");
  if (!code) {
    PyErr_Clear();
    return false;
  }
  bool result = reinterpret_cast<PyCodeObject*>(code)->co_flags & CO_ITERABLE_COROUTINE;
  Py_DECREF(code);
  return result;
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

int visit_frame(const Frame& f, visitproc visit, void* arg) { return f.promise ? visit_promise(*f.promise, visit, arg) : 0; }

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

}  // namespace engine

using engine::Frame;
using engine::Input;
using engine::Outcome;

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
  if (suspended) {
    value = std::move(frame->incoming);
    error = std::move(frame->incoming_error);
  }
  if (error) propagate(error);
  return value ? std::move(value) : py::none();
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
  if (suspended) {
    value = std::move(frame->incoming);
    error = std::move(frame->incoming_error);
  }
  if (error) propagate(error);
  return value ? std::move(value) : py::none();
}

std::optional<Var> AwaitNext::await_resume() {
  if (suspended) {
    value = std::move(frame->incoming);
    error = std::move(frame->incoming_error);
  }
  if (error) {
    if (matches(error, PyExc_StopAsyncIteration)) return std::nullopt;
    propagate(error);
  }
  return Var(value ? std::move(value) : py::none());
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
  py::object value = std::move(frame->incoming);
  py::object error = std::move(frame->incoming_error);
  if (error) propagate(error);
  return value ? value : py::none();
}

// ---------------------------------------------------------------------------
// The Python coroutine object.

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
    py::object dict = globals ? py::reinterpret_borrow<py::object>(*globals) : py::reinterpret_steal<py::object>(PyDict_New());
    if (!dict) return nullptr;
    PyObject* file = PyDict_GetItemWithError(dict.ptr(), Name<"__file__">::key());
    if (!file && PyErr_Occurred()) return nullptr;
    py::object filename = file && PyUnicode_Check(file) ? py::reinterpret_borrow<py::object>(file) : py::str("<native>");
    PyCodeObject* code = PyCode_NewEmpty(PyUnicode_AsUTF8(filename.ptr()), PyUnicode_AsUTF8(c->name), 0);
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
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine::throw_method<coro_resume>)), METH_FASTCALL,
     "throw(value) -> raise exception in coroutine."},
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
