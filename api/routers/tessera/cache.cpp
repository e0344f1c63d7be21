// The binary tile cache: bytes in, the same bytes out, under one key namespace.
#include "tessera.hpp"

namespace ravn::tessera {
namespace {

py::object cache_init(const rt::Globals&, py::object self, py::object redis_client, py::object namespace_) {
  self.attr("redis") = redis_client;
  self.attr("namespace") = namespace_;
  return py::none();
}

py::object make_key(const rt::Globals&, py::object self, py::object key) {
  return rt::Text() << self.attr("namespace"_n) << ":"_n << key;
}

rt::Coro cache_get(rt::Globals, py::object self, py::object key) {
  // The client's method is called as a method, without making a bound method first.
  rt::Var redis = self.attr("redis"_n);
  rt::Var full_key = rt::call_method(self, "_make_key"_n, key);
  co_return co_await rt::call_method(redis, "get"_n, full_key);
}

rt::Coro cache_set(rt::Globals, py::object self, py::object key, py::object value, py::object ttl) {
  // Value and expiry in one command: no entry can be left without a lifetime.
  rt::Var redis = self.attr("redis"_n);
  rt::Var full_key = rt::call_method(self, "_make_key"_n, key);
  co_await rt::call_method(redis, "set"_n, full_key, value, py::arg("ex") = ttl);
  co_return py::none();
}

rt::Coro cache_delete(rt::Globals, py::object self, py::object key) {
  rt::Var delete_ = self.attr("redis").attr("delete");
  rt::Var full_key = self.attr("_make_key")(key);
  co_await delete_(full_key);
  co_return py::none();
}

rt::Coro safe_cache_get(rt::Globals g, py::object key, py::object timeout) {
  try {
    co_return co_await rt::call_method(g["asyncio"_n], "wait_for"_n, rt::call_method(g["cache"_n], "get"_n, key),
                                       py::arg("timeout") = timeout);
  } catch (py::error_already_set& e) {
    rt::Handling handling(e);
    if (!e.matches(g["asyncio"_n].attr("TimeoutError")) && !rt::is_exception(e)) throw;
    log_warning(g, rt::Text() << "Cache get failed for " << key << ": " << e.value());
    co_return py::none();
  }
}

rt::Coro safe_cache_set(rt::Globals g, py::object key, py::object value, py::object ttl) {
  try {
    co_await rt::call_method(g["cache"_n], "set"_n, key, value, py::arg("ttl") = ttl);
  } catch (py::error_already_set& e) {
    rt::Handling handling(e);
    if (!rt::is_exception(e)) throw;
    log_warning(g, rt::Text() << "Cache set failed for " << key << ": " << e.value());
  }
  co_return py::none();
}

}  // namespace

void init_cache(const rt::Module& m) {
  py::object str_ = m["str"_n], int_ = m["int"_n];
  py::object optional_bytes = m["Optional"_n][m["bytes"_n]];
  py::object cls = m.make_class(
      "BinaryRedisCache", "Simple Redis cache for binary MVT tiles without UTF-8 decoding.",
      {
          {"__init__",
           m.function<&cache_init>("__init__", {P{"self"}, P{"redis_client"}, P{"namespace", {}, py::str("mvt")}}, {},
                                   std::nullopt, "BinaryRedisCache.__init__")},
          {"_make_key", m.function<&make_key>("_make_key", {P{"self"}, P{"key", str_}}, str_, "Create namespaced key.",
                                              "BinaryRedisCache._make_key")},
          {"get", m.function<&cache_get>("get", {P{"self"}, P{"key", str_}}, optional_bytes,
                                         "Get binary data from cache.", "BinaryRedisCache.get")},
          {"set", m.function<&cache_set>(
                      "set", {P{"self"}, P{"key", str_}, P{"value", m["bytes"_n]}, P{"ttl", int_, py::int_(3600)}}, {},
                      "Set binary data in cache with TTL.", "BinaryRedisCache.set")},
          {"delete", m.function<&cache_delete>("delete", {P{"self"}, P{"key", str_}}, {}, "Delete key from cache.",
                                               "BinaryRedisCache.delete")},
      });
  m.set("BinaryRedisCache", cls);
  m.set("cache", cls(m["redis_client"_n], py::arg("namespace") = "mvt_v8"));
}

void init_cache_access(const rt::Module& m) {
  py::object str_ = m["str"_n], int_ = m["int"_n];
  m.def<&safe_cache_get>("safe_cache_get", {P{"key", str_}, P{"timeout", m["float"_n], py::float_(1.0)}},
                         m["Optional"_n][m["bytes"_n]], "Safely get from cache with timeout.");
  m.def<&safe_cache_set>("safe_cache_set", {P{"key", str_}, P{"value", m["bytes"_n]}, P{"ttl", int_}}, {},
                         "Safely set cache value.");
}

}  // namespace ravn::tessera
