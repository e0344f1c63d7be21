// db_transaction: commit, or roll back and re-raise; always close.
#include "tessera.hpp"

namespace ravn::tessera {
namespace {

rt::AsyncGen db_transaction(rt::Globals, py::object db) {
  rt::Pending failure;
  try {
    co_yield db;
    co_await rt::call_method(db, "commit"_n);
  } catch (...) {
    failure.capture();
  }
  // Only an Exception rolls back: a cancelled request just closes the session.
  if (failure.is_exception()) {
    try {
      co_await rt::call_method(db, "rollback"_n);
    } catch (...) {
      failure.capture();
    }
  }
  try {
    co_await rt::call_method(db, "close"_n);
  } catch (...) {
    failure.capture();
  }
  failure.rethrow_if_any();
}

}  // namespace

rt::Coro fetch_in_transaction(rt::Globals g, py::object db, py::object statement, py::object params, double timeout,
                              const char* take) {
  rt::Var value = py::none();
  rt::AsyncWith transaction(g["db_transaction"_n](db));
  co_await transaction.enter();
  try {
    rt::Var execute =
        params ? rt::call_method(db, "execute"_n, statement, params) : rt::call_method(db, "execute"_n, statement);
    rt::Var result = co_await rt::call_method(g["asyncio"_n], "wait_for"_n, execute, py::arg("timeout") = timeout);
    value = rt::call_method(result, take);
  } catch (...) {
    transaction.fail();
  }
  transaction.finish(co_await transaction.exit());
  co_return value;
}

void init_transaction(const rt::Module& m) {
  py::object generator = m.function<&db_transaction>("db_transaction", {P{"db", m["AsyncSession"_n]}}, {},
                                                     "Context manager for database transactions with proper cleanup.");
  m.set("db_transaction", m["asynccontextmanager"_n](generator));
}

}  // namespace ravn::tessera
