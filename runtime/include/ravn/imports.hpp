// Import statements at module level: the names they bind become module attributes.
#pragma once

#include "ravn/function.hpp"

#include <pybind11/pybind11.h>

#include <initializer_list>

namespace ravn::rt {

// `from <module> import <names>`. A name the module lacks may be a submodule,
// as for Python's own statement; a missing one raises Python's ImportError text.
void import_from(const Module& m, const char* module, std::initializer_list<const char*> names);

// `import <module>` (bound under its full name) or `import <module> as <as>`.
// For a dotted name with `as`, the submodule itself is bound.
void import_module(const Module& m, const char* module, const char* as = nullptr);

}  // namespace ravn::rt
