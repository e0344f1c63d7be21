// Interned literal texts and keyword-name tuples, each made once (see names.hpp).
#include "ravn/names.hpp"
#include "ravn/calls.hpp"

#include <cstdint>
#include <cstring>

namespace ravn::rt {

namespace {
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

}  // namespace ravn::rt
