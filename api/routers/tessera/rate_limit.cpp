// Per-address request windows in Redis, shared by the tile endpoints.
#include "tessera.hpp"

namespace ravn::tessera {

rt::Coro count_request(rt::Globals g, py::object rate_key, long limit, py::object detail) {
  rt::Var redis = g["redis_client"_n];
  rt::Var count = co_await rt::call_method(redis, "incr"_n, rate_key);
  if (count.equal(py::int_(1))) co_await rt::call_method(redis, "expire"_n, rate_key, 1);
  if (count > py::int_(limit)) {
    // If the EXPIRE of this window's first request was lost, the counter would
    // never expire and the address would stay refused: give it its lifetime back.
    // Only refused requests pay for the check, and it never changes their answer.
    try {
      rt::Var ttl = co_await rt::call_method(redis, "ttl"_n, rate_key);
      if (ttl.equal(py::int_(-1))) co_await rt::call_method(redis, "expire"_n, rate_key, 1);
    } catch (py::error_already_set& e) {
      rt::Handling handling(e);
      if (!rt::is_exception(e)) throw;
    }
    http_error(g, 429, detail);
  }
  co_return py::none();
}

}  // namespace ravn::tessera
