// Building blocks of the runtime exposed to its tests: each function is the
// smallest C++ coroutine (or function) that exercises one behaviour.
#include <pybind11/pybind11.h>

#include "ravn/rt.hpp"

namespace py = pybind11;
namespace rt = ravn::rt;
using namespace rt::literals;

namespace {

// --- awaiting

rt::Coro await_value(rt::Globals, py::object awaitable) { co_return co_await awaitable; }

rt::Coro await_all(rt::Globals, py::object awaitables) {
  rt::Local<py::list> results;
  for (py::handle a : awaitables) results.append(co_await py::reinterpret_borrow<py::object>(a));
  co_return results;
}

// --- exceptions

// except cls as e: return "caught " + str(e)
rt::Coro await_catching(rt::Globals, py::object awaitable, py::object cls) {
  try {
    co_return co_await awaitable;
  } catch (py::error_already_set& e) {
    if (!e.matches(cls)) throw;
    co_return py::str("caught {}").format(e.value());
  }
}

// except Exception: return "caught"
rt::Coro await_except_exception(rt::Globals, py::object awaitable) {
  try {
    co_return co_await awaitable;
  } catch (py::error_already_set& e) {
    if (!rt::is_exception(e)) throw;
  }
  co_return py::str("caught");
}

rt::Coro raise_error(rt::Globals, py::object cls, py::object message) {
  rt::raise(cls(message));
  co_return py::none();
}

// --- clean-up

// Logs from a destructor, as a local whose __del__ logs would in Python.
struct Trail {
  py::list log;
  const char* entry;
  ~Trail() { log.append(entry); }
};

// try:
//     for i, a in enumerate(awaitables): await a; log "after {i}"
// except BaseException as e: log type(e).__name__; raise
// finally: await cleanup; log "finally"
// (and a local whose destructor logs "destructor")
rt::Coro await_with_cleanup(rt::Globals, py::object awaitables, py::object cleanup, py::list log) {
  Trail trail{log, "destructor"};
  rt::Pending failure;
  try {
    std::size_t i = 0;
    for (py::handle a : awaitables) {
      co_await py::reinterpret_borrow<py::object>(a);
      log.append(py::str("after {}").format(i++));
    }
  } catch (...) {
    failure.capture();
    log.append(py::type::handle_of(failure.value()).attr("__name__"));
  }
  try {
    co_await cleanup;
    log.append("finally");
  } catch (...) {
    failure.capture();
  }
  failure.rethrow_if_any();
  co_return py::str("done");
}

// A C++ coroutine that is not a module function, awaited directly from C++.
rt::Coro helper_step(py::object awaitable, py::list log) {
  Trail trail{log, "helper destructor"};
  co_return co_await awaitable;
}

rt::Coro await_helper(rt::Globals, py::object awaitable, py::list log) {
  Trail trail{log, "caller destructor"};
  rt::Var result = co_await helper_step(awaitable, log);
  log.append("helper returned");
  co_return result;
}

// --- async generators

rt::AsyncGen count_to(rt::Globals g, py::object n, py::object log) {
  rt::Pending failure;
  try {
    for (long i = 0; i < n.cast<long>(); ++i) {
      co_await g["asyncio"_n].attr("sleep")(0);
      py::object sent = co_yield py::int_(i);
      if (!sent.is_none()) log.attr("append")(py::str("sent {}").format(sent));
    }
  } catch (...) {
    failure.capture();
  }
  log.attr("append")(failure ? py::str("closing with {}").format(py::type::handle_of(failure.value()).attr("__name__"))
                             : py::str("exhausted"));
  co_await g["asyncio"_n].attr("sleep")(0);
  log.attr("append")("cleaned");
  failure.rethrow_if_any();
}

// Catches the GeneratorExit of the first aclose() and yields again.
rt::AsyncGen yield_in_aclose(rt::Globals) {
  bool closing = false;
  try {
    co_yield py::str("first");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_GeneratorExit)) throw;
    closing = true;
  }
  if (closing) co_yield py::str("again");
}

// The shape of a database transaction dependency:
//     session = Session(); try: yield session; await commit
//     except BaseException: await rollback; raise   finally: close
rt::AsyncGen transaction(rt::Globals g, py::list log) {
  rt::Var session = g["Session"_n]();
  rt::Pending failure;
  try {
    co_yield session;
    co_await g["asyncio"_n].attr("sleep")(0);
    log.append("commit");
  } catch (...) {
    failure.capture();
  }
  if (failure) {
    co_await g["asyncio"_n].attr("sleep")(0);
    log.append(py::str("rollback after {}").format(py::type::handle_of(failure.value()).attr("__name__")));
  }
  log.append("close");
  failure.rethrow_if_any();
}

