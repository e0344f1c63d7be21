// The Redis client's connection pool.
//
// Two promises rest on the Redis client failing fast and never failing for want
// of a connection: at most 40 tile requests a second per address (a refused
// INCR lets the request through) and "a Redis outage never blocks tiles". Client
// libraries change their defaults (retries with back-off, pools that refuse
// past a ceiling), so the client is set up here whatever they are: no retries,
// and a pool that waits for a free connection within the socket time-out.
//
// The library's own waiting pool takes a condition, a lock and a timer for every
// command, and its plain pool a lock and four bookkeeping calls to metrics that are
// off unless configured, plus an event whose only default listener re-authenticates
// a connection with a pending token. This pool hands out a free connection as the
// plain pool does, checked as the plain pool checks it, with none of that; only a
// caller that finds every connection in use queues for one.
#include "tessera.hpp"

namespace ravn::tessera {
namespace {

py::object max_connections_error() { return py::module_::import("redis.exceptions").attr("MaxConnectionsError"); }

// A free connection, or a new one under the ceiling; None when every connection is
// in use. Synchronous, so no lock is needed: nothing else runs between looking and taking.
py::object try_take(py::handle pool) {
  try {
    return rt::call_method(pool, "get_available_connection"_n);
  } catch (py::error_already_set& e) {
    if (!e.matches(max_connections_error())) throw;
    return py::none();
  }
}

// Wakes the longest-waiting caller still waiting. Synchronous, so a connection
// put back can never be missed by a caller between its failed try and its wait.
// A waiter of a loop that has been closed is dropped: nothing would run it.
void wake_one(py::handle waiters) {
  while (truthy(waiters)) {
    py::object waiter = rt::call_method(waiters, "popleft"_n);
    if (truthy(rt::call_method(waiter, "done"_n))) continue;
    if (truthy(rt::call_method(rt::call_method(waiter, "get_loop"_n), "is_closed"_n))) continue;
    rt::call_method(waiter, "set_result"_n, py::none());
    return;
  }
}

// A caller leaving the queue (time-out, cancellation): a wake-up already meant
// for it goes on to the next one.
void leave_queue(py::handle waiters, py::handle waiter) {
  if (rt::contains(waiters, waiter)) {
    rt::call_method(waiters, "remove"_n, waiter);
  } else if (truthy(rt::call_method(waiter, "done"_n)) && !truthy(rt::call_method(waiter, "cancelled"_n))) {
    wake_one(waiters);
  }
}

// Every connection is in use: queue until one comes back, within the time limit.
rt::Coro wait_for_connection(rt::Globals g, py::object self) {
  rt::Var connection = py::none();
  rt::Var waiters = self.attr("_slot_waiters"_n);
  rt::Var loop = rt::call_method(g["asyncio"_n], "get_running_loop"_n);
  rt::AsyncWith deadline(rt::call_method(g["asyncio"_n], "timeout"_n, self.attr("timeout"_n)));
  co_await deadline.enter();
  try {
    while (connection.is_none()) {
      rt::Var waiter = rt::call_method(loop, "create_future"_n);
      rt::call_method(waiters, "append"_n, waiter);
      try {
        co_await waiter;
      } catch (...) {
        leave_queue(waiters, waiter);
        throw;
      }
      connection = try_take(self);
    }
  } catch (...) {
    deadline.fail();
  }
  try {
    deadline.finish(co_await deadline.exit());
  } catch (py::error_already_set& e) {
    rt::Handling handling(e);
    if (!e.matches(PyExc_TimeoutError)) throw;
    py::object error = g["aioredis"_n].attr("ConnectionError")("No connection available.");
    error.attr("__cause__") = e.value();
    rt::raise(error);
  }
  co_return connection;
}

rt::Coro get_connection(rt::Globals g, py::object self, py::object) {
  rt::Var connection = try_take(self);
  if (connection.is_none()) connection = co_await wait_for_connection(g, self);

  // Connected, with nothing left unread from an earlier command, as the library's
  // pool makes sure; a connection that fails the check goes back.
  rt::Pending failure;
  try {
    co_await rt::call_method(self, "ensure_connection"_n, connection);
  } catch (...) {
    failure.capture();
  }
  if (failure) {
    try {
      co_await rt::call_method(self, "release"_n, connection);
    } catch (...) {
      failure.capture();
    }
    failure.rethrow_if_any();
  }
  co_return connection;
}

// As the library's release: off the in-use set (an error for a connection of another
// pool), disconnected if it was marked for it, back on the free list however that
// went. A release that failed still wakes the next waiter, which queues again if it
// finds nothing free.
rt::Coro release(rt::Globals, py::object self, py::object connection) {
  rt::call_method(self.attr("_in_use_connections"_n), "remove"_n, connection);
  rt::Pending failure;
  try {
    if (truthy(rt::call_method(connection, "should_reconnect"_n))) {
      co_await rt::call_method(connection, "disconnect"_n);
    }
  } catch (...) {
    failure.capture();
  }
  rt::call_method(self.attr("_available_connections"_n), "append"_n, connection);
  if (failure) {
    // Not known to be closed: close it, so that its next use reconnects.
    rt::call_method(connection, "_force_disconnect"_n);
  } else {
    // The library's release event does this (and by default nothing else): a token
    // refreshed while the connection was in use is sent before its next command.
    try {
      co_await rt::call_method(connection, "re_auth"_n);
    } catch (...) {
      failure.capture();
    }
  }
  wake_one(self.attr("_slot_waiters"_n));
  failure.rethrow_if_any();
  co_return py::none();
}

}  // namespace

void configure_redis_client(const rt::Module& m) {
  py::object client = m["redis_client"_n];
  py::object pool = client.attr("connection_pool");
  py::module_ retry = py::module_::import("redis.asyncio.retry");
  py::module_ backoff = py::module_::import("redis.backoff");
  py::dict connection_kwargs(pool.attr("connection_kwargs"));
  connection_kwargs["retry"] = retry.attr("Retry")(backoff.attr("NoBackoff")(), 0);
  py::object max_connections = m["int"_n](m["os"_n].attr("environ").attr("get")("REDIS_MAX_CONNECTIONS", "100"));

  py::object pool_class = m.make_class(
      "_WaitingConnectionPool", "Hands out a free connection at once; waits for one only when all are in use.",
      {
          {"get_connection",
           m.function<&get_connection>("get_connection", {P{"self"}, P{"command_name", {}, py::none()}}, {},
                                       std::nullopt, "_WaitingConnectionPool.get_connection")},
          {"release", m.function<&release>("release", {P{"self"}, P{"connection"}}, {}, std::nullopt,
                                           "_WaitingConnectionPool.release")},
      },
      py::make_tuple(m["aioredis"_n].attr("ConnectionPool")));
  py::object waiting_pool = pool_class(py::arg("connection_class") = pool.attr("connection_class"),
                                       py::arg("max_connections") = max_connections, **connection_kwargs);
  waiting_pool.attr("timeout") = connection_kwargs["socket_timeout"];
  waiting_pool.attr("_slot_waiters") = py::module_::import("collections").attr("deque")();
  client.attr("connection_pool") = waiting_pool;
}

}  // namespace ravn::tessera
