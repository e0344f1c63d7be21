// The runtime relies on CPython 3.11's internals (coroutine frame state, dict
// version tags, the thread's exception stack: docs/design-notes.md lists them).
// CMake refuses another interpreter at configure time; this refuses headers of
// another one at compile time, whichever way the build was set up.
#pragma once

#include <patchlevel.h>

#if PY_VERSION_HEX < 0x030B0000 || PY_VERSION_HEX >= 0x030C0000
#error "the ravn runtime builds against CPython 3.11 only: it relies on 3.11's internals (see docs/design-notes.md)"
#endif
