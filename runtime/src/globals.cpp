#include "ravn/globals.hpp"

#include "ravn/errors.hpp"

#include <cstring>
#include <string>
#include <cstdint>

namespace ravn::rt {

namespace {
// Made once, in the main interpreter: the modules refuse to load in any other
// (module.hpp), so this is the builtins every lookup of theirs should see.
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

namespace {
std::uint64_t version_of(PyObject* dict) { return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag; }
}  // namespace

py::object Globals::lookup(PyObject* key, Remembered& remembered) const {
  PyObject* dict = dict_.ptr();
  PyObject* builtins = builtins_dict();
  if (remembered.dict == dict && remembered.version == version_of(dict) &&
      remembered.builtins_version == version_of(builtins)) {
    return py::reinterpret_borrow<py::object>(remembered.value);
  }
  // Tags read before the lookup: a key's __eq__ or __hash__ may run Python code
  // that changes either dict during it, and that change must not count as seen.
  const std::uint64_t version = version_of(dict), builtins_version = version_of(builtins);
  py::object value = lookup(key);
  remembered = {dict, version, builtins_version, value.ptr()};
  return value;
}

py::object Globals::lookup(const char* name) const { return lookup(py::str(name).ptr()); }

void Globals::set(const char* name, py::handle value) const {
  if (PyDict_SetItemString(dict_.ptr(), name, value.ptr()) < 0) throw py::error_already_set();
}

namespace {
PyObject* empty_text() {
  static PyObject* empty = PyUnicode_InternFromString("");
  return empty;
}

// Direct-mapped by address: a hit costs a hash of the pointer and a compare of the
// text, so a reused buffer never gets a stale str.
template <class Entry, std::size_t Slots>
Entry& slot_for(Entry (&table)[Slots], const void* key) {
  auto bits = reinterpret_cast<std::uintptr_t>(key);
  return table[(bits ^ (bits >> 9) ^ (bits >> 17)) % Slots];
}

bool same_text(PyObject* str, const char* text) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size);
  if (!utf8) {
    PyErr_Clear();
    return false;
  }
  return std::strncmp(utf8, text, static_cast<std::size_t>(size) + 1) == 0;
}
}  // namespace

PyObject* literal(const char* text) {
  struct Entry {
    const char* text;
    PyObject* str;
  };
  static Entry table[509];
  Entry& entry = slot_for(table, text);
  if (entry.text == text && same_text(entry.str, text)) return entry.str;
  PyObject* made = PyUnicode_InternFromString(text);
  if (!made) throw py::error_already_set();
  Py_XSETREF(entry.str, made);
  entry.text = text;
  return made;
}

PyObject* detail::keyword_names(const char* const* names, std::size_t count) {
  // Keyed by the address of the first name; the names' texts are checked too.
  struct Entry {
    const char* first;
    PyObject* tuple;
  };
  static Entry table[127];
  Entry& entry = count ? slot_for(table, names[0]) : table[0];
  if (entry.tuple && entry.first == (count ? names[0] : nullptr) &&
      static_cast<std::size_t>(PyTuple_GET_SIZE(entry.tuple)) == count) {
    bool same = true;
    for (std::size_t i = 0; i < count && same; ++i) same = same_text(PyTuple_GET_ITEM(entry.tuple, i), names[i]);
    if (same) return entry.tuple;
  }
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(count));
  if (!tuple) throw py::error_already_set();
  for (std::size_t i = 0; i < count; ++i) PyTuple_SET_ITEM(tuple, i, Py_NewRef(literal(names[i])));
  Py_XSETREF(entry.tuple, tuple);
  entry.first = count ? names[0] : nullptr;
  return tuple;
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
  PyObject* part = PyUnicode_CheckExact(value.ptr()) ? Py_NewRef(value.ptr()) : PyObject_Format(value.ptr(), empty_text());
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

void print(const Globals& g, py::handle text) { g.lookup("print")(text); }

}  // namespace ravn::rt
