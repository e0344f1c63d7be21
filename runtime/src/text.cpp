// f-string assembly and format().
#include "ravn/text.hpp"

#include "ravn/names.hpp"

#include <string>
#include <vector>

namespace ravn::rt {

namespace {
PyObject* empty_text() {
  static PyObject* empty = PyUnicode_InternFromString("");
  return empty;
}
}  // namespace

Text::Text(const Text& other) {
  for (std::size_t i = 0; i < other.size_; ++i) {
    PyObject* part = i < kInline ? other.inline_[i] : other.more_[i - kInline];
    add(Py_NewRef(part));
  }
}

Text::~Text() {
  for (std::size_t i = 0; i < size_ && i < kInline; ++i) Py_DECREF(inline_[i]);
  for (PyObject* part : more_) Py_DECREF(part);
}

void Text::add(PyObject* part) {
  if (size_ < kInline) {
    inline_[size_] = part;
  } else {
    if (more_.empty()) more_.reserve(kInline);
    more_.push_back(part);
  }
  ++size_;
}

Text& Text::operator<<(const char* text) {
  add(Py_NewRef(literal(text)));
  return *this;
}

Text& Text::operator<<(const std::string& text) {
  PyObject* part = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (!part) throw py::error_already_set();
  add(part);
  return *this;
}

Text& Text::operator<<(py::handle value) {
  PyObject* part =
      PyUnicode_CheckExact(value.ptr()) ? Py_NewRef(value.ptr()) : PyObject_Format(value.ptr(), empty_text());
  if (!part) throw py::error_already_set();
  add(part);
  return *this;
}

py::str Text::str() const {
  PyObject* joined;
  if (size_ <= kInline) {
    joined = _PyUnicode_JoinArray(empty_text(), inline_.data(), static_cast<Py_ssize_t>(size_));
  } else {
    std::vector<PyObject*> parts(inline_.begin(), inline_.end());
    parts.insert(parts.end(), more_.begin(), more_.end());
    joined = _PyUnicode_JoinArray(empty_text(), parts.data(), static_cast<Py_ssize_t>(parts.size()));
  }
  if (!joined) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(joined);
}

py::str format(py::handle value, const char* spec) {
  PyObject* r = PyObject_Format(value.ptr(), literal(spec));
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(r);
}

}  // namespace ravn::rt
