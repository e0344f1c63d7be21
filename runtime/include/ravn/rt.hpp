// The shared runtime of the ravn modules: everything a module needs to be
// written in C++ and behave as a Python module.
#pragma once

#include "ravn/coro.hpp"
#include "ravn/errors.hpp"
#include "ravn/function.hpp"
#include "ravn/globals.hpp"
#include "ravn/imports.hpp"
#include "ravn/module.hpp"
#include "ravn/statements.hpp"
#include "ravn/values.hpp"
