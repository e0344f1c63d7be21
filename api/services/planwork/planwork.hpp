// ravn.planwork: the deed plan and the site plan of a parcel, as A4 PDFs.
// Each source file holds one concern and an init_* function that binds its
// names into the module's namespace, called in load order by module.cpp.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ravn/rt.hpp"

namespace ravn::planwork {
namespace py = pybind11;
namespace rt = ravn::rt;
using namespace rt::literals;
using P = rt::Param;
using rt::truthy;

// PlanImageGenerator: constructor and the two data coroutines; the document
// coroutines come from documents.cpp.
void init_generator(const rt::Module& m);
std::vector<std::pair<const char*, py::object>> document_methods(const rt::Module& m);

// Text inserted into a plan's HTML: `&`, `<`, `>`, `"` and `'` as entities, so
// that names and addresses print as written and never become markup.
py::str escape_html(py::handle text);
std::string escape_html(std::string_view text);

// format(value, "") escaped: the text of a value as the plan prints it.
inline py::str html_text(py::handle value) { return escape_html(rt::format(value, "")); }

// The boundary schedule as an HTML table ("" for no rows); every cell escaped.
py::str schedule_table(py::handle schedule);

// `a == b` as the expression object (SQL conditions) or value it makes.
using rt::eq;

// `a, b, ... = value` with Python's ValueError texts.
using rt::unpack;

}  // namespace ravn::planwork
