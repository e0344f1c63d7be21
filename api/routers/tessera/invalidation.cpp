// Removing cached entries: by layer, everything, or a caller's pattern; in the
// request (the endpoint) or as background tasks for the host's write paths.
#include <optional>

#include "tessera.hpp"

namespace ravn::tessera {
namespace {

// SCAN rather than KEYS, so Redis keeps serving tiles during a large
// clean-up; one DEL per key, each key exactly as SCAN returned it.
rt::Coro delete_matching(rt::Globals g, py::object pattern) {
  rt::Var keys = rt::aiter(g["redis_client"_n].attr("scan_iter")(py::arg("match") = pattern, py::arg("count") = 100));
  long deleted_count = 0;
  while (std::optional<rt::Var> key = co_await rt::next(keys)) {
    co_await g["redis_client"_n].attr("delete")(*key);
    ++deleted_count;
  }
  co_return py::int_(deleted_count);
}

// The workers contain every failure: an invalidation must never take down the
// write path that asked for it.
rt::Coro invalidate_layer_cache_task(rt::Globals g, py::object layer_name) {
  try {
    rt::Var deleted_count =
        co_await delete_matching(g, rt::Text() << g["cache"_n].attr("namespace") << ":" << layer_name << ":*");
    log_info(g, rt::Text() << "Background task: Invalidated " << deleted_count << " cache entries for layer '"
                           << layer_name << "'");
    co_return deleted_count;
  } catch (py::error_already_set& e) {
    rt::Handling handling(e);
    if (!rt::is_exception(e)) throw;
    log_error(
        g, rt::Text() << "Background task failed to invalidate cache for layer '" << layer_name << "': " << e.value());
    co_return py::int_(0);
  }
}

rt::Coro invalidate_all_cache_task(rt::Globals g) {
  try {
    rt::Var deleted_count = co_await delete_matching(g, rt::Text() << g["cache"_n].attr("namespace") << ":*");
    log_info(g, rt::Text() << "Background task: Invalidated ALL cache entries: " << deleted_count << " keys deleted");
    co_return deleted_count;
  } catch (py::error_already_set& e) {
    rt::Handling handling(e);
    if (!rt::is_exception(e)) throw;
    log_error(g, rt::Text() << "Background task failed to invalidate all cache: " << e.value());
    co_return py::int_(0);
  }
}

rt::Coro invalidate_cache_by_pattern_task(rt::Globals g, py::object pattern) {
  try {
    rt::Var deleted_count = co_await delete_matching(g, rt::Text() << g["cache"_n].attr("namespace") << ":" << pattern);
    log_info(g, rt::Text() << "Background task: Invalidated " << deleted_count << " cache entries matching pattern '"
                           << pattern << "'");
    co_return deleted_count;
  } catch (py::error_already_set& e) {
    rt::Handling handling(e);
    if (!rt::is_exception(e)) throw;
    log_error(g,
              rt::Text() << "Background task failed to invalidate cache by pattern '" << pattern << "': " << e.value());
    co_return py::int_(0);
  }
}

// The event loop holds its tasks only weakly: a task nobody references can be
// collected before it finishes. Each scheduled task stays here until it is done.
// Never freed: tasks may still finish while the interpreter shuts down.
py::set& running_tasks() {
  static py::set* tasks = new py::set();
  return *tasks;
}

void start_in_background(const rt::Globals& g, py::object worker) {
  py::object task = g["asyncio"_n].attr("create_task")(worker);
  running_tasks().add(task);
  task.attr("add_done_callback")(running_tasks().attr("discard"));
}

py::object invalidate_layer_cache(const rt::Globals& g, py::object layer_name) {
  start_in_background(g, g["_invalidate_layer_cache_task"_n](layer_name));
  log_debug(g, rt::Text() << "Scheduled background cache invalidation for layer '" << layer_name << "'");
  return py::none();
}

py::object invalidate_all_cache(const rt::Globals& g) {
  start_in_background(g, g["_invalidate_all_cache_task"_n]());
  log_debug(g, py::str("Scheduled background cache invalidation for ALL layers"));
  return py::none();
}

py::object invalidate_cache_by_pattern(const rt::Globals& g, py::object pattern) {
  start_in_background(g, g["_invalidate_cache_by_pattern_task"_n](pattern));
  log_debug(g, rt::Text() << "Scheduled background cache invalidation for pattern '" << pattern << "'");
  return py::none();
}

// A worker reports 0 both for "nothing cached" and for "Redis failed"; only
// the first may be answered as success.
rt::Coro require_reachable_cache(rt::Globals g) {
  try {
    co_await g["redis_client"_n].attr("ping")();
  } catch (py::error_already_set& e) {
    rt::Handling handling(e);
    if (!rt::is_exception(e)) throw;
    http_error(g, 503, py::str("Cache unavailable: nothing was invalidated"));
  }
  co_return py::none();
}

}  // namespace

rt::Coro invalidate_cache_endpoint(rt::Globals g, py::object layer_name) {
  if (layer_name.equal(py::str("all"))) {
    rt::Var deleted_count = co_await g["_invalidate_all_cache_task"_n]();
    if (deleted_count.equal(py::int_(0))) co_await require_reachable_cache(g);
    py::dict data;
    data["deleted_count"] = deleted_count;
    co_return api_reply(g, py::arg("data") = data,
                        py::arg("message") = py::str(rt::Text() << "All cache invalidated successfully. "
                                                                << deleted_count << " keys deleted."));
  }

  if (!is_layer(g, layer_name)) {
    http_error(g, 404,
               rt::Text() << "Layer '" << layer_name
                          << "' not found. Valid layers: " << py::list(g["LAYER_CONFIG"_n].attr("keys")()));
  }

  rt::Var deleted_count = co_await g["_invalidate_layer_cache_task"_n](layer_name);
  if (deleted_count.equal(py::int_(0))) co_await require_reachable_cache(g);
  py::dict data;
  data["layer"] = layer_name;
  data["deleted_count"] = deleted_count;
  co_return api_reply(
      g, py::arg("data") = data,
      py::arg("message") = py::str(rt::Text() << "Cache for layer '" << layer_name << "' invalidated successfully. "
                                              << deleted_count << " keys deleted."));
}

void init_invalidation(const rt::Module& m) {
  py::object str_ = m["str"_n], int_ = m["int"_n];
  m.def<&invalidate_layer_cache_task>("_invalidate_layer_cache_task", {P{"layer_name", str_}}, int_,
                                      "Internal task for cache invalidation.");
  m.def<&invalidate_layer_cache>("invalidate_layer_cache", {P{"layer_name", str_}}, {},
                                 "\n"
                                 "    Invalidate all cached tiles for a specific layer (runs as background task).\n"
                                 "    \n"
                                 "    Args:\n"
                                 "        layer_name: Name of the layer to invalidate (e.g., \"plots\", \"beacons\")\n"
                                 "    \n"
                                 "    This runs asynchronously without blocking the response.\n"
                                 "    ");
  m.def<&invalidate_all_cache_task>("_invalidate_all_cache_task", {}, int_,
                                    "Internal task for invalidating all cache.");
  m.def<&invalidate_all_cache>("invalidate_all_cache", {}, {},
                               "\n"
                               "    Invalidate ALL cached tiles across all layers (runs as background task).\n"
                               "    Use with caution - only when you need to clear everything.\n"
                               "    \n"
                               "    This runs asynchronously without blocking the response.\n"
                               "    ");
  m.def<&invalidate_cache_by_pattern_task>("_invalidate_cache_by_pattern_task", {P{"pattern", str_}}, int_,
                                           "Internal task for pattern-based cache invalidation.");
  m.def<&invalidate_cache_by_pattern>(
      "invalidate_cache_by_pattern", {P{"pattern", str_}}, {},
      "\n"
      "    Invalidate cache entries matching a custom pattern (runs as background task).\n"
      "    \n"
      "    Args:\n"
      "        pattern: Redis pattern to match (e.g., \"plots:18:*\" for all zoom 18 plot tiles)\n"
      "    \n"
      "    This runs asynchronously without blocking the response.\n"
      "    ");
}

}  // namespace ravn::tessera