// async for x in iterable: total += x
rt::Coro sum_async(rt::Globals, py::object iterable) {
  rt::Var total = py::int_(0);
  rt::Var it = iterable.attr("__aiter__")();
  while (auto item = co_await rt::next(it)) total = total + *item;
  co_return total;
}

// async with manager as value: log value; await body
rt::Coro use_manager(rt::Globals, py::object manager, py::object body, py::list log) {
  rt::AsyncWith with(manager);
  rt::Var value = co_await with.enter();
  try {
    log.append(value);
    co_await body;
  } catch (...) {
    with.fail();
  }
  with.finish(co_await with.exit());
  log.append("after with");
  co_return py::none();
}

// --- what the garbage collector sees of a suspended frame

// await awaitable; return keep   (keep: a parameter owned by the frame)
rt::Coro await_holding(rt::Globals, py::object keep, py::object awaitable) {
  co_await awaitable;
  co_return keep;
}

// kept = box.pop()
// try: await awaitable
// except BaseException as e: log type(e).__name__; raise
// finally: log "cleanup"
rt::Coro await_holding_local(rt::Globals, py::object box, py::object awaitable, py::list log) {
  rt::Var kept = box.attr("pop")();
  rt::Pending failure;
  try {
    co_await awaitable;
  } catch (...) {
    failure.capture();
    log.append(py::type::handle_of(failure.value()).attr("__name__"));
  }
  log.append("cleanup");
  failure.rethrow_if_any();
  co_return kept;
}

// The same, one level down: a C++ helper (not a module function) holds the
// reference while the outer frame awaits it in place.
rt::Coro hold_in_helper(py::object box, py::object awaitable, py::list log) {
  rt::Var kept = box.attr("pop")();
  rt::Pending failure;
  try {
    co_await awaitable;
  } catch (...) {
    failure.capture();
    log.append(py::type::handle_of(failure.value()).attr("__name__"));
  }
  log.append("cleanup");
  failure.rethrow_if_any();
  co_return kept;
}

rt::Coro await_helper_holding_local(rt::Globals, py::object box, py::object awaitable, py::list log) {
  co_return co_await hold_in_helper(box, awaitable, log);
}

// kept = box.pop(); try: yield kept finally: log "cleanup"
rt::AsyncGen yield_holding_local(rt::Globals, py::object box, py::list log) {
  rt::Var kept = box.attr("pop")();
  rt::Pending failure;
  try {
    co_yield kept;
  } catch (...) {
    failure.capture();
  }
  log.append("cleanup");
  failure.rethrow_if_any();
}

// --- several threads

// before(); kept = make(); await awaitable; return kept
// `before` is Python code that lets other threads run while this frame is mid-run.
rt::Coro call_then_hold(rt::Globals, py::object before, py::object make, py::object awaitable) {
  before();
  rt::Var kept = make();
  co_await awaitable;
  co_return kept;
}

// A local made outside any coroutine frame: it joins none.
py::object local_outside_frame(const rt::Globals&) {
  rt::Var value = py::none();
  return value;
}

// --- values

// a, b, c = value
py::object unpack3(const rt::Globals&, py::object value) { return rt::unpack(value, 3); }

// [a < b, a <= b, a == b, a != b, a > b, a >= b]
py::object compare_all(const rt::Globals&, py::object a, py::object b) {
  py::list out;
  for (int op : {Py_LT, Py_LE, Py_EQ, Py_NE, Py_GT, Py_GE}) out.append(py::bool_(rt::compare(a, b, op)));
  return out;
}

// --- exception context

// try: return await awaitable
// except BaseException: raise replacement
rt::Coro replace_error(rt::Globals, py::object awaitable, py::object replacement) {
  try {
    co_return co_await awaitable;
  } catch (py::error_already_set&) {
    rt::raise(replacement);
  }
}

// try: return await awaitable
// except BaseException as e: return handler(e)
rt::Coro handle_error(rt::Globals, py::object awaitable, py::object handler) {
  try {
    co_return co_await awaitable;
  } catch (py::error_already_set& e) {
    rt::Handling handling(e);
    co_return handler(e.value());
  }
}

