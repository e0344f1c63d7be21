// ravn.tessera: vector tiles of the cadastral layers, served by a FastAPI router.
// Each source file holds one concern and an init_* function that binds its
// names into the module's namespace, called in load order by module.cpp.
#pragma once

#include <pybind11/pybind11.h>

#include "ravn/rt.hpp"

namespace ravn::tessera {
namespace py = pybind11;
namespace rt = ravn::rt;
using namespace rt::literals;
using P = rt::Param;

void configure_redis_client(const rt::Module& m);  // no retries; a pool that waits for a free connection
void init_cache(const rt::Module& m);              // BinaryRedisCache and the module's cache
void init_invalidation(const rt::Module& m);       // cache invalidation workers and schedulers
void init_catalogue(const rt::Module& m);          // LAYER_CONFIG
void init_zoom_sql(const rt::Module& m);           // get_zoom_config, generate_mvt_sql
void init_transaction(const rt::Module& m);        // db_transaction
void init_cache_access(const rt::Module& m);       // safe_cache_get, safe_cache_set
void init_tile_checks(const rt::Module& m);        // validate_tile_coords, calculate_bbox_area_degrees
void init_routes(const rt::Module& m);             // the seven endpoints

// Endpoint bodies, registered by routes.cpp.
rt::Coro get_tile_xyz(rt::Globals g, py::object layer_name, py::object z, py::object x, py::object y,
                      py::object request, py::object db);
rt::Coro get_tile_bbox(rt::Globals g, py::object layer_name, py::object minx, py::object miny, py::object maxx,
                       py::object maxy, py::object srid, py::object max_features, py::object simplify,
                       py::object request, py::object db);
rt::Coro get_layer_zoom_info(rt::Globals g, py::object layer_name);
rt::Coro get_central_tile_info(rt::Globals g, py::object layer_name, py::object db);
rt::Coro get_available_layers(rt::Globals g);
rt::Coro invalidate_cache_endpoint(rt::Globals g, py::object layer_name);
rt::Coro health_check(rt::Globals g);

// --- small shared pieces of the endpoints

inline constexpr const char* kTileMediaType = "application/vnd.mapbox-vector-tile";

// raise HTTPException(status_code=status, detail=detail)
[[noreturn]] inline void http_error(const rt::Globals& g, int status, py::handle detail) {
  rt::raise(g["HTTPException"_n](py::arg("status_code") = status, py::arg("detail") = detail));
}

inline void log_info(const rt::Globals& g, py::handle message) { rt::call_method(g["logger"_n], "info"_n, message); }
inline void log_warning(const rt::Globals& g, py::handle message) {
  rt::call_method(g["logger"_n], "warning"_n, message);
}
inline void log_error(const rt::Globals& g, py::handle message) { rt::call_method(g["logger"_n], "error"_n, message); }
inline void log_debug(const rt::Globals& g, py::handle message) { rt::call_method(g["logger"_n], "debug"_n, message); }

using rt::truthy;

// api_router_response(api_response(**kwargs)): the host's JSON envelope as the endpoint's answer.
template <class... Kwargs>
py::object api_reply(const rt::Globals& g, Kwargs&&... kwargs) {
  return g["api_router_response"_n](g["api_response"_n](std::forward<Kwargs>(kwargs)...));
}

inline bool is_layer(const rt::Globals& g, py::handle layer_name) {
  return rt::contains(g["LAYER_CONFIG"_n], layer_name);
}

// HTTPException 404 "Layer '<name>' not found" unless the name is a catalogue key.
inline void require_layer(const rt::Globals& g, py::handle layer_name) {
  if (!is_layer(g, layer_name)) http_error(g, 404, rt::Text() << "Layer '" << layer_name << "' not found");
}

// The client address of a request, or "unknown" when it carries none.
inline py::object client_address(py::handle request) {
  py::object client = request.attr("client"_n);
  return truthy(client) ? client.attr("host"_n) : py::object(py::str("unknown"));
}

// One database read as the endpoints make it:
//     async with db_transaction(db):
//         result = await asyncio.wait_for(db.execute(statement[, params]), timeout=timeout)
//         value = result.<take>()
// `params` empty: execute gets the statement alone. Errors propagate after the rollback.
rt::Coro fetch_in_transaction(rt::Globals g, py::object db, py::object statement, py::object params, double timeout,
                              const char* take);

// One request against a per-address fixed window of one second: INCR, EXPIRE on
// the window's first count, HTTPException 429 with `detail` above `limit`.
// Redis errors propagate to the caller, which decides how loudly to ignore them.
rt::Coro count_request(rt::Globals g, py::object rate_key, long limit, py::object detail);

}  // namespace ravn::tessera
