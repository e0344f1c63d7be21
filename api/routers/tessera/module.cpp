#include <pybind11/pybind11.h>

#include "ravn/rt.hpp"

PYBIND11_MODULE(tessera, m) {
  ravn::rt::init();
  m.doc() = "Vector tiles of the cadastral layers.";
}
