#include "ravn/globals.hpp"

#include "ravn/errors.hpp"

#include <cstring>
#include <string>
#include <unordered_map>

namespace ravn::rt {

namespace {
PyObject* builtins_dict() {
  static PyObject* dict = [] {
    PyObject* module = PyImport_ImportModule("builtins");
    if (!module) throw py::error_already_set();
    PyObject* d = PyModule_GetDict(module);  // borrowed; the builtins module lives as long as the interpreter
    Py_INCREF(d);
    Py_DECREF(module);
    return d;
  }();
  return dict;
}
}  // namespace

py::object Globals::lookup(PyObject* key) const {
  PyObject* v = PyDict_GetItemWithError(dict_.ptr(), key);
  if (!v) {
    if (PyErr_Occurred()) throw py::error_already_set();
    v = PyDict_GetItemWithError(builtins_dict(), key);
    if (!v) {
      if (PyErr_Occurred()) throw py::error_already_set();
      PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
      throw py::error_already_set();
    }
  }
  return py::reinterpret_borrow<py::object>(v);
}

py::object Globals::lookup(const char* name) const { return lookup(py::str(name).ptr()); }

void Globals::set(const char* name, py::handle value) const {
  if (PyDict_SetItemString(dict_.ptr(), name, value.ptr()) < 0) throw py::error_already_set();
}

PyObject* literal(const char* text) {
  // Keyed by address; the text is compared too, so a reused buffer never gets a stale str.
  static std::unordered_map<const char*, PyObject*> made;
  PyObject*& entry = made[text];
  if (entry) {
    const char* utf8 = PyUnicode_AsUTF8(entry);
    if (utf8 && std::strcmp(utf8, text) == 0) return entry;
    PyErr_Clear();
    Py_CLEAR(entry);
  }
  entry = PyUnicode_InternFromString(text);
  if (!entry) throw py::error_already_set();
  return entry;
}

PyObject* detail::keyword_names(const char* const* names, std::size_t count) {
  // Keyed by the names' addresses; their texts are checked too, as for literal().
  static std::unordered_map<std::string, PyObject*> made;
  std::string key(reinterpret_cast<const char*>(names), count * sizeof(const char*));
  PyObject*& entry = made[key];
  if (entry) {
    bool same = true;
    for (std::size_t i = 0; i < count && same; ++i) {
      const char* utf8 = PyUnicode_AsUTF8(PyTuple_GET_ITEM(entry, i));
      same = utf8 && std::strcmp(utf8, names[i]) == 0;
    }
    if (same) return entry;
    PyErr_Clear();
    Py_CLEAR(entry);
  }
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(count));
  if (!tuple) throw py::error_already_set();
  for (std::size_t i = 0; i < count; ++i) PyTuple_SET_ITEM(tuple, i, Py_NewRef(literal(names[i])));
  entry = tuple;
  return entry;
}

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
  PyObject* part = PyUnicode_CheckExact(value.ptr()) ? Py_NewRef(value.ptr()) : PyObject_Format(value.ptr(), literal(""));
  if (!part) throw py::error_already_set();
  add(part);
  return *this;
}

py::str Text::str() const {
  PyObject* joined;
  if (size_ <= kInline) {
    joined = _PyUnicode_JoinArray(literal(""), inline_.data(), static_cast<Py_ssize_t>(size_));
  } else {
    std::vector<PyObject*> parts(inline_.begin(), inline_.end());
    parts.insert(parts.end(), more_.begin(), more_.end());
    joined = _PyUnicode_JoinArray(literal(""), parts.data(), static_cast<Py_ssize_t>(parts.size()));
  }
  if (!joined) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(joined);
}

py::str format(py::handle value, const char* spec) {
  PyObject* r = PyObject_Format(value.ptr(), literal(spec));
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(r);
}

void print(const Globals& g, py::handle text) { g.lookup("print")(text); }

}  // namespace ravn::rt
