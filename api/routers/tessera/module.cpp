// Load sequence of ravn.tessera: imports, environment, Redis client, cache,
// start-up lines, catalogue, functions and routes, in that order.
#include "tessera.hpp"

namespace ravn::tessera {
namespace {

using rt::import_from;
using rt::import_module;

void load(py::module_ module) {
  const rt::Module m(std::move(module));
  import_module(m, "aiocache");
  import_module(m, "asyncio");
  import_module(m, "os");
  import_module(m, "logging");
  import_from(m, "typing", {"Optional"});
  import_from(m, "contextlib", {"asynccontextmanager"});
  import_from(m, "fastapi", {"APIRouter", "Depends", "HTTPException", "Query", "Response", "status", "Request"});
  import_from(m, "fastapi.responses", {"JSONResponse"});
  import_from(m, "aiocache.serializers", {"NullSerializer"});
  import_from(m, "sqlalchemy.ext.asyncio", {"AsyncSession"});
  import_from(m, "sqlalchemy.sql", {"text"});
  import_from(m, "sqlalchemy.exc", {"SQLAlchemyError"});
  import_from(m, "database", {"get_db"});
  import_from(m, "helpers.responses", {"api_response", "api_router_response"});
  import_from(m, "helpers.utils", {"latlon_to_xyz", "xyz_to_bbox_web_mercator"});
  import_from(m, "dotenv", {"load_dotenv"});

  m["load_dotenv"_n]();
  py::object logging = m["logging"_n];
  logging.attr("basicConfig")(py::arg("level") = logging.attr("INFO"));
  m.set("logger", logging.attr("getLogger")(m["__name__"_n]));
  m.set("tesseraApi",
        m["APIRouter"_n](py::arg("prefix") = "/gis", py::arg("tags") = py::list(py::make_tuple("GIS Tiles"))));

  m.set("DEFAULT_CENTROID_ZOOM", py::int_(16));
  m.set("MAX_BBOX_AREA_WGS84", py::float_(1.0));
  m.set("MAX_FEATURES_GLOBAL", py::int_(15000));
  m.set("CACHE_TTL_SHORT", py::int_(1800));
  m.set("CACHE_TTL_LONG", py::int_(7200));

  py::object environ_get = m["os"_n].attr("environ").attr("get");
  py::object int_ = m["int"_n];
  m.set("redis_host", environ_get("REDIS_HOST", "localhost"));
  m.set("redis_port", int_(environ_get("REDIS_PORT", "6379")));
  m.set("redis_db", int_(environ_get("REDIS_DB", "0")));
  m.set("redis_password", environ_get("REDIS_PASSWORD", py::none()));
  m.set("redis_username", environ_get("REDIS_USERNAME", py::none()));

  import_module(m, "redis.asyncio", "aioredis");
  // No command is sent here: the pool connects on the first request that uses it.
  m.set("redis_client",
        m["aioredis"_n].attr("Redis")(py::arg("host") = m["redis_host"_n], py::arg("port") = m["redis_port"_n],
                                      py::arg("db") = m["redis_db"_n], py::arg("password") = m["redis_password"_n],
                                      py::arg("username") = m["redis_username"_n], py::arg("decode_responses") = false,
                                      py::arg("socket_connect_timeout") = 5, py::arg("socket_timeout") = 5));
  configure_redis_client(m);

  init_cache(m);

  const rt::Globals& g = m.globals();
  rt::print(g, py::str("✓ Binary Redis cache initialized (no UTF-8 decoding)"));
  rt::print(g, py::str("  - Namespace: mvt_v8"));
  rt::print(g, rt::Text() << "  - Redis: " << m["redis_host"_n] << ":" << m["redis_port"_n] << "/" << m["redis_db"_n]);
  rt::print(g, py::str("  - decode_responses: False (handles binary data)"));

  init_invalidation(m);
  init_catalogue(m);
  init_zoom_sql(m);
  init_transaction(m);
  init_cache_access(m);
  init_tile_checks(m);
  init_routes(m);
}

}  // namespace
}  // namespace ravn::tessera

RAVN_MODULE(tessera, ravn::tessera::load)
