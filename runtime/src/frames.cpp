// Frames: their memory (the free list), the frame running on each thread, the
// parameters and locals that join a frame, and entering a frame to run it.
#include "frame.hpp"
#include "ravn/globals.hpp"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace ravn::rt {

// Per thread: several threads may each run an event loop, and Python code that a
// frame calls lets another thread run its own frames before this one resumes, so
// frames of different threads do not nest and one process-wide pointer would be
// left on a frame that another thread has finished and freed.
//
// operator new runs just before the promise's constructor, for the same frame.
// Only the frame's copies of its parameters are made in between (reference
// counts, no Python code), so no other thread can run there; per thread anyway,
// so that nothing depends on that.
constinit thread_local engine::ThreadFrames engine::t_frames;

// Cache: the frame free list. Frames of the same function have the same size,
// and a request makes several: freed frames are kept on a short list per size
// class (at most kPooledPerClass each) and handed out again. Nothing invalidates
// an entry: memory goes on the list only after the coroutine's destructor has
// run and its handle is gone, so nothing refers to it any more, and it comes
// off as a whole block for a new frame of the same size class.
// One list for the process: operator new and delete run with the GIL held and
// call no Python code between reading the list and writing it, so no other
// thread can come in between (3.11 has one GIL for all interpreters, and the
// modules refuse sub-interpreters anyway).
//
// The sanitizer build keeps the list off unless RAVN_FRAME_POOL=1 is set, so
// that a use after free is caught as such; with it on, a frame on the list is
// poisoned, so that a use of a recycled frame is caught all the same.
namespace {
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
}  // namespace

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
  engine::t_frames.last_allocation = {memory, size};
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
  engine::Allocation& last = engine::t_frames.last_allocation;
  const auto* memory = static_cast<const char*>(last.memory);
  const auto* self = reinterpret_cast<const char*>(this);
  if (memory && self >= memory && self < memory + last.size) {
    begin_ = memory;
    end_ = memory + last.size;
  }
  last = {};
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

FrameBase* FrameBase::running() noexcept { return engine::t_frames.running; }

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

}  // namespace ravn::rt
