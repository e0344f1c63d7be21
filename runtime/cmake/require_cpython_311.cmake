# The runtime relies on CPython 3.11's internals (docs/design-notes.md lists
# them), so any other interpreter is refused at configure time, before anything
# compiles against headers whose structures differ. Included by CMakeLists.txt
# after find_package(Python); also runs alone, for its test:
#   cmake -DPython_VERSION=3.12.0 -P runtime/cmake/require_cpython_311.cmake
if(NOT Python_VERSION MATCHES "^3\\.11(\\.|$)")
  message(FATAL_ERROR "ravn builds against CPython 3.11 only (its runtime relies on 3.11's internals); "
                      "found Python ${Python_VERSION} ${Python_EXECUTABLE}")
endif()
