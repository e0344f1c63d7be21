// Load sequence of ravn.planwork: the imports in their order (a failing one
// stops the load there), the map function, the project root, the class.
#include "planwork.hpp"

namespace ravn::planwork {

namespace {

using rt::import_from;
using rt::import_module;

void load(py::module_ module) {
  const rt::Module m(std::move(module));
  import_from(m, "datetime", {"datetime"});
  import_module(m, "io");
  import_from(m, "tempfile", {"template"});
  import_module(m, "aiofiles");
  import_from(m, "geoalchemy2.shape", {"from_shape", "to_shape"});
  import_module(m, "pdfkit");
  import_from(m, "weasyprint", {"HTML", "CSS"});
  import_from(m, "repository.repository", {"AsyncBaseRepository"});
  import_from(m, "models.gis_model", {"PLOT", "BEACON", "BOUNDARY", "ROAD"});
  import_from(m, "models.landuse_model", {"LandPurpose"});
  import_from(m, "sqlalchemy.ext.asyncio", {"AsyncSession"});
  import_from(m, "geoalchemy2.functions", {"ST_Intersects", "ST_Buffer", "ST_DWithin", "ST_Distance"});
  // The host may bring its own map module; only its absence sends us to ours.
  try {
    import_from(m, "helpers.plots", {"generate_plot"});
  } catch (py::error_already_set& e) {
    rt::Handling handling(e);
    if (!e.matches(PyExc_ImportError)) throw;
    import_from(m, "ravn.plots", {"generate_plot"});
  }
  import_from(m, "helpers.responses", {"api_response", "api_router_response"});
  import_from(m, "sqlalchemy.sql", {"select"});
  import_module(m, "os");
  import_from(m, "helpers.utils", {"format_date_html"});

  py::object path = m["os"_n].attr("path");
  m.set("project_root", path.attr("dirname")(path.attr("dirname")(path.attr("abspath")(m["__file__"_n]))));

  init_generator(m);
}

}  // namespace
}  // namespace ravn::planwork

RAVN_MODULE(planwork, ravn::planwork::load)
