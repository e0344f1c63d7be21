// Every text a plan inserts into its HTML goes through here. Unescaped, a name
// such as <img src="file:///..."> would be markup, and the PDF renderer would
// fetch and embed what it points to.
#include <string>
#include <string_view>

#include "planwork.hpp"

namespace ravn::planwork {
namespace {

const char* entity(char c) {
  switch (c) {
    case '&':
      return "&amp;";
    case '<':
      return "&lt;";
    case '>':
      return "&gt;";
    case '"':
      return "&quot;";
    case '\'':
      return "&#x27;";
    default:
      return nullptr;
  }
}

}  // namespace

std::string escape_html(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (const char* e = entity(c)) {
      out += e;
    } else {
      out += c;
    }
  }
  return out;
}

py::str escape_html(py::handle text) {
  std::string_view view = rt::utf8(text);
  if (view.find_first_of("&<>\"'") == std::string_view::npos) return py::reinterpret_borrow<py::str>(text);
  return py::str(escape_html(view));
}

}  // namespace ravn::planwork
