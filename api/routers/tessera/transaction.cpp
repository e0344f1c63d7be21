// db_transaction: commit, or roll back and re-raise; always close.
#include "tessera.hpp"

namespace ravn::tessera {
namespace {

rt::AsyncGen db_transaction(rt::Globals, py::object db) {
  rt::Pending failure;
  try {
    co_yield db;
    co_await db.attr("commit")();
  } catch (...) {
    failure.capture();
  }
  // Only an Exception rolls back: a cancelled request just closes the session.
  if (failure.is_exception()) {
    try {
      co_await db.attr("rollback")();
    } catch (...) {
      failure.capture();
    }
  }
  try {
    co_await db.attr("close")();
  } catch (...) {
    failure.capture();
  }
  failure.rethrow_if_any();
}

}  // namespace

void init_transaction(const rt::Module& m) {
  py::object generator = m.function<&db_transaction>(
      "db_transaction", {P{"db", m["AsyncSession"_n]}}, {}, "Context manager for database transactions with proper cleanup.");
  m.set("db_transaction", m["asynccontextmanager"_n](generator));
}

}  // namespace ravn::tessera
