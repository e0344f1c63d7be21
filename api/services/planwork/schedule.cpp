// The boundary schedule as the small table a plan prints under its map.
#include <string>

#include "planwork.hpp"

namespace ravn::planwork {
namespace {

constexpr const char* kTableOpen =
    "<table style=\"width: auto; font-size: 6pt; border-collapse: collapse; margin-top: 2px; margin-left: 0;\">";
constexpr const char* kHeader =
    "<thead><tr><th style=\"padding: 1px 4px; white-space: nowrap;\">From</th>"
    "<th style=\"padding: 1px 4px; white-space: nowrap;\">To</th>"
    "<th style=\"padding: 1px 4px; white-space: nowrap;\">Bearing</th>"
    "<th style=\"padding: 1px 4px; white-space: nowrap;\">Dist(m)</th></tr></thead>";
constexpr const char* kRowOpen = "<tr><td style=\"padding: 1px 4px; white-space: nowrap;\">";
constexpr const char* kCellSeparator = "</td><td style=\"padding: 1px 4px; white-space: nowrap;\">";
constexpr const char* kRowClose = "</td></tr>";

void append_cell(std::string& out, py::handle row, const char* key) {
  out += py::cast<std::string>(html_text(row[py::str(key)]));
}

}  // namespace

py::str schedule_table(py::handle schedule) {
  if (!truthy(schedule)) return py::str("");
  std::string html = kTableOpen;
  html += kHeader;
  html += "<tbody>";
  for (py::handle row : schedule) {
    html += kRowOpen;
    append_cell(html, row, "from");
    html += kCellSeparator;
    append_cell(html, row, "to");
    html += kCellSeparator;
    append_cell(html, row, "bearing");
    html += kCellSeparator;
    append_cell(html, row, "distance");
    html += kRowClose;
  }
  html += "</tbody></table>";
  return py::str(html);
}

}  // namespace ravn::planwork