// try: yield None
// except BaseException: raise replacement
rt::AsyncGen yield_then_replace(rt::Globals, py::object replacement) {
  try {
    co_yield py::none();
  } catch (py::error_already_set&) {
    rt::raise(replacement);
  }
}

// --- function objects

py::object typed(const rt::Globals&, py::object count, py::object label, py::object anything) {
  return py::make_tuple(count, label, anything);
}

py::object collect(const rt::Globals&, py::object a, py::object b, py::object c, py::object key, py::object flag) {
  return py::make_tuple(a, b, c, key, flag);
}

py::object call_hook(const rt::Globals& g) { return g["hook"_n](); }

rt::Coro call_hook_later(rt::Globals g, py::object awaitable) {
  co_await awaitable;
  co_return g["hook"_n]();
}

}  // namespace

namespace {
void load(py::module_ m) {
  rt::Module mod(std::move(m));
  mod.set("asyncio", py::module_::import("asyncio"));
  mod.set("Session", mod.make_class("Session", std::nullopt, {}));
  mod.set("DEFAULT", py::module_::import("builtins").attr("object")());
  py::object int_ = mod["int"_n], str_ = mod["str"_n];
  py::object optional_int = py::module_::import("typing").attr("Optional")[int_];
  using P = rt::Param;
  mod.def<&await_value>("await_value", {P{"awaitable"}});
  mod.def<&await_all>("await_all", {P{"awaitables"}});
  mod.def<&await_catching>("await_catching", {P{"awaitable"}, P{"cls"}});
  mod.def<&await_except_exception>("await_except_exception", {P{"awaitable"}});
  mod.def<&raise_error>("raise_error", {P{"cls"}, P{"message"}});
  mod.def<&await_with_cleanup>("await_with_cleanup", {P{"awaitables"}, P{"cleanup"}, P{"log"}});
  mod.def<&await_helper>("await_helper", {P{"awaitable"}, P{"log"}});
  mod.def<&count_to>("count_to", {P{"n", int_}, P{"log"}});
  mod.def<&yield_in_aclose>("yield_in_aclose", {});
  mod.def<&transaction>("transaction", {P{"log"}});
  mod.def<&sum_async>("sum_async", {P{"iterable"}});
  mod.def<&use_manager>("use_manager", {P{"manager"}, P{"body"}, P{"log"}});
  mod.def<&typed>("typed", {P{"count", int_}, P{"label", str_}, P{"anything", {}, py::none()}}, mod["tuple"_n],
                  "Checks its arguments.");
  mod.def<&collect>("collect", {P{"a"}, P{"b"}, P{"c"}, P{"key", {}, {}, P::keyword_only},
                                P{"flag", optional_int, mod["DEFAULT"_n], P::keyword_only}});
  mod.def<&await_holding>("await_holding", {P{"keep"}, P{"awaitable"}});
  mod.def<&await_holding_local>("await_holding_local", {P{"box"}, P{"awaitable"}, P{"log"}});
  mod.def<&yield_holding_local>("yield_holding_local", {P{"box"}, P{"log"}});
  mod.def<&await_helper_holding_local>("await_helper_holding_local", {P{"box"}, P{"awaitable"}, P{"log"}});
  mod.def<&call_then_hold>("call_then_hold", {P{"before"}, P{"make"}, P{"awaitable"}});
  mod.def<&local_outside_frame>("local_outside_frame", {});
  mod.def<&unpack3>("unpack3", {P{"value"}});
  mod.def<&compare_all>("compare_all", {P{"a"}, P{"b"}});
  mod.def<&replace_error>("replace_error", {P{"awaitable"}, P{"replacement"}});
  mod.def<&handle_error>("handle_error", {P{"awaitable"}, P{"handler"}});
  mod.def<&yield_then_replace>("yield_then_replace", {P{"replacement"}});
  mod.def<&call_hook>("call_hook", {});
  mod.def<&call_hook_later>("call_hook_later", {P{"awaitable"}});
  mod.set("Box",
          mod.make_class(
              "Box", "A class whose method is a runtime function.",
              {{"describe", mod.function<&typed>("describe", {P{"self"}, P{"label", str_}, P{"extra", {}, py::none()}},
                                                 {}, "Describe.", "Box.describe")}}));
}
}  // namespace

RAVN_MODULE(_rtprobe, load)
